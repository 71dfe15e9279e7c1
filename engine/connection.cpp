#include "connection.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QList>

// The connections that were closed and still deliver their last bytes, oldest first. They
// outlive the slot and the window that closed them; at exit the program waits for them a
// little while.
class ClosingPool
{
public:
    static ClosingPool& instance()
    {
        static ClosingPool pool;
        return pool;
    }

    void adopt(Connection* connection)
    {
        if (!m_cleanupRegistered) {
            m_cleanupRegistered = true;
            qAddPostRoutine([] { instance().endAll(); });
        }
        m_closing.append(connection);
        // No client can pile up descriptors or memory here: the oldest gives way.
        while (m_closing.size() > 1 &&
               (m_closing.size() > Connection::kClosingCountLimit || queuedBytes() > Connection::kClosingBytesLimit)) {
            m_closing.constFirst()->end(true);
        }
    }

    // A connection that has ended: kept for the next client, or deleted.
    void release(Connection* connection)
    {
        m_closing.removeOne(connection);
        if (m_closing.isEmpty() && m_drain)
            m_drain->quit();
        if (m_spares.size() < kSpares)
            m_spares.append(connection);
        else
            connection->deleteLater(); // it may be inside one of its own notifiers' signals
    }

    Connection* spare() { return m_spares.isEmpty() ? nullptr : m_spares.takeLast(); }

    void drain(int timeoutMs)
    {
        if (!m_closing.isEmpty()) {
            QEventLoop loop;
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            m_drain = &loop;
            loop.exec();
            m_drain = nullptr;
        }
        while (!m_closing.isEmpty())
            m_closing.constFirst()->letGo();
    }

private:
    qint64 queuedBytes() const
    {
        qint64 total = 0;
        for (const Connection* c : m_closing)
            total += c->bytesQueued();
        return total;
    }

