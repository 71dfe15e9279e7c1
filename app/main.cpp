#include "capture_writer.h"
#include "connection_pool.h"
#include "frm_portdeck.h"

#include <QApplication>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// How long the program lets closed connections deliver what was queued for their clients once
// the window is gone.
constexpr int kDrainOnExitMs = 2000;
} // namespace

int main(int argc, char* argv[])
{
#ifdef __GLIBC__
    // Large buffers (an echo line of up to 16 MiB, a backlog for a slow client) go back to the
    // system as soon as they are freed, instead of staying in the heap for the program's life.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Portdeck"));
    QApplication::setDesktopFileName(QStringLiteral("org.portdeck.portdeck"));
    // Created here, before the window, because closed connections and capture files outlive it:
    // the window's sockets hand theirs over when it goes, and they get their last moments below,
    // while the writer finishes the capture files.
    CaptureWriter writer;
    ConnectionPool pool;
    int status = 0;
    {
        frmPortdeck window(pool, writer);
        window.show();
        // The program ends when the window is unloaded: by Exit, or closed from the desktop.
        status = QApplication::exec();
    } // the window's sockets close with it
    pool.drain(kDrainOnExitMs);
    return status;
}
