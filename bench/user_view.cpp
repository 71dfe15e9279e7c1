// What a user sees: the real portdeck binary in a process of its own on the X server, driven by
// XTEST clicks and keys, beside netcat, ncat and socat as processes of their own. Each figure is
// taken round by round, Portdeck and then its anchor, so that a slow spell of the machine falls on
// both alike; each row gives the median and the worst round of both and of their ratio.
//
// One portdeck process serves the whole group, as one window serves a user all day: every box
// ticked for a measurement is unticked after it, and the peak RSS at the end covers all of it.
#include "figures.h"
#include "real_binary.h"

#include <QDir>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

struct Sizes {
    long churnCycles;
    qint64 captureBytes; // the random bytes and the lines; the endless line a quarter of it
    int keys;
    int roundTrips;
};

constexpr Sizes kFull{3000, 256 * MiB, 300, 2000};
constexpr Sizes kQuick{300, 16 * MiB, 30, 200};

struct Rounds {
    std::vector<double> portdeck, anchor;
};

double churnRate(quint16 port, long cycles)
{
    const Clock::time_point start = Clock::now();
    const long done = churnClient(port, 120, nullptr, cycles);
    if (done < cycles)
        note("  !! %ld of %ld cycles\n", done, cycles);
    return done / secondsSince(start);
}

void churnRounds(const ListeningPortdeck& portdeck, int rounds, const Sizes& sizes)
{
    const quint16 port = freePort();
    // ncat -k serves every connection in one process, as Portdeck does, and neither writes back.
    Anchor ncat(QStringLiteral("ncat -l -k --recv-only 127.0.0.1 %1 > /dev/null < /dev/null").arg(port));
    churnClient(port, 10, nullptr, 1); // serving before anything is counted
    // What each server spends on a cycle: when the machine is busy, the cycles a server gets are
    // about the CPU it is given over what a cycle costs it, and a busy machine's noise hardly
    // moves the cost.
    struct Server {
        quint16 port;
        qint64 pid;
        std::vector<double> rates;
        CpuTime cpu;
    } ours{portdeck.port(), portdeck.pid(), {}, {}}, anchor{port, ncat.pid(), {}, {}};
    for (int round = 0; round < rounds; ++round) {
        for (Server* server : {&ours, &anchor}) {
            const CpuTime before = cpuTime(server->pid);
            server->rates.push_back(churnRate(server->port, sizes.churnCycles));
            server->cpu += cpuTime(server->pid) - before;
        }
    }
    roundsRow("cycles", ours.rates, anchor.rates, "ncat -l -k", "/s", ">= 1.0x ncat");
    note("  Portdeck's worst round is %.2fx its median | goal: >= 0.5x\n",
         median(ours.rates) > 0 ? worst(ours.rates) / median(ours.rates) : 0);
    const double perCycle = 1e6 / (double(rounds) * sizes.churnCycles);
    note("  CPU per cycle (us, user + system): Portdeck %.1f + %.1f | ncat %.1f + %.1f\n", ours.cpu.user * perCycle,
         ours.cpu.system * perCycle, anchor.cpu.user * perCycle, anchor.cpu.system * perCycle);
}

double ncCapture(const QByteArray& block, qint64 total, const QString& path)
{
    const RemovedFile file(path);
    const quint16 port = freePort();
    Anchor nc(QStringLiteral("nc -l 127.0.0.1 %1 > '%2' < /dev/null").arg(port).arg(path));
    const double rate = floodIntoFile(port, "127.0.0.1", block, total, path, total);
    nc.waitForExit();
    return rate;
}

void captureRounds(XDisplay& x, const ListeningPortdeck& portdeck, int rounds, const Sizes& sizes)
{
    const struct {
        const char* name;
        QByteArray block;
        qint64 total;
    } shapes[] = {{"random bytes", randomBlock(), sizes.captureBytes},
                  {"64-byte lines", linesBlock(64, "\r\n"), sizes.captureBytes},
                  {"endless line", endlessLineBlock(), sizes.captureBytes / 4}};
    // A fresh name each time, as a user would type; lowercase, since nothing is typed with Shift.
    int files = 0;
    auto freshPath = [&] {
        return QDir::temp().filePath(QStringLiteral("portdeck-bench-user-%1.bin").arg(++files));
    };
    for (const auto& shape : shapes) {
        const qint64 total = repeatedTotal(shape.block, shape.total);
        Rounds r;
        for (int round = 0; round < rounds; ++round) {
            r.portdeck.push_back(captureThroughDialog(x, portdeck, shape.block, total, freshPath()));
            r.anchor.push_back(ncCapture(shape.block, total, freshPath()));
        }
        const QByteArray what = shape.name + QByteArray(", ") + QByteArray::number(total / MiB) + " MiB";
        roundsRow(what.constData(), r.portdeck, r.anchor, "nc -l > file", "MB/s", ">= 0.9x nc");
    }
}

// Keys typed into slot 1 from here, on the X keyboard, while the portdeck process runs on its own.
KeyFigures typeKeys(int client, int keys)
{
    return bench::typeKeys(client, keys, [](const std::function<void()>& typing) { typing(); });
}

