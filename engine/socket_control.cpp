#include "socket_control.h"

#include <QHostAddress>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Requests offered by a listener and not yet taken by an Accept. The request id is the
// accepted connection's descriptor; whatever is still here when the request event returns
// is closed, so the client sees its connection end instead of waiting unserved.
QSet<qintptr>& waitingRequests()
{
    static QSet<qintptr> requests;
    return requests;
}

// The text a client's address is shown and compared as: an IPv4 client that reached the
// dual-stack listener over IPv6 is still plain dotted text.
QString addressText(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

class ListenerServer : public QTcpServer
{
public:
    explicit ListenerServer(SocketControl* owner) : QTcpServer(owner), m_owner(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_owner->requestConnection(descriptor); }

private:
    SocketControl* m_owner;
};

SocketControl::SocketControl(qint16 index, QObject* parent) : QObject(parent), m_index(index)
{
}

SocketControl::~SocketControl()
{
    // Sockets still delivering their last bytes are children and end with us.
    if (m_socket)
        m_socket->disconnect(this);
}

qint32 SocketControl::LocalPort() const
{
    if (m_server && m_server->isListening())
        return m_server->serverPort();
    if (m_socket)
        return m_socket->localPort();
    return m_localPort;
}

qint16 SocketControl::State() const
{
    if (m_server && m_server->isListening())
        return sckListening;
    if (!m_socket)
        return sckClosed;
    switch (m_socket->state()) {
    case QAbstractSocket::UnconnectedState:
        return sckClosed;
    case QAbstractSocket::HostLookupState:
        return sckResolvingHost;
    case QAbstractSocket::ConnectingState:
        return sckConnecting;
    case QAbstractSocket::ConnectedState:
        return sckConnected;
    case QAbstractSocket::BoundState:
        return sckOpen;
    case QAbstractSocket::ListeningState:
        return sckListening;
    case QAbstractSocket::ClosingState:
        return sckClosing;
    }
    return sckError;
}

qint64 SocketControl::BytesReceived() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

qint64 SocketControl::BytesQueued() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

bool SocketControl::Listen()
{
    if (m_localPort < 0 || m_localPort > 65535) {
        m_errorString = tr("The port is outside the range 0 to 65535");
        return false;
    }
    if (!m_server) {
        m_server = new ListenerServer(this);
        connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
            emit errorEvent(m_index, error, m_server->errorString());
        });
    }
    m_server->close();
    // Any is dual-stack: IPv4 and IPv6 clients alike.
    if (!m_server->listen(QHostAddress::Any, quint16(m_localPort))) {
        m_errorString = m_server->errorString();
        return false;
    }
    m_errorString.clear();
    return true;
}

void SocketControl::requestConnection(qintptr descriptor)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        ::close(int(descriptor)); // gone before we saw it
        return;
    }
    const QHostAddress address(reinterpret_cast<const sockaddr*>(&peer));
    m_remoteHostIP = addressText(address);
    m_remotePort = peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port)
                                              : ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);

    waitingRequests().insert(descriptor);
    emit connectionRequest(m_index, qint32(descriptor));
    if (waitingRequests().remove(descriptor))
        ::close(int(descriptor));
}

void SocketControl::Accept(qint32 requestID)
{
    if (!waitingRequests().remove(requestID)) {
        reportLater(QAbstractSocket::OperationError, tr("No connection request with id %1 is waiting").arg(requestID));
        return;
    }
    if (m_socket)
        closeConnection(); // a connection in a state other than connected gives way
    auto* socket = new QTcpSocket(this);
    socket->setReadBufferSize(kReadBufferSize);
    if (!socket->setSocketDescriptor(requestID)) {
        ::close(requestID);
        reportLater(socket->error(), socket->errorString());
        delete socket;
        return;
    }
    // Keys typed by the operator go out at once, not when the previous one is acknowledged.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_remoteHostIP = addressText(socket->peerAddress());
    m_remotePort = socket->peerPort();
    attach(socket);
}

void SocketControl::attach(QTcpSocket* socket)
{
    m_socket = socket;
    m_endReported = false;
    connect(socket, &QTcpSocket::readyRead, this, &SocketControl::offerData);
    connect(socket, &QTcpSocket::bytesWritten, this, &SocketControl::offerData);
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            peerEnded();
        } else if (m_socket && !m_endReported) {
            m_endReported = true; // the error is this connection's end; no Close event follows
            deliverRemaining();
            if (m_socket)
                emit errorEvent(m_index, error, m_socket->errorString());
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, &SocketControl::peerEnded);
}

void SocketControl::offerData()
{
    if (!m_socket || m_socket->bytesAvailable() == 0)
        return;
    // The peer is not reading what we send it: leave its bytes waiting (the kernel and then
    // TCP hold the client back) until the backlog drains; bytesWritten brings us back here.
    if (BytesQueued() > kSendBacklogLimit)
        return;
    emit dataArrival(m_index, m_socket->bytesAvailable());
}

void SocketControl::deliverRemaining()
{
    while (m_socket && m_socket->bytesAvailable() > 0) {
        const qint64 before = m_socket->bytesAvailable();
        emit dataArrival(m_index, before);
        if (m_socket && m_socket->bytesAvailable() >= before)
            break; // nobody takes the bytes; do not spin
    }
}

void SocketControl::peerEnded()
{
    if (!m_socket || m_endReported)
        return;
    m_endReported = true;
    // Every byte the peer sent is handed over before its leaving is reported.
    deliverRemaining();
    if (m_socket)
        emit closeEvent(m_index);
}

void SocketControl::reportLater(qint32 number, const QString& description)
{
    // An error found inside a call must not run the error handler inside its caller.
    QMetaObject::invokeMethod(
        this, [this, number, description] { emit errorEvent(m_index, number, description); }, Qt::QueuedConnection);
}

void SocketControl::SendData(const QByteArray& data)
{
    if (m_socket && !data.isEmpty())
        m_socket->write(data);
}

void SocketControl::SendData(char byte)
{
    if (!m_socket)
        return;
    m_socket->write(&byte, 1);
    m_socket->flush(); // a typed key goes out now, not after the event loop turns
}

void SocketControl::GetData(QByteArray& data)
{
    data = m_socket ? m_socket->readAll() : QByteArray();
}

void SocketControl::Close()
{
    if (m_server)
        m_server->close();
    if (m_socket)
        closeConnection();
}

void SocketControl::closeConnection()
{
    QTcpSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    // Whatever is queued still reaches the peer; the socket goes away once it has.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
}
