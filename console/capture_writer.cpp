#include "capture_writer.h"

#include "capture_files.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

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

void CaptureWriter::finish()
{
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void CaptureWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_queue.empty() || m_ending; });
        if (m_queue.empty())
            return; // the end, with everything done
        // Everything waiting at once: one turn of the lock for many records.
        std::deque<Job> jobs = std::exchange(m_queue, {});
        m_busy = true;
        lock.unlock();
        qint64 written = 0;
        for (Job& job : jobs) {
            perform(job);
            written += job.record.size();
        }
        jobs.clear(); // the records' memory goes back before the callers hear of it
        lock.lock();
        m_busy = false;
        m_queued -= written;
        m_done.notify_all();
    }
}

void CaptureWriter::perform(Job& job)
{
    File& file = *job.file;
    if (job.record.isEmpty()) {
        if (!file.failed)
            ::close(file.descriptor);
        return;
    }
    if (file.failed)
        return; // the operator was told; what was given after is not written
    // A write cut short (a full disk, a size limit) is tried again for the rest: the second
    // attempt fails with the system's reason, which the operator is then told.
    const char* data = job.record.constData();
    qsizetype left = job.record.size();
    while (left > 0) {
        const ssize_t n = ::write(file.descriptor, data, size_t(left));
        if (n <= 0) {
            // A device that cannot take a record at once (EAGAIN) counts as failing: nothing
            // may stop the writer either.
            failed(job.file, n < 0 ? errno : ENOSPC);
            return;
        }
        data += n;
        left -= n;
    }
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
