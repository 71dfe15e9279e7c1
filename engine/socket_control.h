#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// One TCP socket object in the style the handlers are written against: a listener or one
// connection, driven by events, addressed by its element index. Element 0 of the window's
// array listens; elements 1 to 4 serve the connection slots.
//
// It is the only place that knows QTcpServer and QTcpSocket. All of it runs on the thread
// that created it; nothing blocks.
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

    // Reading from a connection pauses while more than this many bytes wait unsent to its
    // peer (echoes to a client that does not read them): TCP then slows the client down.
    static constexpr qint64 kSendBacklogLimit = 1 << 20;
    // At most this many received bytes wait inside the socket; the rest waits in the kernel,
    // and a flooding client is slowed by TCP instead of filling our memory.
    static constexpr qint64 kReadBufferSize = 32767;

    explicit SocketControl(qint16 index, QObject* parent = nullptr);
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
    void SendData(char byte);
    // Moves every waiting byte into data, from index 0.
    void GetData(QByteArray& data);
    // State reads 0 at once; bytes already queued for the peer are still delivered.
    void Close();

    QString errorString() const { return m_errorString; }

signals:
    // The element index comes first, as with every event of the array.
    void connectionRequest(qint16 index, qint32 requestID);
    void dataArrival(qint16 index, qint64 bytesTotal);
    // The peer closed the connection (or reset it), after all it sent has arrived.
    void closeEvent(qint16 index);
    void errorEvent(qint16 index, qint32 number, const QString& description);

private:
    friend class ListenerServer;
    void requestConnection(qintptr descriptor);
    void attach(QTcpSocket* socket);
    // Lets go of the connection at once; queued bytes still reach the peer.
    void closeConnection();
    void offerData();
    void deliverRemaining();
    void peerEnded();
    void reportLater(qint32 number, const QString& description);

    const qint16 m_index;
    qint32 m_protocol = 0;
    qint32 m_localPort = 0;
    qint32 m_remotePort = 0;
    QString m_remoteHostIP;
    QString m_errorString;
    QTcpServer* m_server = nullptr;
    QTcpSocket* m_socket = nullptr;
    bool m_endReported = false; // the current connection's end has been reported once
};
