// The least a Qt Widgets program does to put a window on the screen: the yardstick for
// Portdeck's start-up. One window of Portdeck's size with a couple of labels.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(414, 570);
    auto* title = new QLabel(QStringLiteral("Remote IP :"), &window);
    title->setGeometry(13, 73, 68, 13);
    auto* status = new QLabel(QStringLiteral("Waiting"), &window);
    status->setGeometry(13, 196, 68, 13);
    window.show();
    return QApplication::exec();
}
