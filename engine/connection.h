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

// One client's connection over the native non-blocking socket, from accept to gone:
//
//   open           the client's bytes are read in arrivals of at most kArrivalLimit bytes;
//                  what is sent is written as soon as the socket takes it.
//   peer finished  the client has sent its last byte, or reset the connection. Every byte that
//                  came before was handed over first; what we still send goes out.
//   closing        after close(): queued bytes drain, then FIN. Whatever the client still sends
//                  is read and dropped, so that it cannot turn our FIN into a reset. It ends once
//                  the client has everything, or is aborted when it stops making progress.
//   gone           the descriptor is closed; the object waits to serve another client.
//
// Its owner hears of arrivals, the client's end and errors through signals emitted from the
// event loop, never from inside a call the owner made. Once closed, a connection belongs to the
// closing pool and can no longer signal its former owner.
class Connection : public QObject
{
    Q_OBJECT

public:
    enum class Stage { Open, PeerFinished, Closing, Gone };

    // At most this many of the client's bytes wait in the program; the rest waits in the
    // kernel, and TCP slows a flooding client down.
    static constexpr qint64 kArrivalLimit = 32767;
    static constexpr int kArrivalsPerTurn = 8;
    // Reading pauses while more than this waits for a client that does not read it.
    static constexpr qint64 kSendBacklogLimit = 1 << 20;
    // A closing connection that makes no progress for this long is aborted; sooner if its
    // client had already stopped reading before it was closed.
    static constexpr int kClosingPatienceMs = 10000;
    static constexpr int kStalledPatienceMs = 1000;
    // The closing pool keeps at most this many connections and queued bytes; the oldest gives way.
    static constexpr int kClosingCountLimit = 16;
    static constexpr qint64 kClosingBytesLimit = 16 << 20;

    // A connection on an accepted socket. Objects of connections that ended are used again,
    // so that a stream of short connections does not build and tear down one per client.
    static Connection* open(native::Descriptor socket);
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

    // Runs the event loop until every closing connection has ended or timeoutMs has passed,
    // then lets go of those left: what the kernel holds still reaches their clients.
    static void drainClosing(int timeoutMs);

signals:
    void arrived(qint64 bytes);
    // The client finished sending or reset the connection; every byte before it has arrived.
    void peerFinished();
    void failed(qint64 error);

private:
    friend class ClosingPool;

    Connection();
    void start(native::Descriptor socket);
    void readable();
    // Reads one arrival and hands it over, or the client's end; returns what the read returned.
    qint64 readArrival();
    void dropInput();
    void flush();
    void update();
    void finishIfDone();
    void checkProgress();
    // Closes the descriptor, with a reset when reset is set.
    void end(bool reset);
    // The pool's last word at exit: keep what the kernel holds, unless our own bytes are lost anyway.
    void letGo() { end(bytesQueued() > 0); }
    qint64 outstanding() const;

    native::Descriptor m_socket = native::kNoDescriptor;
    QSocketNotifier m_reader{QSocketNotifier::Read};
    QSocketNotifier m_writer{QSocketNotifier::Write};
    Stage m_stage = Stage::Open;
    QByteArray m_arrival;
    SendQueue m_queue;
    bool m_dispatching = false; // an arrival is being handed over
    bool m_writeFailed = false; // the client can take nothing more
    bool m_finSent = false;
    bool m_peerDone = false;
    bool m_heldBack = false;
    bool m_sendsAtOnce = false; // Nagle's algorithm is off
    QTimer m_patience;
    qint64 m_lastOutstanding = 0;
};
