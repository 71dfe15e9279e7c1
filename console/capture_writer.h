#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class CaptureFiles;

// Writes capture records on a thread of its own, each file's records in the order they were
// given. The window never waits for the disk: copying into the page cache takes the other core,
// and closing a file that was emptied (which on ext4 starts writing it out) no longer holds the
// window up.
//
// Like the connection pool, main creates it before the window and ends it after the window has
// gone: everything given to it is written and every file closed before the program ends.
class CaptureWriter
{
public:
    // Records waiting beyond this make write() wait for the writer (as much again may be being
    // written): a disk slower than the clients slows the clients (through TCP), and memory stays
    // bounded.
    static constexpr qint64 kQueueLimit = 4 << 20;
    static constexpr qint64 kWakeAt = 1 << 20;

    // One open capture file. owner hears of a failed write; it is cleared when the file is closed.
    struct File {
        int descriptor = -1;
        int number = 0;
        CaptureFiles* owner = nullptr; // guarded by the writer's mutex
        bool failed = false;           // the writer's own
    };

    CaptureWriter();
    // Writes what was given, closes every file given to close(), and ends the thread.
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Queues a record. The writer is woken once kWakeAt bytes wait, and otherwise by wake():
    // a flood is handed over in batches instead of a wake-up per record.
    void write(const std::shared_ptr<File>& file, const QByteArray& record);
    // Hands over what waits.
    void wake();
    // Closes the file once everything given for it before has been written; its owner hears
    // nothing more of it.
    void close(const std::shared_ptr<File>& file);
    // Waits until everything given so far is done.
    void finish();

private:
    struct Job {
        std::shared_ptr<File> file;
        QByteArray record; // empty: close the file
    };
    void run();
    // Writes job's record, and those after it for the same file, or closes the file; returns the
    // first job not done.
    std::deque<Job>::iterator perform(std::deque<Job>::iterator job, std::deque<Job>::iterator end);
    void failed(const std::shared_ptr<File>& file, int error);

    std::mutex m_mutex;
    std::condition_variable m_wake; // the writer: work is waiting, or the end
    std::condition_variable m_done; // callers: the queue went down
    std::deque<Job> m_queue;
    qint64 m_queued = 0; // bytes in the queue
    bool m_busy = false; // the writer holds jobs taken from the queue
    bool m_ending = false;
    bool m_unannounced = false; // records wait that the writer has not been woken for
    std::thread m_thread;       // last: it starts once everything above is ready
};
