#include "connection_engine.h"

namespace {
const QByteArray kCrLf("\r\n");
} // namespace

ConnectionEngine::ConnectionEngine(Console& console, ConnectionPool& pool, QObject* parent)
    : QObject(parent), m_console(console)
{
    for (qint16 i = 0; i <= kSlots; ++i) {
        auto* socket = new SocketControl(i, pool, this);
        Winsock1[i] = socket;
        connect(socket, &SocketControl::connectionRequest, this, &ConnectionEngine::Winsock1_ConnectionRequest);
        connect(socket, &SocketControl::dataArrival, this, &ConnectionEngine::Winsock1_DataArrival);
        connect(socket, &SocketControl::closeEvent, this, &ConnectionEngine::Winsock1_Close);
        connect(socket, &SocketControl::errorEvent, this, &ConnectionEngine::Winsock1_Error);
    }
    // Running out of descriptors is no failure of the listener: it goes on listening.
    connect(Winsock1[0], &SocketControl::acceptPaused, this, [this](qint16, const QString& why) {
        m_console.tellOperator(tr("Portdeck cannot take new clients for now: %1. It goes on listening and takes "
                                  "them as soon as it can.")
                                   .arg(why));
    });
}

std::optional<quint16> ConnectionEngine::portFromText(const QString& text)
{
    QStringView digits = QStringView(text).trimmed();
    if (digits.isEmpty())
        return std::nullopt;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    // Leading zeros, any number of them, change nothing.
    while (digits.size() > 1 && digits.front() == u'0')
        digits = digits.mid(1);
    if (digits.size() > 5)
        return std::nullopt;
    const uint port = digits.toUInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

void ConnectionEngine::chkServer_Click()
{
    if (m_console.checkValue(Console::Box::Server, 0) != 0)
        startServer();
    else
        stopServer();
}

void ConnectionEngine::startServer()
{
    SocketControl& listener = *Winsock1[0];
    listener.setProtocol(0);
    const QString text = m_console.localPortText();
    const std::optional<quint16> port = portFromText(text);
    if (!port) {
        // Port 0 would listen on a port the operator could never see, so it is refused too.
        m_console.tellOperator(
            tr("Portdeck cannot listen on port \"%1\": the port must be a whole number from 1 to 65535.").arg(text));
        return;
    }
    listener.setLocalPort(*port);
    listener.setRemotePort(0);
    if (!listener.Listen())
        m_console.tellOperator(tr("Portdeck cannot listen on port %1: %2.").arg(*port).arg(listener.errorString()));
}

void ConnectionEngine::stopServer()
{
    Winsock1[0]->Close();
    for (qint16 i = 1; i <= kSlots; ++i) {
        if (Winsock1[i]->State() == SocketControl::sckClosed)
            continue;
        Winsock1[i]->Close();
        m_console.showSlotIdle(i);
        m_console.AppendTranscript(i, "Server Close" + kCrLf);
        // Clearing a box runs its click handler at once: the echo line is emptied, the
        // capture file closed (again) and no file dialog is shown.
        if (m_console.checkValue(Console::Box::Echo, i) != 0)
            m_console.setCheckValue(Console::Box::Echo, i, 0);
        if (m_console.checkValue(Console::Box::Capture, i) != 0) {
            m_console.closeCaptureFile(i);
            m_console.setCheckValue(Console::Box::Capture, i, 0);
        }
    }
}

void ConnectionEngine::Winsock1_ConnectionRequest(qint16 /*index*/, qint32 requestID)
{
    SocketControl& listener = *Winsock1[0];
    const QString address = listener.RemoteHostIP();
    for (qint16 i = 1; i <= kSlots; ++i) {
        // An older connection from the same address gives way, but only when its slot comes
        // before every free one.
        if (Winsock1[i]->State() == SocketControl::sckConnected && strRemoteIP[i] == address)
            Winsock1_Close(i);
        if (Winsock1[i]->State() == SocketControl::sckConnected)
            continue;
        Winsock1[i]->Accept(requestID);
        m_console.showSlotOccupied(i, address);
        strRemoteIP[i] = address;
        const QByteArray line = "Connected! LocalPort = " + QByteArray::number(listener.LocalPort()) +
                                " RemptePort =  " + QByteArray::number(listener.RemotePort()) + kCrLf;
        m_console.AppendTranscript(i, line);
        return;
    }
    // Every slot is taken by another address: the request is not accepted and the listener
    // closes it.
}

void ConnectionEngine::Winsock1_Close(qint16 index)
{
    Winsock1[index]->Close();
    if (index == 0)
        return;
    m_console.showSlotIdle(index);
    m_console.AppendTranscript(index, "Remote Close" + kCrLf);
}

void ConnectionEngine::lblRemoteIP_DblClick(qint16 index)
{
    Winsock1_Close(index);
}

void ConnectionEngine::Winsock1_Error(qint16 index, qint32 /*number*/, const QString& description)
{
    Winsock1[index]->Close();
    if (index == 0)
        return;
    m_console.showSlotIdle(index);
    m_console.AppendTranscript(index, description.toLatin1());
}

void ConnectionEngine::cmdExit_Click()
{
    Winsock1[0]->Close();
    for (qint16 i = 1; i <= kSlots; ++i) {
        m_console.closeCaptureFile(i);
        if (Winsock1[i]->State() != SocketControl::sckClosed)
            Winsock1[i]->Close();
    }
    m_console.unload();
}
