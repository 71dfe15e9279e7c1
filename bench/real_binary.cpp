// The real portdeck binary, run as its own process on the X server: how long it takes from
// exec to its first pixels, beside a minimal Qt Widgets program, and how much memory it holds
// through churn, echo and floods, driven like an operator would through XTEST.
#include "real_binary.h"

#include "figures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kStartRuns = 7;

QString minimalBinary()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/minimal_window");
}

double startUpOnce(XDisplay& x, const QString& path, QSize* size)
{
    Program program(path);
    double ms = 0;
    const auto paint = program.startAndPaint(x, &ms);
    if (paint)
        *size = paint->geometry.size();
    return paint ? ms : 0;
}

// Types a decimal number with the keys of the main keyboard.
void typeNumber(XDisplay& x, quint32 number)
{
    for (const char digit : QByteArray::number(number))
        x.typeKey(x.keycodeFor(quint32(digit))); // the keysyms of digits are their ASCII codes
}

// One endless line through the echo: the echo line gathers up to its limit before it goes out,
// the most an echoing slot holds.
void echoEndlessLine(quint16 port)
{
    const QByteArray block = endlessLineBlock();
    const int s = connectTo(port);
    // What stays in the echo line never comes back: reading ends after a second of silence.
    const timeval silence{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &silence, sizeof silence);
    std::thread sender([&] { sendRepeated(s, block, 64 * MiB); });
    receiveCount(s, 64 * MiB);
    sender.join();
    ::close(s);
}

} // namespace

QString portdeckBinary()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../app/portdeck");
}

