// The receive path, fuzzed: a client's bytes, cut into arrivals, go through it with echo on or off
// and into a capture file, with a short line limit standing in for 16 MiB. What must hold:
// - the text (shown and captured) is exactly the bytes, each CR followed by an LF;
// - with echo on, the echoes and what still gathers are exactly the bytes, in order, each echo
//   one line up to its CR, or as much as gathered once a line reached the limit;
// - the capture file, written on the writer's thread, holds exactly the text of every arrival, in
//   order.
// Input: a byte of settings (echo, limit), then arrivals, each a length byte and that many bytes.
#include "arrival.h"
#include "capture_files.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_arrival: this does not hold: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const bool echo = data[0] & 1;
    const qsizetype limit = 1 + (data[0] >> 1);
    static CaptureWriter writer;
    static CaptureFiles files(writer);
    const QString path = QStringLiteral("fuzz-arrival-capture.txt"); // in the folder the run is given
    QString why;
    require(files.open(1, path, &why), "the capture file opens");
    QByteArray all, text, echoed, line;
    for (size_t i = 1; i < size;) {
        const size_t length = std::min<size_t>(data[i], size - i - 1);
        const QByteArray received(reinterpret_cast<const char*>(data + i + 1), qsizetype(length));
        i += 1 + length;
        all += received;
        const QByteArray shown =
            arrival::read(received, echo ? &line : nullptr, limit, limit, [&](const QByteArray& piece) {
                const qsizetype cr = piece.indexOf('\r');
                require(cr == piece.size() - 1 || (cr < 0 && piece.size() >= limit),
                        "an echo is one line or the limit");
                echoed += piece;
            });
        text += shown;
        files.write(1, shown);
    }
    files.close(1);
    writer.finish();
    const QByteArray expected = QByteArray(all).replace("\r", "\r\n");
    require(text == expected, "the text is the bytes with each CR followed by an LF");
    require(echo ? echoed + line == all : echoed.isEmpty() && line.isEmpty(), "the echoes are the bytes");
    QFile file(path);
    require(file.open(QIODevice::ReadOnly) && file.readAll() == expected, "the capture file is the text");
    return 0;
}
