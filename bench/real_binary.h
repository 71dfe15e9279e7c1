#pragma once

// The real portdeck binary, run as its own process on the X server.

#include "bench_support.h"
#include "x_display.h"

#include <QPoint>
#include <QProcess>

#include <memory>

namespace bench {

// Slot 1's controls in the window's fixed layout, from its top-left; slot N's rows are 123 pixels
// lower for each slot before it.
constexpr QPoint kSlotOneEcho(199, 79);
constexpr QPoint kSlotOneCapture(263, 79);
constexpr QPoint kSlotOneTranscript(206, 137);

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
    quint32 window() const { return m_window; }
    // A left click on a point of the window's layout.
    void click(XDisplay& x, QPoint place) const { x.click(m_origin.x() + place.x(), m_origin.y() + place.y()); }

private:
    Program m_program;
    QPoint m_origin;
    quint32 m_window = 0;
    quint16 m_port = 0;
};

QString portdeckBinary();

// The real binary listening, or null when the display or the binary will not do, which it says.
std::unique_ptr<ListeningPortdeck> startListening(XDisplay& x);

// Gives the operator's hands a moment: events typed reach the program in order, but the test
// of what they did happens on the wire, which needs the program to have acted.
void settle(int ms = 200);

// Ticks slot 1's capture box, types path into the file dialog that opens (lowercase letters and
// punctuation only: nothing is typed with Shift), sends total bytes of block from one client on
// 127.0.0.2 into slot 1 until the file holds them all, each CR as CR LF, then unticks the box and
// removes the file. MB/s of the client's bytes from its first; 0 if the dialog never came or the
// file was not exactly that.
double captureThroughDialog(XDisplay& x, const ListeningPortdeck& portdeck, const QByteArray& block, qint64 total,
                            const QString& path);

} // namespace bench
