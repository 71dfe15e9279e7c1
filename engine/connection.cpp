#include "connection.h"

#include "closing_pool.h"

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

Connection::Connection(ClosingPool& pool) : QObject(&pool), m_pool(pool)
{
    m_reader.setEnabled(false);
    m_writer.setEnabled(false);
    m_patience.setSingleShot(true);
    connect(&m_reader, &QSocketNotifier::activated, this, &Connection::readable);
    connect(&m_writer, &QSocketNotifier::activated, this, [this] {
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

void Connection::start(native::Descriptor socket)
{
    m_socket = socket;
    m_sendsAtOnce = false;
    m_reader.setSocket(socket);
    m_writer.setSocket(socket);
    moveTo(State::Open);
}

// What entering each state does. Which event leads where is decided by the event's handler:
// readable (the client's bytes and end), flush (a write's outcome), close and patienceRanOut.
void Connection::moveTo(State next, Ending ending)
{
    const bool stalled = heldBack();
    const State from = std::exchange(m_state, next);
    switch (next) {
    case State::Open:
    case State::ClientFinished:
        break;
    case State::Unwritable:
        m_queue.clear();
        break;
    case State::Draining:
    case State::Delivering:
        if (from == State::Draining)
            break;                // the client's end while draining: the pool and the patience carry on
        m_arrival = QByteArray(); // an arrival the owner never took
        m_pool.adopt(this);
        m_lastOutstanding = outstanding();
        m_patience.start(stalled ? kStalledPatienceMs : kClosingPatienceMs);
        break;
    case State::Lingering:
        native::shutdownWrite(m_socket);
        break;
    case State::Gone:
        m_reader.setEnabled(false);
        m_writer.setEnabled(false);
        m_patience.stop();
        if (ending == Ending::Reset)
            native::abort(m_socket);
        else
            native::close(m_socket);
        m_socket = native::kNoDescriptor;
        m_queue.clear();
        m_arrival = QByteArray();
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
    switch (m_state) {
    case State::Open:
        moveTo(State::Draining);
        break;
    case State::ClientFinished:
        moveTo(State::Delivering);
        break;
    case State::Unwritable:
        moveTo(State::Gone); // nothing more can reach the client
        return;
    default:
        return; // closing already, or gone
    }
    flush(); // with nothing queued, on to Lingering or Gone at once
}

void Connection::readable()
{
    switch (m_state) {
    case State::Open:
    case State::Unwritable:
        // A flood is taken a few arrivals per turn of the event loop, since a turn costs more
        // than a read; other sockets and the operator's keys still get theirs within a millisecond.
        for (int arrival = 0; arrival < kArrivalsPerTurn; ++arrival) {
            if ((m_state != State::Open && m_state != State::Unwritable) || !m_arrival.isEmpty() || heldBack() ||
                readArrival() < kArrivalLimit)
                break;
        }
        break;
    case State::Draining:
    case State::Lingering:
        dropInput();
        break;
    default:
        break;
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
    if (!native::wouldBlock(n))
        finishReading(n);
    return n;
}

void Connection::finishReading(qint64 result)
{
    // After a failed write the read side ends because of it: the write's error is the one to tell.
    const qint64 why = m_state == State::Unwritable ? m_writeError : result;
    moveTo(State::ClientFinished);
    // A reset reads like a close: everything before it has been handed over.
    if (why == 0 || native::peerReset(why))
        emit peerFinished();
    else
        emit failed(why);
}

void Connection::dropInput()
{
    static char scratch[64 * 1024];
    for (int round = 0; round < 4; ++round) {
        const qint64 n = native::read(m_socket, scratch, sizeof scratch);
        if (n > 0)
            continue;
        if (native::wouldBlock(n))
            return;
        // The client's own end: nothing more can come for a close to answer with a reset.
        moveTo(m_state == State::Draining && n == 0 ? State::Delivering : State::Gone);
        flush();
        return;
    }
}

void Connection::flush()
{
    if (!writes())
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
        } else {
            writeFailed(n);
            return;
        }
    }
    if (m_state == State::Draining)
        moveTo(State::Lingering);
    else if (m_state == State::Delivering)
        moveTo(State::Gone); // the kernel sends what it holds, then our FIN
}

void Connection::writeFailed(qint64 error)
{
    switch (m_state) {
    case State::Open:
        // The client can take nothing more (it reset or went away). Reading goes on: its last
        // bytes and its end are still to be found there, never cut short by this.
        m_writeError = error;
        moveTo(State::Unwritable);
        break;
    case State::ClientFinished:
        m_queue.clear(); // its end has been told already
        break;
    default:
        moveTo(State::Gone);
        break;
    }
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
    letGo(now > 1);
}

void Connection::letGo(bool reset)
{
    if (!reset && (m_state == State::Draining || m_state == State::Lingering))
        dropInput();
    if (m_state != State::Gone)
        moveTo(State::Gone, reset ? Ending::Reset : Ending::Close);
}

void Connection::watch()
{
    bool reading = false;
    switch (m_state) {
    case State::Open:
        reading = m_arrival.isEmpty() && !heldBack();
        break;
    case State::Unwritable:
        reading = m_arrival.isEmpty();
        break;
    case State::Draining:
    case State::Lingering:
        reading = true;
        break;
    default:
        break;
    }
    m_reader.setEnabled(reading);
    m_writer.setEnabled(writes() && bytesQueued() > 0);
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
