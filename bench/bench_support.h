#pragma once

// What every benchmark shares: clients over plain blocking sockets, the traffic shapes, the
// anchors run as processes, Portdeck live in this process, and the printing of figures.

#include "common_dialog.h"
#include "frm_portdeck.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <chrono>
#include <functional>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr qint64 MiB = 1 << 20;

double secondsSince(Clock::time_point start);
double milliseconds(Clock::duration d);
double microseconds(Clock::duration d);
double mbPerSecond(qint64 bytes, double seconds);

quint16 freePort();
// Connects to 127.0.0.1:port, retrying while the server is still starting. Clients that must
// not replace each other come from different loopback addresses (127.0.0.2, ...).
int connectTo(quint16 port, const char* from = "127.0.0.1");
bool sendAll(int s, const char* data, size_t size);
// Sends total bytes by repeating block.
bool sendRepeated(int s, const QByteArray& block, qint64 total);
qint64 receiveCount(int s, qint64 total);
// A client sends total bytes of block and reads expectedBack echoed bytes at the same time: MB/s.
double echoFlood(quint16 port, const QByteArray& block, qint64 total, qint64 expectedBack);

// The traffic shapes, each a 1 MiB block sent over and over.
QByteArray randomBlock();
QByteArray linesBlock(int lineLength, const QByteArray& ending);
QByteArray endlessLineBlock();
QByteArray allByteValuesBlock();
qint64 repeatedTotal(const QByteArray& block, qint64 wanted);

// Descriptors and memory of a process, from /proc; pid 0 is this process.
int descriptorCount(qint64 pid = 0);
// Of those, the sockets.
int socketCount(qint64 pid = 0);
// A "Vm..." line of /proc/<pid>/status in MB, e.g. "VmHWM" (peak RSS) or "VmRSS".
double statusMegabytes(const char* field, qint64 pid = 0);

// The CPU a process (all its threads) has used so far, in seconds, from /proc.
struct CpuTime {
    double user = 0, system = 0;
    CpuTime operator-(const CpuTime& o) const { return {user - o.user, system - o.system}; }
    CpuTime& operator+=(const CpuTime& o) { return user += o.user, system += o.system, *this; }
};
CpuTime cpuTime(qint64 pid = 0);

bool haveCommand(const char* name);

// One client from the address from sends total bytes of block and closes: MB/s from its first byte
// until the file at path holds expected bytes, 0 if it did not within two minutes.
double floodIntoFile(quint16 port, const char* from, const QByteArray& block, qint64 total, const QString& path,
                     qint64 expected);

// A file removed when this is made and when it goes, whatever happened in between.
struct RemovedFile {
    explicit RemovedFile(QString path);
    ~RemovedFile();
    RemovedFile(const RemovedFile&) = delete;
    RemovedFile& operator=(const RemovedFile&) = delete;
    QString path;
};

// An external server, started for one measurement.
struct Anchor {
    explicit Anchor(const QString& command);
    ~Anchor();
    bool waitForExit(int ms = 120000) { return process.waitForFinished(ms); }
    qint64 pid() const { return process.processId(); }
    QProcess process;
};

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
    explicit Portdeck(const QString& capturePath = QString());
    // Runs the event loop until done() holds, checked every millisecond.
    bool runUntil(const std::function<bool()>& done, int timeoutMs = 180000);
    // Runs the event loop while work runs on a thread of its own.
    void runWhile(const std::function<void()>& work);
    bool slotClosed(int slot) const;
    bool slotConnected(int slot);

    CaptureWriter writer; // before the window, which hands it its capture files
    ConnectionPool pool;  // and its closed connections
    frmPortdeck window;
    quint16 port;
};

// Runs each measurement in turn, five rounds, so that a slow spell of the machine falls on all of
// them alike; the middle figure of each.
std::vector<double> mediansInTurn(const std::vector<std::function<double()>>& runs);
// Short runs are noisy: the middle figure.
double median(std::vector<double> values);
// The value below which share of the sorted samples lie.
double percentile(const std::vector<double>& sorted, double share);

void heading(const char* title);
// One figure beside its anchor, with Portdeck's ratio to it and the goal it is read against.
void row(const char* what, double portdeck, double anchor, const char* anchorName, const char* unit,
         const char* goal = "", bool higherIsBetter = true);
// The worst of several rounds: the least where higher is better, else the most.
double worst(const std::vector<double>& values, bool higherIsBetter = true);
// Portdeck's rounds beside the anchor's, taken in turn: the median and the worst round of each and
// of their ratio, round by round.
void roundsRow(const char* what, const std::vector<double>& portdeck, const std::vector<double>& anchor,
               const char* anchorName, const char* unit, const char* goal = "", bool higherIsBetter = true);
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace bench
