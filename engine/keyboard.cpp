#include "connection_engine.h"

void ConnectionEngine::txtDecription_KeyPress(qint16 index, qint32 keyAscii)
{
    SocketControl& socket = *Winsock1[index];
    if (socket.State() != SocketControl::sckConnected)
        return;
    // Only 8-bit characters can go on the wire; anything beyond is neither sent nor captured.
    if (keyAscii < 0 || keyAscii > 255)
        return;
    const char byte = char(keyAscii);
    socket.SendData(byte);
    if (m_console.checkValue(Console::Box::Capture, index) != 0)
        m_console.writeCaptureRecord(index, QByteArray(1, byte));
}

void ConnectionEngine::chkEcho_Click(qint16 index)
{
    // Switching echo either way starts a fresh line: an echo never mixes bytes from before
    // and after the change.
    strEchoLine[index].clear();
}
