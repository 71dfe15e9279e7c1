#include "bench_support.h"

#include "transcript_box.h"

#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double mbPerSecond(qint64 bytes, double seconds)
{
    return seconds > 0 ? bytes / 1e6 / seconds : 0;
}

quint16 freePort()
{
    // Below the ephemeral range (32768 and up here), so that no client's connection, ours or
    // another program's, can take the port as its own end between this check and the listen.
    static std::mt19937 random(std::random_device{}());
    for (;;) {
        const auto port = quint16(20000 + random() % 12000);
        const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
        const int no = 0;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(port);
        const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (free)
            return port;
    }
}

int connectTo(quint16 port, const char* from)
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the server is starting up
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

// A client sends everything and reads every echo at the same time.
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
        note("  !! got %lld of %lld echoed bytes\n", qlonglong(got), qlonglong(expectedBack));
    return mbPerSecond(total, seconds);
}

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

QByteArray allByteValuesBlock()
{
    QByteArray block(MiB, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char(i % 256);
    return block;
}

qint64 repeatedTotal(const QByteArray& block, qint64 wanted)
{
    return (wanted / block.size()) * block.size();
}

namespace {
QString procPath(qint64 pid, const char* leaf)
{
    return pid == 0 ? QStringLiteral("/proc/self/") + QLatin1String(leaf)
                    : QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(leaf));
}
} // namespace

int descriptorCount(qint64 pid)
{
    // Listing the folder opens one descriptor of its own, which the count leaves out.
    const int listed = int(QDir(procPath(pid, "fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
    return pid == 0 ? listed - 1 : listed;
}

int socketCount(qint64 pid)
{
    const QDir folder(procPath(pid, "fd"));
    int sockets = 0;
    for (const QString& name : folder.entryList(QDir::NoDotAndDotDot | QDir::System)) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(folder.filePath(name));
        if (::readlink(link.constData(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0)
            ++sockets;
    }
    return sockets;
}

double statusMegabytes(const char* field, qint64 pid)
{
    QFile status(procPath(pid, "status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

CpuTime cpuTime(qint64 pid)
{
    QFile stat(procPath(pid, "stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    // The command's name may hold blanks; the fields after it, from the state on, do not.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double tick = double(sysconf(_SC_CLK_TCK));
    return {fields.value(11).toDouble() / tick, fields.value(12).toDouble() / tick};
}

bool haveCommand(const char* name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

double floodIntoFile(quint16 port, const char* from, const QByteArray& block, qint64 total, const QString& path,
                     qint64 expected)
{
    const int s = connectTo(port, from);
    const Clock::time_point start = Clock::now();
    sendRepeated(s, block, total);
    ::close(s);
    const auto deadline = Clock::now() + std::chrono::minutes(2);
    while (QFileInfo(path).size() < expected) {
        if (Clock::now() >= deadline)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return mbPerSecond(total, secondsSince(start));
}

RemovedFile::RemovedFile(QString path) : path(std::move(path))
{
    QFile::remove(this->path);
}

RemovedFile::~RemovedFile()
{
    QFile::remove(path);
}

Anchor::Anchor(const QString& command)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec ") + command});
    process.waitForStarted();
}

Anchor::~Anchor()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

Portdeck::Portdeck(const QString& capturePath)
    : window(pool, writer, std::make_unique<FixedDialog>(capturePath)), port(freePort())
{
    window.show();
    window.txtLocalPort->setText(QString::number(port));
    window.chkServer->setChecked(true);
}

bool Portdeck::runUntil(const std::function<bool()>& done, int timeoutMs)
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

void Portdeck::runWhile(const std::function<void()>& work)
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

bool Portdeck::slotClosed(int slot) const
{
    return window.txtDecription[slot]->text().endsWith(QStringLiteral("Remote Close\r\n"));
}

bool Portdeck::slotConnected(int slot)
{
    return window.engine().winsock(qint16(slot)).State() == SocketControl::sckConnected;
}

std::vector<double> mediansInTurn(const std::vector<std::function<double()>>& runs)
{
    std::vector<std::vector<double>> figures(runs.size());
    for (int round = 0; round < 5; ++round) {
        for (size_t i = 0; i < runs.size(); ++i)
            figures[i].push_back(runs[i]());
    }
    std::vector<double> medians;
    for (std::vector<double>& f : figures)
        medians.push_back(median(std::move(f)));
    return medians;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(const std::vector<double>& sorted, double share)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, size_t(double(sorted.size()) * share))];
}

void heading(const char* title)
{
    std::printf("\n%s\n", title);
    std::fflush(stdout);
}

void row(const char* what, double portdeck, double anchor, const char* anchorName, const char* unit, const char* goal,
         bool higherIsBetter)
{
    const double ratio = anchor > 0 ? portdeck / anchor : 0;
    std::printf("  %-26s Portdeck %9.1f %-4s | %-18s %9.1f %-4s | ratio %5.2f%s", what, portdeck, unit, anchorName,
                anchor, unit, ratio, higherIsBetter ? "" : " (lower is better)");
    if (*goal)
        std::printf(" | goal: %s", goal);
    std::printf("\n");
    std::fflush(stdout);
}

double worst(const std::vector<double>& values, bool higherIsBetter)
{
    if (values.empty())
        return 0;
    return higherIsBetter ? *std::min_element(values.begin(), values.end())
                          : *std::max_element(values.begin(), values.end());
}

void roundsRow(const char* what, const std::vector<double>& portdeck, const std::vector<double>& anchor,
               const char* anchorName, const char* unit, const char* goal, bool higherIsBetter)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(portdeck.size(), anchor.size()); ++i)
        ratios.push_back(anchor[i] > 0 ? portdeck[i] / anchor[i] : 0);
    std::printf("  %-22s Portdeck %9.1f, worst %9.1f %-4s | %-14s %9.1f, worst %9.1f | ratio %5.2f, worst %5.2f%s",
                what, median(portdeck), worst(portdeck, higherIsBetter), unit, anchorName, median(anchor),
                worst(anchor, higherIsBetter), median(ratios), worst(ratios, higherIsBetter),
                higherIsBetter ? "" : " (lower is better)");
    if (*goal)
        std::printf(" | goal: %s", goal);
    std::printf("\n");
    std::fflush(stdout);
}

void note(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

} // namespace bench
