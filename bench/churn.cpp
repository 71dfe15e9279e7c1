// Connection churn: one client address connecting, half-closing and waiting for the server's
// close, one connection after another. Portdeck's every cycle must stand in slot 1's exact
// text, and no descriptor may be left behind, on either side.
#include "bench_support.h"
#include "figures.h"
#include "real_binary.h"
#include "transcript_box.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

long churnClient(quint16 port, double seconds, std::vector<quint16>* ports, long maxCycles)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long cycles = 0;
    char buffer[256];
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (cycles < maxCycles && Clock::now() < deadline) {
        // Not bound first: connect may then reuse a local port still in TIME_WAIT, as any
        // client's would, instead of running out of ports.
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            ::close(s);
            if (errno != ECONNREFUSED || cycles > 0) {
                std::perror("churn: connect");
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the server is starting up
            continue;
        }
        if (ports) {
            sockaddr_in local{};
            socklen_t length = sizeof local;
            ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
            ports->push_back(ntohs(local.sin_port));
        }
        ::shutdown(s, SHUT_WR);
        while (::recv(s, buffer, sizeof buffer, 0) > 0) {
        }
        ::close(s);
        ++cycles;
    }
    return cycles;
}

namespace {

constexpr double kRunSeconds = 2.0;

// What Portdeck's slot 1 showed in its exact text at each connection and each close.
class TranscriptWatch : public QObject
{
public:
    explicit TranscriptWatch(Portdeck& p) : m_box(*p.window.txtDecription[1])
    {
        const QString head = QStringLiteral("Connected! LocalPort = %1 RemptePort =  ").arg(p.port);
        // Connected after the engine's own handlers, so these run right after them.
        connect(&p.window.engine().winsock(0), &SocketControl::connectionRequest, this, [this, head] {
            const QString& text = m_box.text();
            const qsizetype at = text.lastIndexOf(head);
            bool ok = false;
            const qsizetype digits = at + head.size();
            const quint16 port = at < 0 || !text.endsWith(QStringLiteral("\r\n"))
                                     ? 0
                                     : text.mid(digits, text.size() - 2 - digits).toUShort(&ok);
            if (ok)
                ports.push_back(port);
            else
                ++faults;
        });
        connect(&p.window.engine().winsock(1), &SocketControl::closeEvent, this, [this] {
            if (m_box.text().endsWith(QStringLiteral("Remote Close\r\n")))
                ++closes;
            else
                ++faults;
        });
    }

    std::vector<quint16> ports; // the client port of each connected line, in order
    long closes = 0;
    long faults = 0;

private:
    const TranscriptBox& m_box;
};

// A descriptor count once the server has settled: closing connections may still be finishing.
int settledDescriptors(int before, qint64 pid, const std::function<void(const std::function<bool()>&)>& wait)
{
    wait([&] { return descriptorCount(pid) <= before; });
    return descriptorCount(pid);
}

void waitOutside(const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (!done() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

struct AnchorChurn {
    AnchorChurn(const char* name, const QString& command) : name(name), port(freePort()), anchor(command.arg(port))
    {
        churnClient(port, 0.05); // started and serving before anything is counted
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        before = descriptorCount(anchor.pid());
    }
    double round()
    {
        const long n = churnClient(port, kRunSeconds);
        cycles += n;
        return n / kRunSeconds;
    }
    int after() { return settledDescriptors(before, anchor.pid(), waitOutside); }

    const char* name;
    quint16 port;
    Anchor anchor;
    int before = 0;
    long cycles = 0;
};

} // namespace

void churn()
{
    heading("6. Churn: connect, half-close, wait for the server's close; one client address, one connection after "
            "another (cycles/s, middle of three 2-second runs taken in turn)");
    // The real binary in a process of its own, as ncat and socat are, gives the figure; the window
    // in this process, whose transcript can be read, shows that every cycle stands in it.
    XDisplay x;
    std::optional<ListeningPortdeck> own;
    if (x.ok())
        own.emplace(x);
    const int ownBefore = own && own->port() ? descriptorCount(own->pid()) : 0;
    Portdeck p;
    TranscriptWatch watch(p);
    p.runUntil([&] { return p.window.isVisible(); });
    // socat forks a process per connection; ncat -k serves every connection in one process,
    // as Portdeck does. Neither writes anything back, so all three do the same work per cycle.
    AnchorChurn ncat("ncat -l -k", QStringLiteral("ncat -l -k --recv-only 127.0.0.1 %1 > /dev/null < /dev/null"));
    AnchorChurn socat("socat fork", QStringLiteral("socat -u TCP-LISTEN:%1,fork,reuseaddr OPEN:/dev/null"));
    // Counted once the anchors' pipes have settled: the event loop closes those they gave up.
    p.runUntil([] { return false; }, 300);
    const int before = descriptorCount();

    std::vector<quint16> clientPorts;
    std::vector<double> portdeckRates, ownRates, ncatRates, socatRates;
    long ownCycles = 0;
    for (int round = 0; round < 3; ++round) {
        long n = 0;
        p.runWhile([&] { n = churnClient(p.port, kRunSeconds, &clientPorts); });
        portdeckRates.push_back(n / kRunSeconds);
        if (own && own->port()) {
            const long cycles = churnClient(own->port(), kRunSeconds);
            ownCycles += cycles;
            ownRates.push_back(cycles / kRunSeconds);
        }
        ncatRates.push_back(ncat.round());
        socatRates.push_back(socat.round());
    }
    const int after = settledDescriptors(before, 0, [&](const std::function<bool()>& done) { p.runUntil(done, 3000); });

    if (!ownRates.empty()) {
        row("own process", median(ownRates), median(ncatRates), "ncat -l -k", "/s", ">= 0.8x ncat (stretch: 1x)");
        row("own process", median(ownRates), median(socatRates), "socat fork", "/s");
        note("  own process: %ld cycles; descriptors %d before, %d after (goal: none leaked)\n", ownCycles, ownBefore,
             settledDescriptors(ownBefore, own->pid(), waitOutside));
    } else {
        note("  !! the real binary did not start on the display: only the window in this process was measured\n");
    }
    // Here the client's and the server's sockets share one process and its descriptor table.
    row("in this process", median(portdeckRates), median(ncatRates), "ncat -l -k", "/s");
    const auto cycles = long(clientPorts.size());
    note("  Portdeck: %ld cycles; descriptors %d before, %d after (goal: none leaked)\n", cycles, before, after);
    note("  slot 1's exact text: %zu connected lines with the client's port, %ld \"Remote Close\", %ld missing or "
         "wrong, ports %s the clients' (goal: every cycle's both)\n",
         watch.ports.size(), watch.closes, watch.faults, watch.ports == clientPorts ? "match" : "DO NOT match");
    note("  %s: %ld cycles, descriptors %d before, %d after; %s (listening process): %ld cycles, %d before, %d after\n",
         ncat.name, ncat.cycles, ncat.before, ncat.after(), socat.name, socat.cycles, socat.before, socat.after());
}

} // namespace bench
