#include "frm_portdeck.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Portdeck"));
    QApplication::setDesktopFileName(QStringLiteral("org.portdeck.portdeck"));
    frmPortdeck window;
    window.show();
    // The program ends when the window is unloaded: by Exit, or closed from the desktop.
    return QApplication::exec();
}
