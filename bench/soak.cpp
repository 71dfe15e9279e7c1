// A long run of everything at once: four clients, each from its own address, mixing floods,
// echoed lines, resets and reconnects, against Portdeck live in this process. Descriptors and
// memory at the start and the end tell whether anything piles up.
#include "bench_support.h"
#include "figures.h"

#include <QCheckBox>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

struct SoakCounts {
    std::atomic<long> connections{0}, resets{0}, halfCloses{0}, plainCloses{0};
    std::atomic<qint64> sent{0}, received{0};
};

// Sends toSend bytes taken from block round and round while reading whatever comes back; with
// untilEnd, goes on reading until the server closes. Gives up at deadline.
bool pump(int s, const QByteArray& block, qint64 toSend, bool untilEnd, Clock::time_point deadline, SoakCounts& counts)
{
    static thread_local char buffer[64 * 1024];
    qint64 sent = 0;
    while (Clock::now() < deadline) {
        pollfd p{s, short(POLLIN | (sent < toSend ? POLLOUT : 0)), 0};
        if (!untilEnd && sent >= toSend)
            return true;
        ::poll(&p, 1, 100);
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
            if (n > 0)
                counts.received += n;
            else if (n == 0 || errno != EAGAIN)
                return n == 0;
        }
        if (sent < toSend && (p.revents & POLLOUT)) {
            const qint64 at = sent % block.size();
            const qint64 size = std::min(toSend - sent, block.size() - at);
            const ssize_t n = ::send(s, block.constData() + at, size_t(size), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                return false;
            if (n > 0) {
                sent += n;
                counts.sent += n;
            }
        }
    }
    return false;
}

void soakClient(quint16 port, const QByteArray& from, Clock::time_point end, unsigned seed, SoakCounts& counts)
{
    const QByteArray blocks[] = {randomBlock(), endlessLineBlock(), linesBlock(64, "\r")};
    std::mt19937 random(seed);
    while (Clock::now() < end) {
        const int s = connectTo(port, from.constData());
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
        ++counts.connections;
        const auto giveUp = Clock::now() + std::chrono::seconds(30);
        bool alive = true;
        for (int action = 0, actions = 1 + int(random() % 4); alive && action < actions; ++action) {
            // A flood of up to 8 MiB, or up to 500 echoed lines.
            const int kind = int(random() % 3);
            const qint64 size = kind == 2 ? 64 * (1 + qint64(random() % 500)) : 1 + qint64(random() % (8 * MiB));
            alive = pump(s, blocks[kind], size, false, giveUp, counts);
        }
        switch (random() % 3) {
        case 0: {
            const linger reset{1, 0};
            ::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ++counts.resets;
            break;
        }
        case 1:
            ::shutdown(s, SHUT_WR);
            pump(s, blocks[0], 0, true, giveUp, counts);
            ++counts.halfCloses;
            break;
        default:
            ++counts.plainCloses;
            break;
        }
        ::close(s);
    }
}

void printState(const char* when, double seconds, const SoakCounts& counts)
{
    note("  %-6s %6.0f s: descriptors %3d, RSS %6.1f MB, peak RSS %6.1f MB; %ld connections (%ld reset, %ld "
         "half-closed), %.0f MB sent, %.0f MB back\n",
         when, seconds, descriptorCount(), statusMegabytes("VmRSS"), statusMegabytes("VmHWM"),
         counts.connections.load(), counts.resets.load(), counts.halfCloses.load(), counts.sent / 1e6,
         counts.received / 1e6);
}

} // namespace

void soak(int seconds)
{
    heading("Soak: four clients mixing floods, echoed lines, resets (SO_LINGER 0) and reconnects; Portdeck and its "
            "clients in this process");
    note("  %d seconds; every slot echoes\n", seconds);
    Portdeck p;
    for (int i = 1; i <= 4; ++i)
        p.window.chkEcho[i]->setChecked(true);
    SoakCounts counts;
    const Clock::time_point start = Clock::now();
    printState("start", 0, counts);
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] { printState("", secondsSince(start), counts); });
    progress.start(60000);
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    p.runWhile([&] {
        std::vector<std::thread> clients;
        for (int i = 0; i < 4; ++i) {
            clients.emplace_back(soakClient, p.port, "127.0.0." + QByteArray::number(i + 2), end, unsigned(i + 1),
                                 std::ref(counts));
        }
        for (std::thread& client : clients)
            client.join();
    });
    progress.stop();
    // Connections still closing finish before the last look.
    p.runUntil([] { return false; }, 2000);
    printState("end", secondsSince(start), counts);
    // What the allocator merely keeps for reuse goes back to the system, so that what stays is held.
    ::malloc_trim(0);
    note("  after giving the allocator's free memory back: RSS %.1f MB\n", statusMegabytes("VmRSS"));
}

} // namespace bench
