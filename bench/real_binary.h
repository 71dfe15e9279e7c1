#pragma once

// The real portdeck binary, run as its own process on the X server.

#include "bench_support.h"
#include "x_display.h"

#include <QPoint>
#include <QProcess>

namespace bench {

// A program started on the display, ended when this goes.
struct Program {
    explicit Program(const QString& path)
    {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.setProgram(path);
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // Starts it and waits for its first paint: milliseconds from just before exec.
    std::optional<XDisplay::Paint> startAndPaint(XDisplay& x, double* ms = nullptr);
    QProcess process;
};

// The real binary listening on a free port, set up as the operator would: the port typed into
// its box and "Server" ticked with XTEST. port() is 0 when that did not work.
class ListeningPortdeck
{
public:
    explicit ListeningPortdeck(XDisplay& x);
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_program.process.processId(); }
    QPoint origin() const { return m_origin; }

private:
    Program m_program;
    QPoint m_origin;
    quint16 m_port = 0;
};

QString portdeckBinary();

} // namespace bench
