#include "capture_files.h"

#include <QDir>
#include <QFileInfo>

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
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *why = file->errorString();
        return false;
    }
    m_files[number] = std::move(file);
    m_canonicalPaths[number] = canonical;
    return true;
}

bool CaptureFiles::write(int number, const QByteArray& record, QString* why)
{
    QFile* file = m_files[number].get();
    if (!file)
        return true; // ticked with no file: nothing to write to
    if (file->write(record) == record.size())
        return true;
    *why = file->errorString();
    close(number);
    return false;
}

void CaptureFiles::close(int number)
{
    m_files[number].reset();
    m_canonicalPaths[number].clear();
}

void CaptureFiles::closeAll()
{
    for (int number = 1; number <= kFiles; ++number)
        close(number);
}
