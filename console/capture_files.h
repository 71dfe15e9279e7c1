#pragma once

#include "capture_writer.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <array>
#include <memory>

// Sequential output files by number 1 to 4, one per slot; the program opens no other files.
// Records go to the capture writer, which writes them at once on its own thread: a live
// `tail -f` shows them as they come, and what was given reaches the file before the program ends.
class CaptureFiles : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFiles = 4;

    explicit CaptureFiles(CaptureWriter& writer);
    ~CaptureFiles() override { closeAll(); }

    // Opens path for output as file number n: created, or emptied if it exists. Refused when
    // another number is writing to the same file (two writers would corrupt each other's
    // records), and for a named pipe or socket, which could stop the writer. False with *why
    // saying what went wrong.
    bool open(int number, const QString& path, QString* why);
    bool isOpen(int number) const { return m_files[number] != nullptr; }
    // Gives one record to the writer. A write that fails is told through failed().
    void write(int number, const QByteArray& record);
    // Closing a number that is not open does nothing.
    void close(int number);
    void closeAll();

    // The writer's report of a write that failed: the file is closed, keeping what was written
    // before, and what was given for it after is not written.
    void writeFailed(const std::shared_ptr<CaptureWriter::File>& file, const QString& why);

signals:
    void failed(int number, const QString& why);

private:
    CaptureWriter& m_writer;
    std::array<std::shared_ptr<CaptureWriter::File>, kFiles + 1> m_files;
    std::array<QString, kFiles + 1> m_canonicalPaths;
    bool m_wakePosted = false; // the writer will be woken for this turn's records
};
