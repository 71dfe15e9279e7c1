#include "arrival.h"
#include "connection_engine.h"

#include <cstring>

QByteArray arrival::read(const QByteArray& received, QByteArray* echoLine, qsizetype lineLimit, qsizetype lineStep,
                         const std::function<void(const QByteArray&)>& send)
{
    // Room for the worst case, every byte a CR; cut to size at the end.
    QByteArray text(2 * received.size(), Qt::Uninitialized);
    char* out = text.data();
    // Walk the arrival from CR to CR: each CR becomes a line end and, with echo on, sends the
    // echo line it completes.
    const char* p = received.constData();
    const char* const end = p + received.size();
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', size_t(end - p)));
        const char* next = cr ? cr + 1 : end;
        std::memcpy(out, p, size_t(next - p));
        out += next - p;
        if (echoLine) {
            if (echoLine->size() + (next - p) > echoLine->capacity() && echoLine->size() >= lineStep)
                echoLine->reserve(lineLimit + received.size());
            echoLine->append(p, next - p);
        }
        if (cr)
            *out++ = '\n';
        if (echoLine && (cr || echoLine->size() >= lineLimit)) {
            send(*echoLine);
            echoLine->clear();
        }
        p = next;
    }
    text.truncate(out - text.constData());
    return text;
}

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
    const QByteArray recvText =
        arrival::read(received, echo ? &strEchoLine[index] : nullptr, kEchoLineLimit, kEchoLineStep,
                      [&socket](const QByteArray& line) { socket.SendData(line); });
    m_console.AppendTranscript(index, recvText);
    if (m_console.checkValue(Console::Box::Capture, index) != 0)
        m_console.writeCaptureRecord(index, recvText);
}
