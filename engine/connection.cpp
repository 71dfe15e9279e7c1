#include "connection.h"

#include "connection_pool.h"

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

Connection::Connection(ConnectionPool& pool) : QObject(&pool), m_pool(pool)
{
    m_reader.setEnabled(false);
    m_writer.setEnabled(false);
    m_patience.setSingleShot(true);
    m_writeRetry.setSingleShot(true);
    m_writeRetry.setInterval(kWriteRetryMs);
    connect(&m_reader, &QSocketNotifier::activated, this, &Connection::readable);
    connect(&m_writer, &QSocketNotifier::activated, this, [this] {
        flush();
        watch();
    });
    connect(&m_writeRetry, &QTimer::timeout, this, [this] {
        flush();
        watch();
    });
    connect(&m_patience, &QTimer::timeout, this, &Connection::patienceRanOut);
}

Connection::~Connection()
{
    if (m_socket != native::kNoDescriptor)
        native::abort(m_socket);
}

Connection::State Connection::next(State state, Event event)
{
    using S = State;
    // clang-format off
    static constexpr State kNext[kStates][kEvents] = {
        //                  ClientEnded        ReadFailed         QueueEmptied       WriteFailed        Closed             NoProgress         GivenUp
        /* Open */         {S::ClientFinished, S::ClientFinished, S::Open,           S::Unwritable,     S::Draining,       S::Open,           S::Gone},
        /* Unwritable */   {S::ClientFinished, S::ClientFinished, S::Unwritable,     S::Unwritable,     S::Gone,           S::Unwritable,     S::Gone},
        /* ClientFinished*/{S::ClientFinished, S::ClientFinished, S::ClientFinished, S::ClientFinished, S::Delivering,     S::ClientFinished, S::Gone},
        /* Draining */     {S::Delivering,     S::Gone,           S::Lingering,      S::Gone,           S::Draining,       S::Gone,           S::Gone},
        /* Delivering */   {S::Delivering,     S::Delivering,     S::Gone,           S::Gone,           S::Delivering,     S::Gone,           S::Gone},
        /* Lingering */    {S::Gone,           S::Gone,           S::Lingering,      S::Lingering,      S::Lingering,      S::Gone,           S::Gone},
        /* Gone */         {S::Gone,           S::Gone,           S::Gone,           S::Gone,           S::Gone,           S::Gone,           S::Gone},
    };
    // clang-format on
    return kNext[int(state)][int(event)];
}

void Connection::start(native::Descriptor socket)
{
    m_socket = socket;
    m_sendsAtOnce = false;
    m_reader.setSocket(socket);
    m_writer.setSocket(socket);
    m_state = State::Open; // the notifiers wait for readWaiting()
}

void Connection::readWaiting()
{
    readable();
}

void Connection::handle(Event event, Ending ending)
{
    const State from = m_state;
    m_state = next(from, event);
    if (m_state == from)
        return;
    enter(from, ending);
    if (m_state == State::ClientFinished) {
        // Last, since the owner may close the connection at once. After a failed write the read
        // side ends because of it: the write's error is the one to tell. A reset reads like a
        // close: everything before it has been handed over.
        const qint64 why = from == State::Unwritable ? m_writeError : m_endError;
        if (why == 0 || native::peerReset(why))
            emit peerFinished();
        else
            emit failed(why);
    }
}

// What arriving in a state does; from is the state left.
void Connection::enter(State from, Ending ending)
{
    switch (m_state) {
    case State::Open:
    case State::Unwritable:
    case State::ClientFinished:
        break;
    case State::Draining:
    case State::Delivering:
        m_arrival = QByteArray(); // an arrival the owner never took
        break;
    case State::Lingering:
        native::shutdownWrite(m_socket);
        break;
    case State::Gone:
        // What the client sent is dropped first, so that nothing unread turns the close into a
        // reset, unless the ending is a reset: then the kernel drops what it holds at once.
        if (ending == Ending::Close && (from == State::Draining || from == State::Lingering))
            dropInput();
        m_reader.setEnabled(false);
        m_writer.setEnabled(false);
        m_patience.stop();
        m_writeRetry.stop();
        if (ending == Ending::Reset)
            native::abort(m_socket);
        else
            native::close(m_socket);
        m_socket = native::kNoDescriptor;
        // Nothing of this client may reach the next one the object serves.
        m_queue.clear();
        m_arrival = QByteArray();
        m_endError = m_writeError = 0;
        m_pool.release(this);
        return;
    }
    watch();
}

QByteArray Connection::take()
{
    QByteArray bytes = std::exchange(m_arrival, {});
    watch();
    return bytes;
}

