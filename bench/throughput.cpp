// Echo, display and capture throughput: Portdeck live in this process against socat, ncat and
// nc run as processes, with the same client code on both sides.
#include "bench_support.h"
#include "figures.h"

#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

struct Shape {
    const char* name;
    QByteArray block;
};

} // namespace

Percentiles roundTrips(quint16 port, int count, const char* from)
{
    const int s = connectTo(port, from);
    const timeval giveUp{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &giveUp, sizeof giveUp);
    const QByteArray line("012345678\r");
    std::vector<double> samples;
    samples.reserve(size_t(count));
    char buffer[64];
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        sendAll(s, line.constData(), size_t(line.size()));
        qsizetype got = 0;
        while (got < line.size()) {
            const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got += n;
        }
        if (got < line.size())
            break;
        samples.push_back(microseconds(Clock::now() - start));
    }
    ::close(s);
    std::sort(samples.begin(), samples.end());
    return {percentile(samples, 0.5), percentile(samples, 0.99), int(samples.size())};
}

namespace {

// A client that connects, sends everything and closes; returns when the connection stood.
Clock::time_point floodAndClose(quint16 port, const QByteArray& block, qint64 total)
{
    const int s = connectTo(port);
    const Clock::time_point connected = Clock::now();
    sendRepeated(s, block, total);
    ::close(s);
    return connected;
}

// Portdeck takes a flood until done() holds: MB/s from the connection to then.
double portdeckFlood(Portdeck& p, const QByteArray& block, qint64 total, const std::function<bool()>& done)
{
    Clock::time_point connected;
    Clock::time_point end;
    QEventLoop loop;
    // Slot 1's close comes after its last byte has gone through the receive path: the flood ends
    // there, timed without polling (a poll would cost Portdeck's thread alone).
    QObject::connect(&p.window.engine().winsock(1), &SocketControl::closeEvent, &loop, [&] {
        end = Clock::now();
        loop.quit();
    });
    QTimer::singleShot(180000, &loop, [&] { loop.exit(1); });
    std::thread client([&] { connected = floodAndClose(p.port, block, total); });
    const bool closed = loop.exec() == 0;
    client.join();
    if (!closed || !done())
        note("  !! Portdeck did not finish\n");
    return mbPerSecond(total, std::chrono::duration<double>(end - connected).count());
}

// An anchor takes a flood and ends with it: MB/s from the connection to its exit. %1 in the
// command is the port.
double anchorFlood(const QString& command, const QByteArray& block, qint64 total)
{
    const quint16 port = freePort();
    Anchor anchor(command.arg(port));
    const Clock::time_point connected = floodAndClose(port, block, total);
    anchor.waitForExit();
    return mbPerSecond(total, secondsSince(connected));
}

} // namespace

void echoRoundTrip()
{
    heading("1. Echo round trip: 20,000 lines of 10 bytes ending in CR, each echo waited for (microseconds)");
    constexpr int kCount = 20000;
    Percentiles portdeck;
    {
        Portdeck p;
        p.window.chkEcho[1]->setChecked(true);
        p.runWhile([&] { portdeck = roundTrips(p.port, kCount); });
    }
    const quint16 port = freePort();
    Anchor socat(QStringLiteral("socat TCP-LISTEN:%1,fork,reuseaddr EXEC:cat").arg(port));
    const Percentiles anchor = roundTrips(port, kCount);
    row("p50", portdeck.p50, anchor.p50, "socat EXEC:cat", "us", "<= socat", false);
    row("p99", portdeck.p99, anchor.p99, "socat EXEC:cat", "us", "<= socat", false);
    if (haveCommand("ncat")) {
        const quint16 ncatPort = freePort();
        Anchor ncat(QStringLiteral("ncat -lk 127.0.0.1 %1 --exec /bin/cat").arg(ncatPort));
        const Percentiles n = roundTrips(ncatPort, kCount);
        row("p50", portdeck.p50, n.p50, "ncat --exec cat", "us", "", false);
        row("p99", portdeck.p99, n.p99, "ncat --exec cat", "us", "", false);
    }
}

