#include "capture_files.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The path a file would have with links and dots resolved, also for one not yet created.
QString canonicalPath(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = info.absoluteDir().canonicalPath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

} // namespace

CaptureFiles::CaptureFiles(CaptureWriter& writer) : m_writer(writer)
{
    // Past a file-size limit a write fails with "File too large" instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
}

bool CaptureFiles::open(int number, const QString& path, QString* why)
{
    close(number);
    const QString canonical = canonicalPath(path);
    for (int other = 1; other <= kFiles; ++other) {
        if (m_files[other] && m_canonicalPaths[other] == canonical) {
            *why = QStringLiteral("slot %1 is capturing into this file").arg(other);
            return false;
        }
    }
    if (QFileInfo(path).isDir()) {
        *why = QStringLiteral("it is a folder");
        return false;
    }
    // A named pipe would stop the window until some program reads it, and then whenever that
    // program falls behind; the same goes for a socket.
    struct stat status {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) == 0 &&
        (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
        *why = QStringLiteral("it is a named pipe or socket, which could stop the window; choose a plain file");
        return false;
    }
    // Whatever was given for this file before (another slot's capture just closed, say) is
    // written before it is emptied.
    m_writer.finish();
    // Non-blocking, so that a device can never stop the writer either; a plain file ignores it.
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_files[number] = std::make_shared<CaptureWriter::File>(CaptureWriter::File{descriptor, number, this});
    m_canonicalPaths[number] = canonical;
    return true;
}

void CaptureFiles::write(int number, const QByteArray& record)
{
    if (!m_files[number]) // ticked with no file: nothing to write to
        return;
    m_writer.write(m_files[number], record);
    // The records of this turn go to the writer together once it is done: a live `tail -f`
    // still sees each of them at once.
    if (!std::exchange(m_wakePosted, true))
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_wakePosted = false;
                m_writer.wake();
            },
            Qt::QueuedConnection);
}

void CaptureFiles::close(int number)
{
    if (m_files[number])
        m_writer.close(std::exchange(m_files[number], nullptr));
    m_canonicalPaths[number].clear();
}

void CaptureFiles::closeAll()
{
    for (int number = 1; number <= kFiles; ++number)
        close(number);
}

void CaptureFiles::writeFailed(const std::shared_ptr<CaptureWriter::File>& file, const QString& why)
{
    if (m_files[file->number] == file) {
        m_files[file->number] = nullptr; // the writer has closed it
        m_canonicalPaths[file->number].clear();
    }
    emit failed(file->number, why);
}
