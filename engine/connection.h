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

class ClosingPool;

// One client's connection over the native non-blocking socket, from accept to gone. Its life is
// one state value; each state waits for one or two things, and each change of state is made in
// one place (moveTo says what entering a state does):
//
//   Open            the client's bytes, read in arrivals of at most kArrivalLimit while its
//                   echoes do not pile up; room for what is sent. Ends at the client's end
//                   (ClientFinished), a failed write (Unwritable) or close() (Draining).
//   Unwritable      a write failed: the client can take nothing more, but its last bytes and its
//                   end are still read and handed over. The write's error is kept: it, not the
//                   read's end, is what the owner is told. Ends at the client's end or close().
//   ClientFinished  the client sent its last byte (or reset); every byte before it was handed
//                   over. What is sent still goes out. Waits for close() (Delivering).
//   Draining        closed: queued bytes go out; whatever the client sends is read and dropped.
//                   Queue empty: FIN (Lingering). The client's end first: Delivering.
//   Delivering      closed after the client's end: queued bytes go out, then the descriptor is
//                   closed and the kernel sends the rest and our FIN (Gone).
//   Lingering       FIN sent: the client's bytes are read and dropped until its own FIN, and only
//                   then is the descriptor closed (Gone). Closing with unread input would make
//                   the kernel reset the connection and drop what the client had not read.
//   Gone            the descriptor is closed; the object waits in the pool for another client.
//
// The closing states (Draining, Delivering, Lingering) live in the pool and give up on a client
// that makes no progress for the patience. The owner hears of arrivals, the client's end and
// errors through signals emitted from the event loop, never from inside a call the owner made.
// Once closed, a connection can no longer signal its former owner.
class Connection : public QObject
{
    Q_OBJECT

public:
    enum class State { Open, Unwritable, ClientFinished, Draining, Delivering, Lingering, Gone };

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

    ~Connection() override;

    qint64 bytesWaiting() const { return m_arrival.size(); }
    qint64 bytesQueued() const { return m_queue.waiting(); }
    quint16 localPort() const { return native::localPort(m_socket); }

    // Moves the waiting bytes out.
    QByteArray take();
    // Queues bytes for the client and writes what the socket takes now. Bytes sent while an
    // arrival is being handed over go out together when the handler returns.
    void send(const QByteArray& data);
    // Lets go: from here on the connection lives in the closing pool until it ends.
    void close();

signals:
    void arrived(qint64 bytes);
    // The client finished sending or reset the connection; every byte before it has arrived.
    void peerFinished();
    void failed(qint64 error);

private:
    friend class ClosingPool;
    enum class Ending { Close, Reset };

    explicit Connection(ClosingPool& pool);
    void start(native::Descriptor socket);
    void moveTo(State next, Ending ending = Ending::Close);
    void readable();
    // Reads one arrival and hands it over, or the client's end; returns what the read returned.
    qint64 readArrival();
    void finishReading(qint64 result);
    void dropInput();
    void flush();
    void writeFailed(qint64 error);
    void patienceRanOut();
    // Ends a closing connection now: with a reset when reset is set (the kernel drops what it
    // holds for the client), else after dropping what the client sent, so that nothing unread
    // turns the close into a reset.
    void letGo(bool reset);
    void watch();
    bool heldBack() const;
    bool writes() const;
    qint64 outstanding() const;

    ClosingPool& m_pool;
    native::Descriptor m_socket = native::kNoDescriptor;
    QSocketNotifier m_reader{QSocketNotifier::Read};
    QSocketNotifier m_writer{QSocketNotifier::Write};
    State m_state = State::Gone;
    QByteArray m_arrival;
    SendQueue m_queue;
    qint64 m_writeError = 0; // Unwritable: why the write failed
    QTimer m_patience;       // the closing states: no progress for this long gives up
    qint64 m_lastOutstanding = 0;
    // Not part of the life: the socket option is set once, and sends made while an arrival is
    // handed over wait for the handler to return, to go out in one write.
    bool m_sendsAtOnce = false; // Nagle's algorithm is off
    bool m_handingOver = false;
};
