#include "frm_portdeck.h"
#include "socket_control.h"

#include <QApplication>

namespace {
// How long the program lets closed connections deliver what was queued for their clients once
// the window is gone.
constexpr int kDrainOnExitMs = 2000;
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Portdeck"));
    QApplication::setDesktopFileName(QStringLiteral("org.portdeck.portdeck"));
    int status = 0;
    {
        frmPortdeck window;
        window.show();
        // The program ends when the window is unloaded: by Exit, or closed from the desktop.
        status = QApplication::exec();
    } // the window's sockets close with it
    SocketControl::drainClosing(kDrainOnExitMs);
    return status;
}
