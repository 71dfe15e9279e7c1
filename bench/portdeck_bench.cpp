// Portdeck side by side with netcat, ncat and socat on loopback, in one run.
//
// Portdeck runs in this process: the real window, live on the X server (xcb) unless
// QT_QPA_PLATFORM says otherwise, driven by its own event loop on the main thread. The clients
// are plain blocking sockets on threads of their own, the same code for Portdeck and for the
// anchors, which run as separate processes. Start-up and memory take the real portdeck binary.
//
// Every figure is printed with its anchor, Portdeck's ratio to it and the goal it is read
// against. Nothing here passes or fails.
//
//   portdeck_bench [roundtrip|echo|display|keys|capture|churn|startup|memory]...   those tables, or all
//   portdeck_bench soak [SECONDS]                    the long mixed run (600 seconds unless told)
//   portdeck_bench user [ROUNDS] [--quick] [churn|capture|keys|echo]...
//                                                    the real binary as a user sees it (7 rounds unless told;
//                                                    --quick: small sizes, for a smoke run; the sections named,
//                                                    or all); only when named
//   portdeck_bench churn-at PORT [SECONDS]           only the churn client, against any server (for profiling)
#include "figures.h"

#include "bench_support.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed() : QByteArray("?");
}

// Qt and the programs started here want a private runtime folder; without one they warn.
void ensureRuntimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray folder =
        QDir::tempPath().toLocal8Bit() + "/portdeck-bench-runtime-" + QByteArray::number(getuid());
    ::mkdir(folder.constData(), 0700);
    qputenv("XDG_RUNTIME_DIR", folder);
}

} // namespace

int main(int argc, char* argv[])
{
    // The churn client alone needs neither Qt's application nor a display.
    if (argc >= 3 && std::strcmp(argv[1], "churn-at") == 0) {
        const double seconds = argc >= 4 ? std::atof(argv[3]) : 10;
        const long cycles = bench::churnClient(quint16(std::atoi(argv[2])), seconds);
        std::printf("%ld cycles in %.0f s: %.0f cycles/s\n", cycles, seconds, cycles / seconds);
        return 0;
    }
    // Painting is much of what the window costs, and only a real X server shows it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    ensureRuntimeFolder();
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);

    for (const char* tool : {"nc", "ncat", "socat"}) {
        if (!bench::haveCommand(tool)) {
            std::fprintf(stderr, "%s is needed for the side-by-side figures\n", tool);
            return 1;
        }
    }
    std::printf("Portdeck benchmarks on loopback; platform %s (display %s); %d cores, load average %s; Qt %s\n",
                qPrintable(QGuiApplication::platformName()), qgetenv("DISPLAY").constData(),
                QThread::idealThreadCount(), loadAverage().constData(), qVersion());
    if (arguments.value(0) == QLatin1String("soak")) {
        bench::soak(arguments.value(1, QStringLiteral("600")).toInt());
        return 0;
    }
    if (arguments.value(0) == QLatin1String("user")) {
        QStringList rest = arguments.mid(1);
        const bool quick = rest.removeAll(QStringLiteral("--quick")) > 0;
        bool counted = false;
        const int rounds = rest.value(0).toInt(&counted);
        if (counted)
            rest.removeFirst();
        bench::userView(counted ? std::max(1, rounds) : 7, quick, rest);
        return 0;
    }

    auto wanted = [&](const char* name) {
        return arguments.isEmpty() || arguments.contains(QLatin1String(name));
    };
    const std::pair<const char*, std::function<void()>> tables[] = {
        {"roundtrip", bench::echoRoundTrip}, {"echo", bench::echoFloods},           {"display", bench::displayFloods},
        {"keys", bench::keyLatency},         {"capture", bench::captureThroughput}, {"churn", bench::churn},
        {"startup", bench::startUp},         {"memory", bench::realBinaryMemory},
    };
    for (const auto& [name, run] : tables) {
        if (wanted(name))
            run();
    }

    std::printf("\nPeak RSS of this process (Portdeck in-process with its clients and their 1 MiB blocks): %.1f MB; "
                "the real binary's own is in table 8\nLoad average at the end: %s\n",
                bench::statusMegabytes("VmHWM"), loadAverage().constData());
    return 0;
}
