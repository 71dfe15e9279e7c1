#include "connection_engine.h"

#include <cstring>

void ConnectionEngine::Winsock1_DataArrival(qint16 index, qint64 /*bytesTotal*/)
{
    if (index == 0)
        return;
    SocketControl& socket = *Winsock1[index];
    // Take every waiting byte: a socket whose buffer is left full is never heard from again.
    if (socket.BytesReceived() == 0)
        return;
    QByteArray received;
    socket.GetData(received);

    const bool echo = m_console.checkValue(Console::Box::Echo, index) != 0;
    QByteArray& echoLine = strEchoLine[index];
    // Room for the worst case, every byte a CR; cut to size at the end.
    QByteArray recvText(2 * received.size(), Qt::Uninitialized);
    char* out = recvText.data();

    // Walk the arrival from CR to CR: each CR shows as a line end and, with echo on, sends
    // the echo line it completes.
    const char* p = received.constData();
    const char* const end = p + received.size();
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', size_t(end - p)));
        const char* next = cr ? cr + 1 : end;
        std::memcpy(out, p, size_t(next - p));
        out += next - p;
        if (echo) {
            // A line that grows long gets room for its largest size at once: growing it step by
            // step would hold old and new copies side by side.
            if (echoLine.size() + (next - p) > echoLine.capacity() && echoLine.size() >= kEchoLineStep)
                echoLine.reserve(kEchoLineLimit + received.size());
            echoLine.append(p, next - p);
        }
        if (cr) {
            *out++ = '\n';
            if (echo) {
                socket.SendData(echoLine);
                echoLine.clear();
            }
        } else if (echo && echoLine.size() >= kEchoLineLimit) {
            socket.SendData(echoLine);
            echoLine.clear();
        }
        p = next;
    }
    recvText.truncate(out - recvText.constData());

    m_console.AppendTranscript(index, recvText);
    if (m_console.checkValue(Console::Box::Capture, index) != 0)
        m_console.writeCaptureRecord(index, recvText);
}
