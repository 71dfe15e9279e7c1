// Portdeck side by side with netcat and socat on loopback, in one run.
//
// Portdeck runs in this process: the real window, offscreen, driven by its own event loop on
// the main thread. The clients are plain blocking sockets on threads of their own, the same
// code for Portdeck and for the anchors, which run as separate processes.
//
// Every figure is printed with its anchor and Portdeck's ratio to it. Nothing here passes or
// fails: the goals are read off the tables.
#include "frm_portdeck.h"
#include "transcript_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr qint64 MiB = 1 << 20;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

quint16 freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Connects to 127.0.0.1:port, retrying while the server is still starting. Clients that must
// not replace each other come from different loopback addresses (127.0.0.2, ...).
int connectTo(quint16 port, const char* from = "127.0.0.1")
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        ::bind(s, reinterpret_cast<sockaddr*>(&source), sizeof source);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return s;
        }
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the anchor is starting up
    }
    std::fprintf(stderr, "cannot connect to port %u\n", port);
    std::exit(1);
}

bool sendAll(int s, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(s, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Sends total bytes by repeating block.
bool sendRepeated(int s, const QByteArray& block, qint64 total)
{
    for (qint64 sent = 0; sent < total; sent += block.size()) {
        if (!sendAll(s, block.constData(), size_t(std::min<qint64>(block.size(), total - sent))))
            return false;
    }
    return true;
}

qint64 receiveCount(int s, qint64 total)
{
    std::vector<char> buffer(256 * 1024);
    qint64 got = 0;
    while (got < total) {
        const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

// The traffic shapes. Each is a 1 MiB block sent over and over.
QByteArray randomBlock()
{
    QByteArray block(MiB, Qt::Uninitialized);
    std::mt19937_64 generator(7);
    for (qsizetype i = 0; i < block.size(); i += 8) {
        const quint64 value = generator();
        std::memcpy(block.data() + i, &value, 8);
    }
    return block;
}

QByteArray linesBlock(int lineLength, const QByteArray& ending)
{
    QByteArray line;
    for (int i = 0; line.size() < lineLength - ending.size(); ++i)
        line += char('a' + i % 26);
    line += ending;
    QByteArray block;
    while (block.size() + line.size() <= MiB)
        block += line;
    return block;
}

QByteArray endlessLineBlock()
{
    QByteArray block(MiB, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char('a' + i % 26);
    return block;
}

qint64 repeatedTotal(const QByteArray& block, qint64 wanted)
{
    return (wanted / block.size()) * block.size();
}

// An external server, started for one measurement.
struct Anchor {
    explicit Anchor(const QString& command)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec ") + command});
        process.waitForStarted();
    }
    ~Anchor()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool waitForExit(int ms = 120000) { return process.waitForFinished(ms); }
    QProcess process;
};

bool haveCommand(const char* name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

// The capture dialog's answer in the benchmark: always the same file.
class FixedDialog : public CommonDialog
{
public:
    explicit FixedDialog(QString path) : m_path(std::move(path)) {}
    int ShowOpen() override
    {
        FileName = m_path;
        return 0;
    }

private:
    QString m_path;
};

// Portdeck, live in this process, listening on a port of its own.
struct Portdeck {
    explicit Portdeck(const QString& capturePath = QString())
        : window(std::make_unique<FixedDialog>(capturePath)), port(freePort())
    {
        window.show();
        window.txtLocalPort->setText(QString::number(port));
        window.chkServer->setChecked(true);
    }
    // Runs the event loop until done() holds, checked every millisecond.
    bool runUntil(const std::function<bool()>& done, int timeoutMs = 180000)
    {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(timeoutMs, &loop, [&] { loop.exit(1); });
        return loop.exec() == 0;
    }
    // Runs the event loop while work runs on a thread of its own.
    void runWhile(const std::function<void()>& work)
    {
        QEventLoop loop;
        std::thread worker([&] {
            work();
            QMetaObject::invokeMethod(
                &loop, [&] { loop.quit(); }, Qt::QueuedConnection);
        });
        loop.exec();
        worker.join();
    }
    bool slotClosed(int slot)
    {
        return window.txtDecription[slot]->text().endsWith(QStringLiteral("Remote Close\r\n"));
    }

    frmPortdeck window;
    quint16 port;
};

void heading(const char* title)
{
    std::printf("\n%s\n", title);
}

void row(const char* what, double portdeck, double anchor, const char* anchorName, const char* unit,
         bool higherIsBetter = true)
{
    const double ratio = anchor > 0 ? portdeck / anchor : 0;
    std::printf("  %-34s Portdeck %10.1f %-5s | %-22s %10.1f %-5s | ratio %5.2f%s\n", what, portdeck, unit, anchorName,
                anchor, unit, ratio, higherIsBetter ? "" : " (lower is better)");
    std::fflush(stdout);
}

double mbPerSecond(qint64 bytes, double seconds)
{
    return seconds > 0 ? bytes / 1e6 / seconds : 0;
}

// 1. Echo round trip: 10-byte lines ending in CR, each waited for.
struct Percentiles {
    double p50 = 0, p99 = 0;
};

Percentiles roundTrips(quint16 port, int count)
{
    const int s = connectTo(port);
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
        samples.push_back(microseconds(Clock::now() - start));
    }
    ::close(s);
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[size_t(double(samples.size()) * 0.99)]};
}

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
    row("p50", portdeck.p50, anchor.p50, "socat EXEC:cat", "us", false);
    row("p99", portdeck.p99, anchor.p99, "socat EXEC:cat", "us", false);
    if (haveCommand("ncat")) {
        const quint16 ncatPort = freePort();
        Anchor ncat(QStringLiteral("ncat -lk 127.0.0.1 %1 --exec /bin/cat").arg(ncatPort));
        const Percentiles n = roundTrips(ncatPort, kCount);
        row("p50", portdeck.p50, n.p50, "ncat --exec cat", "us", false);
        row("p99", portdeck.p99, n.p99, "ncat --exec cat", "us", false);
    }
}

// 2. Echo flood: a client sends everything and reads every echo at the same time.
double echoFlood(quint16 port, const QByteArray& block, qint64 total, qint64 expectedBack)
{
    const int s = connectTo(port);
    const auto start = Clock::now();
    std::thread sender([&] { sendRepeated(s, block, total); });
    const qint64 got = receiveCount(s, expectedBack);
    const double seconds = secondsSince(start);
    sender.join();
    ::close(s);
    if (got != expectedBack)
        std::printf("  !! got %lld of %lld echoed bytes\n", qlonglong(got), qlonglong(expectedBack));
    return mbPerSecond(total, seconds);
}

void echoFloods()
{
    heading("2. Echo flood: 64 MiB through the echo, the client reading every echo (MB/s)");
    struct Shape {
        const char* name;
        QByteArray block;
    };
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
        row(shape.name, portdeck, anchor, "socat EXEC:cat", "MB/s");
    }
}

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
    std::thread client([&] { connected = floodAndClose(p.port, block, total); });
    const bool finished = p.runUntil(done);
    const Clock::time_point end = Clock::now();
    client.join();
    if (!finished)
        std::printf("  !! Portdeck did not finish\n");
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

// Short runs are noisy: the middle of three.
double median3(const std::function<double()>& run)
{
    double figures[] = {run(), run(), run()};
    std::sort(std::begin(figures), std::end(figures));
    return figures[1];
}

// 3. Display under a flood, timed until the slot's exact text holds the last byte (the
// "Remote Close" that follows it), against nc receiving into /dev/null.
void displayFloods()
{
    heading("3. Display under a flood: 256 MiB, echo off, window live, until the transcript holds the last byte "
            "(MB/s, middle of three runs)");
    struct Shape {
        const char* name;
        QByteArray block;
    };
    const Shape shapes[] = {{"one endless line", endlessLineBlock()}, {"short lines", linesBlock(73, "\r\n")}};
    for (const Shape& shape : shapes) {
        const qint64 total = repeatedTotal(shape.block, 256 * MiB);
        const double portdeck = median3([&] {
            Portdeck p;
            return portdeckFlood(p, shape.block, total, [&] { return p.slotClosed(1); });
        });
        const double nc = median3([&] {
            return anchorFlood(QStringLiteral("nc -l 127.0.0.1 %1 > /dev/null < /dev/null"), shape.block, total);
        });
        row(shape.name, portdeck, nc, "nc -l > /dev/null", "MB/s");
    }
}

// 4. Responsiveness under four floods.
void responsiveness(const char* shape, const QByteArray& block)
{
    std::printf("  four clients flooding %s:\n", shape);
    Portdeck p;
    std::atomic<bool> stop{false};
    std::vector<int> sockets;
    std::vector<std::thread> senders;
    std::vector<Clock::time_point> ended(4);
    std::vector<std::thread> readers;
    constexpr int kKeys = 300;
    std::vector<Clock::time_point> keyArrivals(kKeys);
    std::atomic<size_t> keysArrived{0};
    for (int i = 0; i < 4; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(i + 2);
        sockets.push_back(connectTo(p.port, from.constData()));
        p.runUntil([&] { return p.window.engine().winsock(qint16(i + 1)).State() == SocketControl::sckConnected; });
    }
    for (int i = 0; i < 4; ++i) {
        const int s = sockets[size_t(i)];
        senders.emplace_back([&, s] {
            while (!stop && sendAll(s, block.constData(), size_t(block.size()))) {
            }
        });
        readers.emplace_back([&, s, i] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                for (ssize_t k = 0; i == 0 && k < n && keysArrived < keyArrivals.size(); ++k)
                    keyArrivals[keysArrived++] = Clock::now();
            }
            ended[size_t(i)] = Clock::now();
        });
    }

    // Keys typed into slot 1's box, posted as the keyboard would deliver them, every 10 ms.
    std::vector<Clock::time_point> keyPosts;
    QTimer typist;
    QObject::connect(&typist, &QTimer::timeout, [&] {
        if (int(keyPosts.size()) >= kKeys)
            return;
        keyPosts.push_back(Clock::now());
        QCoreApplication::postEvent(p.window.txtDecription[1],
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_K, Qt::NoModifier, QStringLiteral("k")));
    });
    typist.start(10);
    p.runUntil([&] { return keysArrived >= size_t(kKeys); }, 30000);
    typist.stop();
    std::vector<double> latencies;
    for (size_t k = 0; k < std::min(keyPosts.size(), size_t(keysArrived)); ++k)
        latencies.push_back(std::chrono::duration<double, std::milli>(keyArrivals[k] - keyPosts[k]).count());
    std::sort(latencies.begin(), latencies.end());

    // Unticking "Server" by a click posted like the operator's.
    QCheckBox* server = p.window.chkServer;
    const QPoint centre(8, server->height() / 2);
    const auto stopAt = Clock::now();
    QCoreApplication::postEvent(server, new QMouseEvent(QEvent::MouseButtonPress, centre, server->mapToGlobal(centre),
                                                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(server, new QMouseEvent(QEvent::MouseButtonRelease, centre, server->mapToGlobal(centre),
                                                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    p.runWhile([&] {
        for (std::thread& reader : readers)
            reader.join();
    });
    stop = true;
    for (std::thread& sender : senders)
        sender.join();
    for (int s : sockets)
        ::close(s);
    double slowestEnd = 0;
    for (const Clock::time_point& t : ended)
        slowestEnd = std::max(slowestEnd, std::chrono::duration<double, std::milli>(t - stopAt).count());

    if (latencies.empty()) {
        std::printf("  !! no key reached the client (%zu posted, %zu arrived)\n", keyPosts.size(), size_t(keysArrived));
        return;
    }
    std::printf("    keys typed into slot 1 reaching its client: %zu of %d; p50 %.2f ms, p99 %.2f ms, max %.2f ms "
                "(goal: p99 within 50 ms)\n",
                latencies.size(), kKeys, latencies[latencies.size() / 2],
                latencies[size_t(double(latencies.size()) * 0.99)], latencies.back());
    std::printf("    unticking Server ended all four connections within %.1f ms (goal: within 100 ms); server "
                "unticked: %s\n",
                slowestEnd, server->isChecked() ? "no" : "yes");
}

// 5. Capture throughput: until the file holds every byte, against nc and socat into files.
void captureThroughput(const QString& folder)
{
    heading("5. Capture: 256 MiB into a capturing slot, window live, until the file holds every byte (MB/s, middle "
            "of three runs)");
    struct Shape {
        const char* name;
        QByteArray block;
    };
    const Shape shapes[] = {{"random bytes", randomBlock()},
                            {"text lines ending CR LF", linesBlock(73, "\r\n")},
                            {"one long line, no CR", endlessLineBlock()}};
    const QString file = QDir(folder).filePath(QStringLiteral("capture.bin"));
    for (const Shape& shape : shapes) {
        const qint64 total = repeatedTotal(shape.block, 256 * MiB);
        const qint64 expected = total + (total / shape.block.size()) * shape.block.count('\r');
        // Every run starts without the file, so that no run pays for freeing the last one's.
        const double portdeck = median3([&] {
            QFile::remove(file);
            Portdeck p(file);
            p.window.chkCapture[1]->setChecked(true);
            return portdeckFlood(p, shape.block, total, [&] { return QFileInfo(file).size() >= expected; });
        });
        const double nc = median3([&] {
            QFile::remove(file);
            return anchorFlood(QStringLiteral("nc -l 127.0.0.1 %1 > '") + file + "' < /dev/null", shape.block, total);
        });
        const double socat = median3([&] {
            QFile::remove(file);
            return anchorFlood(QStringLiteral("socat -u TCP-LISTEN:%1,reuseaddr OPEN:'") + file + "',creat,trunc",
                               shape.block, total);
        });
        QFile::remove(file);
        row(shape.name, portdeck, nc, "nc -l > file", "MB/s");
        row(shape.name, portdeck, socat, "socat -u > file", "MB/s");
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList only = app.arguments().mid(1);
    auto wanted = [&](const char* name) {
        return only.isEmpty() || only.contains(QLatin1String(name));
    };
    for (const char* tool : {"nc", "socat"}) {
        if (!haveCommand(tool)) {
            std::fprintf(stderr, "%s is needed for the side-by-side figures\n", tool);
            return 1;
        }
    }
    const QString folder = QDir::current().absoluteFilePath(QStringLiteral("bench-files"));
    QDir().mkpath(folder);

    std::printf("Portdeck benchmarks on loopback; %d cores; Qt %s\n", QThread::idealThreadCount(), qVersion());
    if (wanted("roundtrip"))
        echoRoundTrip();
    if (wanted("echo"))
        echoFloods();
    if (wanted("display"))
        displayFloods();
    if (wanted("responsive")) {
        heading("4. Responsiveness while four clients flood (echo off)");
        responsiveness("random bytes", randomBlock());
        responsiveness("one endless line each", endlessLineBlock());
    }
    if (wanted("capture"))
        captureThroughput(folder);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("\nPeak RSS of this process (Portdeck and its in-process clients): %.1f MB (goal: under 100 MB)\n",
                usage.ru_maxrss / 1024.0);
    QDir(folder).removeRecursively();
    return 0;
}