void keyRounds(XDisplay& x, const ListeningPortdeck& portdeck, int rounds, const Sizes& sizes)
{
    const QByteArray block = randomBlock();
    std::vector<double> idle50, idle99, flooded50, flooded99, p99Growth;
    for (int round = 0; round < rounds; ++round) {
        const int client = connectTo(portdeck.port(), "127.0.0.2");
        x.focus(portdeck.window());
        portdeck.click(x, kSlotOneTranscript);
        settle();
        const KeyFigures idle = typeKeys(client, sizes.keys);
        // Slot 2's client never stops sending until told, and nobody reads: echo is off there.
        const int flooder = connectTo(portdeck.port(), "127.0.0.3");
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            while (!stop && sendAll(flooder, block.constData(), size_t(block.size()))) {
            }
        });
        settle(300); // the flood under way
        const KeyFigures flooded = typeKeys(client, sizes.keys);
        stop = true;
        ::shutdown(flooder, SHUT_WR); // a send waiting for room ends at once
        sender.join();
        ::close(flooder);
        ::close(client);
        for (const KeyFigures* f : {&idle, &flooded}) {
            if (f->latencies.size() < size_t(sizes.keys))
                note("  !! %zu of %d keys arrived: slot 1's transcript may not have had the keyboard\n",
                     f->latencies.size(), sizes.keys);
        }
        idle50.push_back(idle.p50());
        idle99.push_back(idle.p99());
        flooded50.push_back(flooded.p50());
        flooded99.push_back(flooded.p99());
        p99Growth.push_back(flooded.p99() - idle.p99());
    }
    roundsRow("p50, slot 2 flooded", flooded50, idle50, "idle", "ms", "", false);
    roundsRow("p99, slot 2 flooded", flooded99, idle99, "idle", "ms", "", false);
    note("  p99 flooded minus idle: median %+.2f ms, worst round %+.2f ms | goal: <= +5 ms\n", median(p99Growth),
         worst(p99Growth, false));
}

void echoRounds(XDisplay& x, const ListeningPortdeck& portdeck, int rounds, const Sizes& sizes)
{
    portdeck.click(x, kSlotOneEcho);
    settle();
    Rounds r;
    for (int round = 0; round < rounds; ++round) {
        // From the address slot 1's last client had: a client from it takes slot 1 again.
        const Percentiles own = roundTrips(portdeck.port(), sizes.roundTrips, "127.0.0.2");
        const quint16 port = freePort();
        const Anchor socat(QStringLiteral("socat TCP-LISTEN:%1,reuseaddr EXEC:cat").arg(port));
        const Percentiles anchor = roundTrips(port, sizes.roundTrips);
        if (own.count < sizes.roundTrips || anchor.count < sizes.roundTrips)
            note("  !! %d and %d of %d echoes came back\n", own.count, anchor.count, sizes.roundTrips);
        r.portdeck.push_back(own.p50);
        r.anchor.push_back(anchor.p50);
    }
    portdeck.click(x, kSlotOneEcho);
    settle();
    roundsRow("p50", r.portdeck, r.anchor, "socat EXEC:cat", "us", "<= socat", false);
}

// Whether the portdeck process, which inherits this environment, talks to an accessibility bus:
// Qt's bridge forced on, and a session bus on which at-spi's launcher answers.
void printAccessibility()
{
    const bool forced = qgetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON") == "1";
    const bool session = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
    QByteArray bus = "no";
    if (session && haveCommand("dbus-send")) {
        QProcess ask;
        ask.start(QStringLiteral("dbus-send"),
                  {QStringLiteral("--session"), QStringLiteral("--print-reply"), QStringLiteral("--dest=org.a11y.Bus"),
                   QStringLiteral("/org/a11y/bus"), QStringLiteral("org.a11y.Bus.GetAddress")});
        bus = ask.waitForFinished(5000) && ask.exitCode() == 0 ? "yes" : "no answer";
    }
    note("  accessibility bus for the program: %s (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1: %s; session bus: %s; at-spi "
         "bus answers: %s)\n",
         forced && bus == "yes" ? "ON" : "off", forced ? "yes" : "no", session ? "yes" : "no", bus.constData());
}

} // namespace

void userView(int rounds, bool quick, const QStringList& only)
{
    auto wanted = [&](const char* name) {
        return only.isEmpty() || only.contains(QLatin1String(name));
    };
    heading("User's view: the real portdeck binary on the X server (xcb), driven through XTEST, beside the peers as "
            "processes of their own, round by round in turn");
    const Sizes& sizes = quick ? kQuick : kFull;
    printAccessibility();
    note("  %d round%s%s\n", rounds, rounds == 1 ? "" : "s",
         quick ? ", quick sizes (a smoke run: the figures mean little)" : "");
    XDisplay x;
    const auto portdeck = startListening(x);
    if (!portdeck)
        return;

    if (wanted("churn")) {
        heading("1. Churn: connect, half-close, wait for the server's close; slot 1, nothing ticked (cycles/s)");
        note("  %ld cycles a round\n", sizes.churnCycles);
        churnRounds(*portdeck, rounds, sizes);
    }

    if (wanted("capture")) {
        heading(
            "2. Capture into slot 1 through the real file dialog, from the client's first byte until the file holds "
            "every byte, each CR as CR LF (MB/s of the client's bytes): random bytes, 64-byte lines ending CR LF, "
            "one endless line with no CR");
        captureRounds(x, *portdeck, rounds, sizes);
    }

    if (wanted("keys")) {
        heading(
            "3. A key typed on the X keyboard into slot 1's transcript until its byte reaches slot 1's client; echo "
            "off, idle and while slot 2's client floods random bytes (ms)");
        note("  %d keys a round, 5 to 15 ms apart\n", sizes.keys);
        keyRounds(x, *portdeck, rounds, sizes);
    }

    if (wanted("echo")) {
        heading("4. Echo round trip: 10-byte lines ending in CR, each echo waited for (microseconds)");
        note("  %d lines a round\n", sizes.roundTrips);
        echoRounds(x, *portdeck, rounds, sizes);
    }

    heading("5. Memory");
    note("  peak RSS of the portdeck process: %.1f MB | goal: under 60 MB\n",
         statusMegabytes("VmHWM", portdeck->pid()));
}

} // namespace bench
