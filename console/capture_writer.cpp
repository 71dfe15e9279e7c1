#include "capture_writer.h"

#include "capture_files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

CaptureWriter::CaptureWriter() : m_thread([this] { run(); })
{
}

CaptureWriter::~CaptureWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CaptureWriter::write(const std::shared_ptr<File>& file, const QByteArray& record)
{
    if (record.isEmpty())
        return;
    std::unique_lock lock(m_mutex);
    m_queue.push_back({file, record});
    m_queued += record.size();
    m_unannounced = m_queued < kWakeAt;
    if (!m_unannounced)
        m_wake.notify_one();
    m_done.wait(lock, [this] { return m_queued <= kQueueLimit; });
}

void CaptureWriter::close(const std::shared_ptr<File>& file)
{
    std::lock_guard lock(m_mutex);
    file->owner = nullptr;
    m_queue.push_back({file, {}});
    m_wake.notify_one();
}

void CaptureWriter::wake()
{
    std::lock_guard lock(m_mutex);
    if (std::exchange(m_unannounced, false))
        m_wake.notify_one();
}

void CaptureWriter::finish()
{
    std::unique_lock lock(m_mutex);
    m_wake.notify_one();
    m_done.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void CaptureWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_queue.empty() || m_ending; });
        if (m_queue.empty())
            return; // the end, with everything done
        // Everything waiting at once, one turn of the lock for many records; the queue has room
        // again while they are written.
        std::deque<Job> jobs = std::exchange(m_queue, {});
        m_queued = 0;
        m_busy = true;
        m_done.notify_all();
        lock.unlock();
        for (auto job = jobs.begin(); job != jobs.end();)
            job = perform(job, jobs.end());
        jobs.clear(); // the records' memory goes back before the callers hear of it
        lock.lock();
        m_busy = false;
        m_done.notify_all();
    }
}

std::deque<CaptureWriter::Job>::iterator CaptureWriter::perform(std::deque<Job>::iterator job,
                                                                std::deque<Job>::iterator end)
{
    File& file = *job->file;
    if (job->record.isEmpty()) {
        if (!file.failed)
            ::close(file.descriptor);
        return job + 1;
    }
    // The records for the same file one after another go in one write.
    std::vector<iovec> pieces;
    auto next = job;
    for (; next != end && next->file == job->file && !next->record.isEmpty() && pieces.size() < IOV_MAX; ++next)
        pieces.push_back({const_cast<char*>(next->record.constData()), size_t(next->record.size())});
    if (file.failed)
        return next; // the operator was told; what was given after is not written
    // A write cut short (a full disk, a size limit) is tried again for the rest: the second
    // attempt fails with the system's reason, which the operator is then told.
    for (iovec* piece = pieces.data(); piece != pieces.data() + pieces.size();) {
        const ssize_t n = ::writev(file.descriptor, piece, int(pieces.data() + pieces.size() - piece));
        if (n <= 0) {
            // A device that cannot take a record at once (EAGAIN) counts as failing: nothing
            // may stop the writer either.
            failed(job->file, n < 0 ? errno : ENOSPC);
            return next;
        }
        for (size_t left = size_t(n); left > 0;) {
            const size_t taken = std::min(left, piece->iov_len);
            piece->iov_base = static_cast<char*>(piece->iov_base) + taken;
            piece->iov_len -= taken;
            left -= taken;
            if (piece->iov_len == 0)
                ++piece;
        }
    }
    return next;
}

void CaptureWriter::failed(const std::shared_ptr<File>& file, int error)
{
    file->failed = true;
    ::close(file->descriptor);
    const QString why = QString::fromLocal8Bit(std::strerror(error));
    std::lock_guard lock(m_mutex);
    if (CaptureFiles* owner = file->owner)
        QMetaObject::invokeMethod(
            owner, [owner, file, why] { owner->writeFailed(file, why); }, Qt::QueuedConnection);
}
