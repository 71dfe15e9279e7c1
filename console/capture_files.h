#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <array>
#include <memory>

// Sequential output files by number 1 to 4, one per slot; the program opens no other files.
// Every record goes straight to the file, so a live `tail -f` shows it and a killed program
// loses nothing it had already written.
class CaptureFiles
{
public:
    static constexpr int kFiles = 4;

    CaptureFiles();
    ~CaptureFiles() { closeAll(); }

    // Opens path for output as file number n: created, or emptied if it exists. Refused when
    // another number is writing to the same file (two writers would corrupt each other's
    // records), and for a named pipe or socket, which could stop the window. False with *why
    // saying what went wrong.
    bool open(int number, const QString& path, QString* why);
    bool isOpen(int number) const { return m_files[number] != nullptr; }
    // Writes one record. On a failure the file is closed, keeping what was written before,
    // and false is returned with *why saying what went wrong.
    bool write(int number, const QByteArray& record, QString* why);
    // Closing a number that is not open does nothing.
    void close(int number);
    void closeAll();

private:
    std::array<std::unique_ptr<QFile>, kFiles + 1> m_files;
    std::array<QString, kFiles + 1> m_canonicalPaths;
};