    void endAll()
    {
        while (!m_closing.isEmpty())
            m_closing.constFirst()->letGo();
        qDeleteAll(std::exchange(m_spares, {}));
        // Connections that ended are deleted later; with the application going there is no later.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static constexpr qsizetype kSpares = 8;

    QList<Connection*> m_closing;
    QList<Connection*> m_spares;
    QEventLoop* m_drain = nullptr;
    bool m_cleanupRegistered = false;
};

namespace {
// Pieces smaller than this are joined into the last one; larger ones are shared as they are.
constexpr qsizetype kJoinBelow = 64 * 1024;
} // namespace

void SendQueue::append(const QByteArray& bytes)
{
    if (!m_pieces.empty() && m_pieces.back().size() < kJoinBelow && bytes.size() < kJoinBelow)
        m_pieces.back().append(bytes);
    else
        m_pieces.push_back(bytes);
    m_waiting += bytes.size();
    m_held += bytes.size();
}

void SendQueue::written(qint64 count)
{
    m_frontWritten += count;
    m_waiting -= count;
    if (m_frontWritten == m_pieces.front().size()) {
        m_held -= m_frontWritten;
        m_frontWritten = 0;
        m_pieces.pop_front();
    }
}

void SendQueue::clear()
{
    m_pieces.clear();
    m_frontWritten = m_waiting = m_held = 0;
}

Connection* Connection::open(native::Descriptor socket)
{
    Connection* connection = ClosingPool::instance().spare();
    if (!connection)
        connection = new Connection;
    connection->start(socket);
    return connection;
}

Connection::Connection()
{
    m_reader.setEnabled(false);
    m_writer.setEnabled(false);
    m_patience.setSingleShot(true);
    connect(&m_reader, &QSocketNotifier::activated, this, &Connection::readable);
    connect(&m_writer, &QSocketNotifier::activated, this, [this] {
        flush();
        update();
        finishIfDone();
    });
    connect(&m_patience, &QTimer::timeout, this, &Connection::checkProgress);
}

void Connection::start(native::Descriptor socket)
{
    m_socket = socket;
    m_stage = Stage::Open;
    m_dispatching = m_writeFailed = m_finSent = m_peerDone = m_heldBack = m_sendsAtOnce = false;
    m_lastOutstanding = 0;
    m_reader.setSocket(socket);
    m_writer.setSocket(socket);
    m_reader.setEnabled(true);
}

Connection::~Connection()
{
    if (m_socket != native::kNoDescriptor)
        native::abort(m_socket);
}

QByteArray Connection::take()
{
    QByteArray bytes = std::exchange(m_arrival, {});
    update();
    return bytes;
}

void Connection::send(const QByteArray& data)
{
    if (data.isEmpty() || m_writeFailed || m_stage == Stage::Closing || m_stage == Stage::Gone)
        return;
    const bool idle = bytesQueued() == 0;
    m_queue.append(data);
    // With bytes already waiting the socket is full: the write notifier carries on.
    if (idle && !m_dispatching) {
        flush();
        update();
    }
}

void Connection::readable()
{
    if (m_stage == Stage::Closing) {
        dropInput();
        return;
    }
    // A flood is taken a few arrivals per turn of the event loop, since a turn costs more than
    // a read; other sockets and the operator's keys still get theirs within a millisecond.
    for (int arrival = 0; arrival < kArrivalsPerTurn; ++arrival) {
        if (m_stage != Stage::Open || !m_arrival.isEmpty() || m_heldBack || readArrival() < kArrivalLimit)
            break;
    }
    update();
}

qint64 Connection::readArrival()
{
    m_arrival.resize(kArrivalLimit);
    const qint64 n = native::read(m_socket, m_arrival.data(), kArrivalLimit);
    if (n > 0) {
        m_arrival.truncate(n);
        m_dispatching = true;
        emit arrived(n);
        m_dispatching = false;
        flush(); // the echoes of this arrival, in one write
        update();
        return n;
    }
    m_arrival.clear();
    if (native::wouldBlock(n))
        return n;
    // The client's end. A reset reads like a close: everything before it has been handed over.
    m_stage = Stage::PeerFinished;
    m_peerDone = true;
    if (n < 0)
        m_writeFailed = true;
    flush();
    update();
    if (n == 0 || native::peerReset(n))
        emit peerFinished();
    else
        emit failed(n);
    return n;
}

void Connection::dropInput()
{
    static char scratch[64 * 1024];
    for (int round = 0; round < 4; ++round) {
        const qint64 n = native::read(m_socket, scratch, sizeof scratch);
        if (n > 0)
            continue;
        if (native::wouldBlock(n))
            break;
        m_peerDone = true;
        if (n < 0)
            m_writeFailed = true;
        break;
    }
    update();
    finishIfDone();
}

void Connection::flush()
{
    // Nagle off from the first byte on; a client that is never sent anything costs no call.
    if (!m_sendsAtOnce && bytesQueued() > 0) {
        native::sendAtOnce(m_socket);
        m_sendsAtOnce = true;
    }
    while (!m_writeFailed && bytesQueued() > 0) {
        const qint64 n = native::write(m_socket, m_queue.next(), m_queue.nextSize());
        if (n > 0) {
            m_queue.written(n);
            continue;
        }
        if (native::wouldBlock(n))
            break;
        // The client can take nothing more (it reset or went away). Reading goes on: its last
        // bytes and its end are still to be found there, never cut short by this.
        m_writeFailed = true;
    }
    if (m_writeFailed)
        m_queue.clear();
}

void Connection::update()
{
    // Also counted in memory: a 16 MiB echo that has nearly gone out still holds its 16 MiB,
    // and the next one must not gather beside it.
    m_heldBack =
        m_stage == Stage::Open && (m_queue.waiting() > kSendBacklogLimit || m_queue.held() > 2 * kSendBacklogLimit);
    const bool reading =
        m_stage == Stage::Open ? m_arrival.isEmpty() && !m_heldBack : m_stage == Stage::Closing && !m_peerDone;
    m_reader.setEnabled(reading);
    m_writer.setEnabled(m_stage != Stage::Gone && bytesQueued() > 0);
}

void Connection::close()
{
    if (m_stage == Stage::Closing || m_stage == Stage::Gone)
        return;
    const bool stalled = m_heldBack;
    m_stage = Stage::Closing;
    m_arrival = QByteArray();
    flush();
    update();
    ClosingPool::instance().adopt(this);
    finishIfDone();
    if (m_stage == Stage::Closing) {
        m_lastOutstanding = outstanding();
        m_patience.start(stalled ? kStalledPatienceMs : kClosingPatienceMs);
    }
}

void Connection::finishIfDone()
{
    if (m_stage != Stage::Closing || (bytesQueued() > 0 && !m_writeFailed))
        return;
    if (!m_finSent) {
        if (!m_peerDone) // otherwise closing sends the FIN
            native::shutdownWrite(m_socket);
        m_finSent = true;
    }
    // The client has everything once it has acknowledged all but our FIN; from then on the
    // kernel finishes the close on its own.
    if (m_peerDone || m_writeFailed || native::unacknowledged(m_socket) <= 1)
        end(false);
}

qint64 Connection::outstanding() const
{
    return bytesQueued() + std::max<qint64>(0, native::unacknowledged(m_socket));
}

void Connection::checkProgress()
{
    if (m_stage != Stage::Closing)
        return;
    finishIfDone();
    if (m_stage != Stage::Closing)
        return;
    const qint64 now = outstanding();
    if (now >= m_lastOutstanding) {
        end(true); // the client takes nothing: let go of it and its buffers
        return;
    }
    m_lastOutstanding = now;
    m_patience.start();
}

void Connection::end(bool reset)
{
    if (m_stage == Stage::Gone)
        return;
    m_stage = Stage::Gone;
    m_reader.setEnabled(false);
    m_writer.setEnabled(false);
    m_patience.stop();
    if (reset)
        native::abort(m_socket);
    else
        native::close(m_socket);
    m_socket = native::kNoDescriptor;
    m_queue.clear();
    m_arrival = QByteArray();
    ClosingPool::instance().release(this);
}

void Connection::drainClosing(int timeoutMs)
{
    ClosingPool::instance().drain(timeoutMs);
}