void settle(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double captureThroughDialog(XDisplay& x, const ListeningPortdeck& portdeck, const QByteArray& block, qint64 total,
                            const QString& path)
{
    const RemovedFile file(path);
    std::vector<quint8> keys;
    for (const char c : path.toLatin1())
        keys.push_back(x.keycodeFor(quint32(uchar(c))));
    if (std::count(keys.begin(), keys.end(), 0) > 0) {
        note("  !! %s cannot be typed without Shift\n", qPrintable(path));
        return 0;
    }
    x.drainEvents(); // the dialog is the next window mapped
    portdeck.click(x, kSlotOneCapture);
    const auto dialog = x.waitForFirstPaint(Clock::now() + std::chrono::seconds(10));
    if (!dialog) {
        note("  !! the capture file dialog did not open\n");
        return 0;
    }
    x.focus(dialog->window);
    settle();
    for (const quint8 key : keys)
        x.typeKey(key);
    x.typeKey(x.keycodeFor(0xff0d)); // Return
    settle();
    const qint64 expected = total + (total / block.size()) * block.count('\r');
    const double rate = floodIntoFile(portdeck.port(), "127.0.0.2", block, total, path, expected);
    portdeck.click(x, kSlotOneCapture); // unticked: the file is closed
    settle();
    const qint64 size = QFileInfo(path).size();
    if (size != expected)
        note("  !! the capture file holds %lld bytes, not %lld\n", qlonglong(size), qlonglong(expected));
    return size == expected ? rate : 0;
}

std::optional<XDisplay::Paint> Program::startAndPaint(XDisplay& x, double* ms)
{
    x.drainEvents();
    const Clock::time_point start = Clock::now();
    process.start();
    const auto paint = x.waitForFirstPaint(start + std::chrono::seconds(20));
    if (paint && ms)
        *ms = milliseconds(paint->painted - start);
    return paint;
}

ListeningPortdeck::ListeningPortdeck(XDisplay& x) : m_program(portdeckBinary())
{
    x.watchScreen();
    const auto window = m_program.startAndPaint(x);
    if (!window)
        return;
    m_origin = window->geometry.topLeft();
    m_window = window->window;
    // The fixed layout: the port box and Server, each clicked near its left end.
    x.focus(window->window);
    x.click(m_origin.x() + 100, m_origin.y() + 34);
    x.typeKey(x.keycodeFor(0xff57)); // End
    for (int i = 0; i < 6; ++i)
        x.typeKey(x.keycodeFor(0xff08)); // BackSpace
    const quint16 port = freePort();
    typeNumber(x, port);
    x.click(m_origin.x() + 20, m_origin.y() + 35);
    settle(); // listening, with its reserve descriptor
    m_port = port;
}

std::unique_ptr<ListeningPortdeck> startListening(XDisplay& x)
{
    if (!x.ok() || !QFileInfo(portdeckBinary()).isExecutable()) {
        note("  !! needs an X display with XTEST and DAMAGE and build/app/portdeck: skipped\n");
        return nullptr;
    }
    auto portdeck = std::make_unique<ListeningPortdeck>(x);
    if (!portdeck->port()) {
        note("  !! the window did not appear\n");
        return nullptr;
    }
    return portdeck;
}

void startUp()
{
    heading("7. Start-up: from exec to the window's first pixels on the screen, seen through X DAMAGE (ms, middle "
            "of 7 runs each, taken in turn)");
    XDisplay x;
    if (!x.ok() || !QFileInfo(portdeckBinary()).isExecutable() || !QFileInfo(minimalBinary()).isExecutable()) {
        note("  !! needs an X display with XTEST and DAMAGE, build/app/portdeck and bench/minimal_window: skipped\n");
        return;
    }
    x.watchScreen();
    std::vector<double> portdeck, minimal;
    QSize portdeckSize, minimalSize;
    for (int run = 0; run < kStartRuns; ++run) {
        portdeck.push_back(startUpOnce(x, portdeckBinary(), &portdeckSize));
        minimal.push_back(startUpOnce(x, minimalBinary(), &minimalSize));
    }
    row("exec to first paint", median(portdeck), median(minimal), "minimal Qt window", "ms", "<= 1.25x minimal", false);
    note("  windows: Portdeck %dx%d, minimal %dx%d; fastest %.1f / %.1f ms, slowest %.1f / %.1f ms\n",
         portdeckSize.width(), portdeckSize.height(), minimalSize.width(), minimalSize.height(),
         *std::min_element(portdeck.begin(), portdeck.end()), *std::min_element(minimal.begin(), minimal.end()),
         *std::max_element(portdeck.begin(), portdeck.end()), *std::max_element(minimal.begin(), minimal.end()));
}

void realBinaryMemory()
{
    heading("8. Memory of the real portdeck binary on the X server, driven by clicks and keys (XTEST) through churn, "
            "an echo flood, a capture and four floods");
    XDisplay x;
    const auto portdeck = startListening(x);
    if (!portdeck)
        return;
    const qint64 pid = portdeck->pid();
    const quint16 port = portdeck->port();
    const int fdStart = descriptorCount(pid);
    const int socketStart = socketCount(pid);
    const double rssStart = statusMegabytes("VmRSS", pid);

    const long cycles = churnClient(port, 2.0);
    portdeck->click(x, kSlotOneEcho);
    settle();
    const QByteArray lines = linesBlock(64, "\r");
    const qint64 echoTotal = repeatedTotal(lines, 32 * MiB);
    const double echo = echoFlood(port, lines, echoTotal, echoTotal - (lines.size() - lines.lastIndexOf('\r') - 1));
    portdeck->click(x, kSlotOneEcho); // echo off again: the flooding clients read nothing
    settle();
    const double capture = captureThroughDialog(x, *portdeck, randomBlock(), 64 * MiB,
                                                QDir::temp().filePath(QStringLiteral("portdeck-bench-capture.bin")));
    for (const QByteArray& block : {randomBlock(), endlessLineBlock()}) {
        std::vector<std::thread> clients;
        for (int i = 0; i < 4; ++i) {
            clients.emplace_back([&, i] {
                const QByteArray from = "127.0.0." + QByteArray::number(i + 2);
                const int s = connectTo(port, from.constData());
                sendRepeated(s, block, 64 * MiB);
                ::close(s);
            });
        }
        for (std::thread& client : clients)
            client.join();
    }
    // What is still in the kernel's buffers reaches the window, and the connections end.
    auto connectionsEnded = [&] {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (socketCount(pid) > socketStart && Clock::now() < deadline)
            settle(50);
    };
    connectionsEnded();
    const double peakBeforeEndlessEcho = statusMegabytes("VmHWM", pid);
    portdeck->click(x, kSlotOneEcho); // echo on for the last step
    settle();
    echoEndlessLine(port);
    connectionsEnded();
    note("  churn %.0f cycles/s; echo flood of 64-byte lines %.0f MB/s; capture %.0f MB/s (64 MiB of random bytes "
         "into a file chosen in the real file dialog); four clients flooding 64 MiB of random bytes each, then of one "
         "endless line each; last, 64 MiB of one endless line through slot 1's echo\n",
         cycles / 2.0, echo, capture);
    // The file dialog keeps Qt's MIME and icon caches and its helper threads open for good.
    note("  descriptors %d at the start, %d at the end (sockets %d, %d); RSS %.1f MB at the start, %.1f MB at the "
         "end\n",
         fdStart, descriptorCount(pid), socketStart, socketCount(pid), rssStart, statusMegabytes("VmRSS", pid));
    note("  peak RSS of the portdeck process: %.1f MB, %.1f MB before the endless line's echo | goal: under 60 MB\n",
         statusMegabytes("VmHWM", pid), peakBeforeEndlessEcho);
}

} // namespace bench