void echoFloods()
{
    heading("2. Echo flood: 64 MiB through the echo, the client reading every echo (MB/s)");
    const Shape shapes[] = {{"64-byte lines", linesBlock(64, "\r")}, {"random bytes", randomBlock()}};
    for (const Shape& shape : shapes) {
        const qint64 total = repeatedTotal(shape.block, 64 * MiB);
        // With echo at CR, what follows the last CR stays in the echo line.
        const qint64 lastCr = shape.block.lastIndexOf('\r');
        const qint64 expected = total - (shape.block.size() - lastCr - 1);
        double portdeck = 0;
        {
            Portdeck p;
            p.window.chkEcho[1]->setChecked(true);
            p.runWhile([&] { portdeck = echoFlood(p.port, shape.block, total, expected); });
        }
        const quint16 port = freePort();
        Anchor socat(QStringLiteral("socat TCP-LISTEN:%1,reuseaddr EXEC:cat").arg(port));
        const double anchor = echoFlood(port, shape.block, total, total);
        row(shape.name, portdeck, anchor, "socat EXEC:cat", "MB/s", ">= socat");
    }
}

void displayFloods()
{
    heading("3. Display under a flood: 256 MiB, echo off, window live, until the transcript holds the last byte "
            "(MB/s, middle of five runs taken in turn)");
    const Shape shapes[] = {{"one endless line", endlessLineBlock()}, {"short lines", linesBlock(73, "\r\n")}};
    for (const Shape& shape : shapes) {
        const qint64 total = repeatedTotal(shape.block, 256 * MiB);
        const std::vector<double> figures = mediansInTurn(
            {[&] {
                 Portdeck p;
                 return portdeckFlood(p, shape.block, total, [&] { return p.slotClosed(1); });
             },
             [&] {
                 return anchorFlood(QStringLiteral("nc -l 127.0.0.1 %1 > /dev/null < /dev/null"), shape.block, total);
             }});
        row(shape.name, figures[0], figures[1], "nc -l > /dev/null", "MB/s");
    }
}

void captureThroughput()
{
    heading("5. Capture: 256 MiB into a capturing slot, window live, until the file holds every byte (MB/s, middle "
            "of five runs taken in turn)");
    const Shape shapes[] = {{"random bytes", randomBlock()},
                            {"64-byte lines ending CR LF", linesBlock(64, "\r\n")},
                            {"one endless line, no CR", endlessLineBlock()},
                            {"all 256 byte values", allByteValuesBlock()}};
    const QString folder = QDir::current().absoluteFilePath(QStringLiteral("bench-files"));
    QDir().mkpath(folder);
    const QString file = QDir(folder).filePath(QStringLiteral("capture.bin"));
    for (const Shape& shape : shapes) {
        const qint64 total = repeatedTotal(shape.block, 256 * MiB);
        // Each CR is captured as CR LF.
        const qint64 expected = total + (total / shape.block.size()) * shape.block.count('\r');
        // Every run starts without the file, so that no run pays for freeing the last one's.
        const std::vector<double> figures = mediansInTurn({
            [&] {
                QFile::remove(file);
                Portdeck p(file);
                p.window.chkCapture[1]->setChecked(true);
                return portdeckFlood(p, shape.block, total, [&] { return QFileInfo(file).size() >= expected; });
            },
            [&] {
                QFile::remove(file);
                return anchorFlood(QStringLiteral("nc -l 127.0.0.1 %1 > '") + file + "' < /dev/null", shape.block,
                                   total);
            },
            [&] {
                QFile::remove(file);
                return anchorFlood(QStringLiteral("socat -u TCP-LISTEN:%1,reuseaddr OPEN:'") + file + "',creat,trunc",
                                   shape.block, total);
            },
        });
        QFile::remove(file);
        row(shape.name, figures[0], figures[1], "nc -l > file", "MB/s", ">= 0.8x nc");
        row(shape.name, figures[0], figures[2], "socat -u > file", "MB/s");
    }
    QDir(folder).removeRecursively();
}

} // namespace bench
