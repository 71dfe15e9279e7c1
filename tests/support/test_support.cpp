#include "test_support.h"

#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>

TestClient::TestClient(const QString& sourceAddress, QObject* parent) : QObject(parent)
{
    socket.bind(QHostAddress(sourceAddress), 0);
    connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
    connect(&socket, &QTcpSocket::disconnected, this, [this] { ended = true; });
    connect(&socket, &QTcpSocket::errorOccurred, this, [this] { ended = true; });
}

bool TestClient::connectTo(quint16 port, const QHostAddress& server)
{
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    socket.connectToHost(server, port);
    return connected.count() > 0 || connected.wait(5000);
}

void TestClient::send(const QByteArray& bytes)
{
    socket.write(bytes);
}

bool TestClient::waitForReceived(qsizetype count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return received.size() >= count; }, timeoutMs);
}

bool TestClient::waitForEnd(int timeoutMs)
{
    return QTest::qWaitFor([&] { return ended; }, timeoutMs);
}

int ScriptedDialog::ShowOpen()
{
    ++m_script->shown;
    m_script->lastTitle = DialogTitle;
    m_script->lastFilter = Filter;
    m_script->fileNameWhenShown = FileName;
    m_script->cancelErrorWhenShown = CancelError;
    if (m_script->answer.isEmpty())
        return CancelError ? cdlCancel : 0;
    FileName = m_script->answer;
    return 0;
}

Window::Window() : form(std::make_unique<frmPortdeck>(pool, writer, std::make_unique<ScriptedDialog>(dialog)))
{
}

quint16 Window::listen()
{
    port = freePort();
    form->txtLocalPort->setText(QString::number(port));
    form->chkServer->setChecked(true);
    if (socket(0).State() != SocketControl::sckListening)
        qWarning() << "not listening on" << port << takeOperatorMessages();
    return port;
}

std::unique_ptr<TestClient> Window::connectClient(const QString& sourceAddress, int expectedSlot)
{
    auto client = std::make_unique<TestClient>(sourceAddress);
    if (!client->connectTo(port))
        return nullptr;
    const QString shown = form->strIdleCaption + sourceAddress;
    if (!QTest::qWaitFor([&] { return occupied(expectedSlot) && label(expectedSlot) == shown; }, 5000))
        return nullptr;
    return client;
}

std::unique_ptr<TestClient> Window::serveOneClient()
{
    listen();
    return connectClient(QStringLiteral("127.0.0.2"), 1);
}

QByteArray Window::captured(const QString& path)
{
    writer.finish();
    return fileBytes(path);
}

void Window::captureInto(int slot, const QString& path)
{
    dialog->answer = path;
    form->chkCapture[slot]->setChecked(true);
}

QByteArray crToCrLf(QByteArray bytes)
{
    return bytes.replace("\r", "\r\n");
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

QStringList takeOperatorMessages()
{
    QStringList texts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->objectName() == QLatin1String("operatorMessage") && box->isVisible()) {
            texts << box->text();
            box->close();
        }
    }
    return texts;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
