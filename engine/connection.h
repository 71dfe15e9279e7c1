#pragma once

#include "native_socket.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>

// What waits to go out to a client, in order. Large pieces are shared rather than copied (an echo
// line may be 16 MiB) and each piece's memory goes back as soon as it has gone out; small ones
// are joined so that one write takes many.
class SendQueue
{
public:
    qint64 waiting() const { return m_waiting; } // not written yet
    qint64 held() const { return m_held; }       // in memory, the front piece's written part included
    void append(const QByteArray& bytes);
    const char* next() const { return m_pieces.front().constData() + m_frontWritten; }
    qint64 nextSize() const { return m_pieces.front().size() - m_frontWritten; }
    void written(qint64 count);
    void clear();

private:
    std::deque<QByteArray> m_pieces;
    qint64 m_frontWritten = 0;
    qint64 m_waiting = 0;
    qint64 m_held = 0;
};

class ConnectionPool;

// One client's connection over the native non-blocking socket, from accept to gone. Its life is
// one state value, and every change of it is decided in one place: next() says, for each state,
// where each event leads, and enter() what arriving in a state does.
//
//   Open            the client's bytes, read in arrivals of at most kArrivalLimit while its
//                   echoes do not pile up, are handed to the owner; what is sent goes out.
//   Unwritable      a write failed: the client can take nothing more, but its last bytes and its
//                   end are still read and handed over. The write's error is kept: it, not the
//                   read's end, is what the owner is told.
//   ClientFinished  the client sent its last byte (or reset); every byte before it was handed
//                   over and the owner told. What is sent still goes out.
//   Draining        closed: queued bytes go out; whatever the client sends is read and dropped.
//   Delivering      closed after the client's end: queued bytes go out, then the descriptor is
//                   closed and the kernel sends the rest and our FIN.
//   Lingering       our FIN is sent: the client's bytes are read and dropped until its own FIN,
//                   and only then is the descriptor closed. Closing with unread input would make
//                   the kernel reset the connection and drop what the client had not read.
//   Gone            the descriptor is closed; the object waits in the pool for another client,
//                   holding nothing of this one.
//
// A closing connection that must wait for its client (Draining, Delivering, Lingering) lives in
// the pool and gives up on a client that makes no progress for the patience. The owner hears of
// arrivals, the client's end and errors through signals emitted from the event loop, never from
// inside a call the owner made. Once closed, a connection can no longer signal its former owner.
class Connection : public QObject
{
    Q_OBJECT

public:
    enum class State { Open, Unwritable, ClientFinished, Draining, Delivering, Lingering, Gone };
    // What can happen to a connection.
    enum class Event {
        ClientEnded,  // a read found the client's FIN
        ReadFailed,   // a read failed: a reset, or the kernel gave up on the client
        QueueEmptied, // everything queued has gone to the kernel
        WriteFailed,  // a write failed for good
        Closed,       // the owner let go
        NoProgress,   // a closing connection's client took nothing for the patience
        GivenUp,      // the pool ends it now: it is full, or the program is ending
    };
    static constexpr int kStates = int(State::Gone) + 1;
    static constexpr int kEvents = int(Event::GivenUp) + 1;
    // Where an event leads from a state; an event that changes nothing leads back to the state.
    static State next(State state, Event event);

    // At most this many of the client's bytes wait in the program; the rest waits in the
    // kernel, and TCP slows a flooding client down.
    static constexpr qint64 kArrivalLimit = 32767;
    static constexpr int kArrivalsPerTurn = 8;
    // Reading pauses while more than this waits for a client that does not read it.
    static constexpr qint64 kSendBacklogLimit = 1 << 20;
    // A closing connection that makes no progress for this long is given up; sooner if its
    // client had already stopped reading before it was closed.
    static constexpr int kClosingPatienceMs = 10000;
    static constexpr int kStalledPatienceMs = 1000;
    // A write that failed for want of kernel memory is tried again after this long.
    static constexpr int kWriteRetryMs = 20;

    ~Connection() override;

    State state() const { return m_state; }
    qint64 bytesWaiting() const { return m_arrival.size(); }
    qint64 bytesQueued() const { return m_queue.waiting(); }
    quint16 localPort() const { return native::localPort(m_socket); }

    // Moves the waiting bytes out.
    QByteArray take();
    // Queues bytes for the client and writes what the socket takes now. Bytes sent while an
    // arrival is being handed over go out together when the handler returns.
    void send(const QByteArray& data);
    // Lets go: from here on the connection lives in the pool until it ends.
    void close();
    // Reads what the client has already sent, as the read notifier would: just after the
    // connection was taken, so that what came with it (or the client's end) is handled in the
    // same turn of the event loop, not one turn later.
    void readWaiting();

signals:
    void arrived(qint64 bytes);
    // The client finished sending or reset the connection; every byte before it has arrived.
    void peerFinished();
    void failed(qint64 error);

private:
    friend class ConnectionPool;
    enum class Ending { Close, Reset };

    explicit Connection(ConnectionPool& pool);
    void start(native::Descriptor socket);
    // Moves to where event leads from the state now; ending says how Gone closes the descriptor.
    void handle(Event event, Ending ending = Ending::Close);
    void enter(State from, Ending ending);
    void readable();
    // Reads one arrival and hands it over, or the client's end; returns what the read returned.
    qint64 readArrival();
    // Reads and drops what the client sent, a little at a time, or its end.
    void dropInput();
    void flush();
    void patienceRanOut();
    void watch();
    bool readsForOwner() const;
    bool readsToDrop() const;
    // Reading waits while the client's echoes pile up (only an open connection reads for them).
    bool heldBack() const;
    bool writes() const;
    qint64 outstanding() const;

    ConnectionPool& m_pool;
    native::Descriptor m_socket = native::kNoDescriptor;
    QSocketNotifier m_reader{QSocketNotifier::Read};
    QSocketNotifier m_writer{QSocketNotifier::Write};
    State m_state = State::Gone;
    QByteArray m_arrival;
    SendQueue m_queue;
    qint64 m_endError = 0;   // why the client's side ended: 0 for its FIN, or the error
    qint64 m_writeError = 0; // Unwritable: why the write failed
    QTimer m_patience;       // the closing states: no progress for this long gives up
    QTimer m_writeRetry;     // a write that found no kernel memory waits for this
    qint64 m_lastOutstanding = 0;
    // Not part of the life: the socket option is set once per client, and sends made while an
    // arrival is handed over wait for the handler to return, to go out in one write.
    bool m_sendsAtOnce = false; // Nagle's algorithm is off
    bool m_handingOver = false;
};