void Connection::send(const QByteArray& data)
{
    if (data.isEmpty() || (m_state != State::Open && m_state != State::ClientFinished))
        return;
    const bool idle = bytesQueued() == 0;
    m_queue.append(data);
    // With bytes already waiting the socket is full: the write notifier carries on.
    if (idle && !m_handingOver)
        flush();
    watch();
}

void Connection::close()
{
    const bool stalled = heldBack();
    handle(Event::Closed);
    if (m_state != State::Draining && m_state != State::Delivering)
        return;
    flush(); // with nothing queued, on to Lingering or Gone at once
    if (m_state == State::Gone)
        return;
    // It waits for its client: the pool keeps it from here on, and gives up on a client that
    // makes no progress for the patience.
    m_pool.adopt(this);
    m_lastOutstanding = outstanding();
    m_patience.start(stalled ? kStalledPatienceMs : kClosingPatienceMs);
}

void Connection::readable()
{
    if (readsForOwner()) {
        // A flood is taken a few arrivals per turn of the event loop, since a turn costs more
        // than a read; other sockets and the operator's keys still get theirs within a millisecond.
        for (int arrival = 0; arrival < kArrivalsPerTurn; ++arrival) {
            if (!readsForOwner() || !m_arrival.isEmpty() || heldBack() || readArrival() < kArrivalLimit)
                break;
        }
    } else if (readsToDrop()) {
        dropInput();
    }
    watch();
}

qint64 Connection::readArrival()
{
    m_arrival.resize(kArrivalLimit);
    const qint64 n = native::read(m_socket, m_arrival.data(), kArrivalLimit);
    if (n > 0) {
        m_arrival.truncate(n);
        m_handingOver = true;
        emit arrived(n);
        m_handingOver = false;
        flush(); // the echoes of this arrival, in one write
        return n;
    }
    m_arrival.clear();
    if (!native::wouldBlock(n)) {
        m_endError = n;
        handle(n == 0 ? Event::ClientEnded : Event::ReadFailed);
    }
    return n;
}

void Connection::dropInput()
{
    static char scratch[64 * 1024];
    for (int round = 0; round < 4; ++round) {
        const qint64 n = native::read(m_socket, scratch, sizeof scratch);
        if (n > 0)
            continue;
        if (!native::wouldBlock(n))
            handle(n == 0 ? Event::ClientEnded : Event::ReadFailed);
        return;
    }
}

void Connection::flush()
{
    if (!writes() || m_writeRetry.isActive())
        return;
    // Nagle off from the first byte on; a client that is never sent anything costs no call.
    if (!m_sendsAtOnce && bytesQueued() > 0) {
        native::sendAtOnce(m_socket);
        m_sendsAtOnce = true;
    }
    while (bytesQueued() > 0) {
        const qint64 n = native::write(m_socket, m_queue.next(), m_queue.nextSize());
        if (n > 0) {
            m_queue.written(n);
        } else if (native::wouldBlock(n)) {
            return;
        } else if (native::shortOfMemory(n)) {
            m_writeRetry.start(); // the kernel may have memory again in a moment; nothing is lost
            return;
        } else {
            m_queue.clear(); // nothing queued can reach the client any more
            m_writeError = n;
            handle(Event::WriteFailed);
            return;
        }
    }
    handle(Event::QueueEmptied);
}

void Connection::patienceRanOut()
{
    const qint64 now = outstanding();
    if (now < m_lastOutstanding) {
        m_lastOutstanding = now;
        m_patience.start();
        return;
    }
    // No progress: a client that takes nothing is let go with its buffers; one that has
    // everything but never closes is closed.
    handle(Event::NoProgress, now > 1 ? Ending::Reset : Ending::Close);
}

void Connection::watch()
{
    m_reader.setEnabled((readsForOwner() && m_arrival.isEmpty() && !heldBack()) || readsToDrop());
    m_writer.setEnabled(writes() && bytesQueued() > 0 && !m_writeRetry.isActive());
}

bool Connection::readsForOwner() const
{
    return m_state == State::Open || m_state == State::Unwritable;
}

bool Connection::readsToDrop() const
{
    return m_state == State::Draining || m_state == State::Lingering;
}

bool Connection::heldBack() const
{
    // Also counted in memory: a 16 MiB echo that has nearly gone out still holds its 16 MiB,
    // and the next one must not gather beside it.
    return m_state == State::Open && (m_queue.waiting() > kSendBacklogLimit || m_queue.held() > 2 * kSendBacklogLimit);
}

bool Connection::writes() const
{
    return m_state == State::Open || m_state == State::ClientFinished || m_state == State::Draining ||
           m_state == State::Delivering;
}

qint64 Connection::outstanding() const
{
    return bytesQueued() + std::max<qint64>(0, native::unacknowledged(m_socket));
}
