#include "socket_control.h"

#include "connection.h"
#include "connection_pool.h"
#include "listener.h"

#include <cerrno>

namespace {

// The client a listener is offering right now, while its request event runs. The request id
// is its descriptor; if no Accept takes it, it is closed when the event returns, so the client
// sees its connection end instead of waiting unserved: a lingering close like any other, so that
// a client that has already sent something gets a clean end, not a reset.
struct Offer {
    native::Descriptor socket = native::kNoDescriptor;
    native::Peer peer;
    Connection* taken = nullptr;
};
Offer g_offer;

} // namespace

SocketControl::SocketControl(qint16 index, ConnectionPool& pool, QObject* parent)
    : QObject(parent), m_index(index), m_pool(pool)
{
}

SocketControl::~SocketControl()
{
    if (m_connection)
        letGoOfConnection();
}

qint32 SocketControl::LocalPort() const
{
    if (m_listener && m_listener->isListening())
        return m_listener->port();
    if (m_connection)
        return m_connection->localPort();
    return m_localPort;
}

qint16 SocketControl::State() const
{
    if (m_listener && m_listener->isListening())
        return sckListening;
    // A connection whose client has finished stays connected until its Close event has been
    // handled: we can still send to it.
    return m_connection ? sckConnected : sckClosed;
}

qint64 SocketControl::BytesReceived() const
{
    return m_connection ? m_connection->bytesWaiting() : 0;
}

qint64 SocketControl::BytesQueued() const
{
    return m_connection ? m_connection->bytesQueued() : 0;
}

bool SocketControl::Listen()
{
    if (m_localPort < 0 || m_localPort > 65535) {
        m_errorString = tr("The port is outside the range 0 to 65535");
        return false;
    }
    if (!m_listener) {
        m_listener = new Listener(this);
        connect(m_listener, &Listener::request, this, &SocketControl::offer);
        connect(m_listener, &Listener::paused, this,
                [this](qint64 error) { emit acceptPaused(m_index, native::errorText(error)); });
        connect(m_listener, &Listener::failed, this,
                [this](qint64 error) { emit errorEvent(m_index, qint32(-error), native::errorText(error)); });
    }
    const qint64 result = m_listener->open(quint16(m_localPort));
    m_errorString = result < 0 ? native::errorText(result) : QString();
    return result == 0;
}

void SocketControl::offer(native::Descriptor socket, const native::Peer& peer)
{
    m_remoteHostIP = peer.address;
    m_remotePort = peer.port;
    g_offer = {socket, peer};
    // A client that has finished without a byte (a port check, a device reconnecting in a loop)
    // hears our end at once instead of after the window has shown it come and go. Nothing is
    // sent to a client before its close event, and closing is what that event gets.
    if (native::finishedSilently(socket))
        native::shutdownWrite(socket);
    emit connectionRequest(m_index, qint32(socket));
    if (g_offer.socket == socket)
        m_pool.open(socket)->close();
    else if (g_offer.taken)
        g_offer.taken->readWaiting(); // once the request's handler has returned
    g_offer = {};
}

void SocketControl::Accept(qint32 requestID)
{
    if (g_offer.socket == native::kNoDescriptor || g_offer.socket != requestID) {
        reportLater(EINVAL, tr("No connection request with id %1 is waiting").arg(requestID));
        return;
    }
    if (m_connection)
        letGoOfConnection(); // a connection in a state other than connected gives way
    m_remoteHostIP = g_offer.peer.address;
    m_remotePort = g_offer.peer.port;
    attach(m_pool.open(g_offer.socket));
    g_offer.socket = native::kNoDescriptor;
    g_offer.taken = m_connection;
}

void SocketControl::attach(Connection* connection)
{
    m_connection = connection;
    ++m_generation;
    connect(connection, &Connection::arrived, this, [this](qint64 bytes) { emit dataArrival(m_index, bytes); });
    connect(connection, &Connection::peerFinished, this, [this] { emit closeEvent(m_index); });
    connect(connection, &Connection::failed, this,
            [this](qint64 error) { emit errorEvent(m_index, qint32(-error), native::errorText(error)); });
}

void SocketControl::letGoOfConnection()
{
    Connection* connection = std::exchange(m_connection, nullptr);
    ++m_generation;
    connection->disconnect(this);
    connection->close();
}

void SocketControl::reportLater(qint32 number, const QString& description)
{
    // An error found inside a call must not run the error handler inside its caller, and it
    // must not end whatever connection the socket has taken meanwhile.
    QMetaObject::invokeMethod(
        this,
        [this, number, description, generation = m_generation] {
            if (generation == m_generation)
                emit errorEvent(m_index, number, description);
        },
        Qt::QueuedConnection);
}

void SocketControl::SendData(const QByteArray& data)
{
    if (m_connection)
        m_connection->send(data);
}

void SocketControl::SendData(char byte)
{
    if (m_connection)
        m_connection->send(QByteArray(1, byte));
}

void SocketControl::GetData(QByteArray& data)
{
    data = m_connection ? m_connection->take() : QByteArray();
}

void SocketControl::makeRoom()
{
    if (m_listener)
        m_listener->makeRoom();
}

void SocketControl::Close()
{
    if (m_listener)
        m_listener->close();
    if (m_connection)
        letGoOfConnection();
}
