#pragma once

#include "native_socket.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class ConnectionPool;
class Connection;
class Listener;

// One TCP socket object in the style the handlers are written against: a listener or one
// connection, driven by events, addressed by its element index. Element 0 of the window's
// array listens; elements 1 to 4 serve the connection slots.
//
// Its events reach the handlers from the event loop, one at a time, never from inside a call
// a handler made: a send that meets a dead connection notes it, and the event follows in its
// own turn. An event always belongs to the connection it happened on, never to one the
// socket holds later.
class SocketControl : public QObject
{
    Q_OBJECT

public:
    // The values State can read. The handlers only ever test Closed and Connected.
    enum StateValue : qint16 {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    // Its connections come from pool, and go back to it when closed.
    SocketControl(qint16 index, ConnectionPool& pool, QObject* parent = nullptr);
    // A connection still open is closed: what was queued for its client is still delivered.
    ~SocketControl() override;

    qint16 index() const { return m_index; }

    void setProtocol(qint32 protocol) { m_protocol = protocol; }
    qint32 Protocol() const { return m_protocol; }
    void setLocalPort(qint32 port) { m_localPort = port; }
    qint32 LocalPort() const;
    void setRemotePort(qint32 port) { m_remotePort = port; }
    qint32 RemotePort() const { return m_remotePort; }
    // The peer's address as text: dotted for IPv4 (also when it came in over IPv6), the usual
    // form for IPv6. On the listener during a connection request: the requesting client.
    QString RemoteHostIP() const { return m_remoteHostIP; }
    qint16 State() const;
    qint64 BytesReceived() const;
    // Bytes sent with SendData that still wait in the program for the peer to take them.
    qint64 BytesQueued() const;

    // Starts listening on LocalPort, on IPv4 and IPv6. False, with errorString() saying why,
    // when the port cannot be opened.
    bool Listen();
    // Takes the pending request with this id onto this socket, which becomes connected.
    // A failure is reported as this socket's Error event.
    void Accept(qint32 requestID);
    void SendData(const QByteArray& data);
    // One byte, out on the wire before this returns when the socket can take it.
    void SendData(char byte);
    // Moves every waiting byte into data, from index 0.
    void GetData(QByteArray& data);
    // State reads 0 at once; bytes already queued for the peer are still delivered.
    void Close();

    QString errorString() const { return m_errorString; }
    // On the listener: the window is about to open a window of its own; if descriptors are
    // short, the listener gives up its reserve for it.
    void makeRoom();

signals:
    // The element index comes first, as with every event of the array.
    void connectionRequest(qint16 index, qint32 requestID);
    void dataArrival(qint16 index, qint64 bytesTotal);
    // The peer closed the connection (or reset it), after all it sent has arrived.
    void closeEvent(qint16 index);
    void errorEvent(qint16 index, qint32 number, const QString& description);
    // The listener cannot take clients for now (description says why); it goes on listening
    // and takes them again as soon as it can.
    void acceptPaused(qint16 index, const QString& description);

private:
    void offer(native::Descriptor socket, const native::Peer& peer);
    void attach(Connection* connection);
    void letGoOfConnection();
    void reportLater(qint32 number, const QString& description);

    const qint16 m_index;
    ConnectionPool& m_pool;
    qint32 m_protocol = 0;
    qint32 m_localPort = 0;
    qint32 m_remotePort = 0;
    QString m_remoteHostIP;
    QString m_errorString;
    Listener* m_listener = nullptr;
    Connection* m_connection = nullptr;
    // Counts the connections this socket has held, so that a late report of an earlier one
    // cannot end a later one.
    quint64 m_generation = 0;
};
