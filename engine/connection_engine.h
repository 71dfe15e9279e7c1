#pragma once

#include "connection_pool.h"
#include "console.h"
#include "socket_control.h"

#include <QObject>
#include <array>
#include <optional>

// The listener, the four connection slots and the traffic on them. Its member functions are
// the handlers of the socket events and of the operator commands that concern connections;
// everything it shows or reads of the window goes through Console.
class ConnectionEngine : public QObject
{
    Q_OBJECT

public:
    static constexpr qint16 kSlots = 4;
    // A line without a CR waits in the echo line; past this size what has gathered is sent
    // and collecting goes on, so a line that never ends cannot use up memory.
    static constexpr qsizetype kEchoLineLimit = 16 << 20;
    // Past this size an echo line's room is taken for kEchoLineLimit at once.
    static constexpr qsizetype kEchoLineStep = 1 << 20;

    // The slots' connections come from pool and go back to it when closed; it outlives the engine.
    ConnectionEngine(Console& console, ConnectionPool& pool, QObject* parent = nullptr);

    SocketControl& winsock(qint16 index) { return *Winsock1[index]; }
    const QByteArray& echoLine(qint16 index) const { return strEchoLine[index]; }
    const QString& remoteIP(qint16 index) const { return strRemoteIP[index]; }

    // "Server" ticked or cleared.
    void chkServer_Click();
    void Winsock1_ConnectionRequest(qint16 index, qint32 requestID);
    void Winsock1_Close(qint16 index);
    void lblRemoteIP_DblClick(qint16 index);
    void Winsock1_Error(qint16 index, qint32 number, const QString& description);
    void cmdExit_Click();
    void Winsock1_DataArrival(qint16 index, qint64 bytesTotal);
    // A key that types a character in slot index's transcript box; keyAscii is its code.
    void txtDecription_KeyPress(qint16 index, qint32 keyAscii);
    void chkEcho_Click(qint16 index);

    // The port text as a port to listen on: a whole decimal number 1 to 65535, blanks around
    // it and leading zeros allowed. Nothing for anything else.
    static std::optional<quint16> portFromText(const QString& text);

private:
    void startServer();
    void stopServer();

    Console& m_console;
    // Element 0 listens; 1 to 4 are the slots.
    std::array<SocketControl*, kSlots + 1> Winsock1{};
    // The echo line being assembled, per slot; it outlives connections.
    std::array<QByteArray, kSlots + 1> strEchoLine;
    // The address of the client last accepted into each slot; never cleared.
    std::array<QString, kSlots + 1> strRemoteIP;
};
