// The listener and the four slots against real loopback clients: accepting, the same-address
// replacement, turning away, the ways a slot returns to idle, stop, exit and bad ports.
#include "test_support.h"

#include <QAccessible>
#include <QAction>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <sys/socket.h>

class tst_slots : public QObject
{
    Q_OBJECT

private slots:
    void acceptShowsAddressAndConnectedLine();
    void sameAddressTakesFreeSlotBeforeItsHolder();
    void sameAddressReplacesHolderBeforeFreeSlots();
    void fullSlotsReplaceOnlyTheirOwnAddress();
    void slotReturnsToIdle();
    void dropWithoutAMouse_data();
    void dropWithoutAMouse();
    void peerResetEndsTheSlot();
    void closeStillDeliversWhatWasQueued();
    void stopClosesOpenSlotsAndSwitchesThemOff();
    void exitClosesEverythingSilently();
    void portText_data();
    void portText();
    void unusablePortIsReportedAndServerCarriesOn_data();
    void unusablePortIsReportedAndServerCarriesOn();
    void portInUseAndRelisten();
    void ipv6ClientIsServed();
};

namespace {
QByteArray connectedLine(quint16 localPort, quint16 clientPort)
{
    return "Connected! LocalPort = " + QByteArray::number(localPort) +
           " RemptePort =  " + QByteArray::number(clientPort) + "\r\n";
}
QString connectedText(Window& w, TestClient& client)
{
    return QString::fromLatin1(connectedLine(w.port, client.socket.localPort()));
}
} // namespace

void tst_slots::acceptShowsAddressAndConnectedLine()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    QCOMPARE(w.text(1).toLatin1(), connectedLine(w.port, a->socket.localPort()));
    QCOMPARE(w.label(1), QString("Remote IP :127.0.0.2"));
    QCOMPARE(w.labelColour(1), QColor(255, 0, 0));
    QCOMPARE(w.form->lblRemoteIP[1]->width(), w.form->lblRemoteIP[1]->sizeHint().width());

    auto b = w.connectClient("127.0.0.3", 2);
    QVERIFY(b);
    QCOMPARE(w.text(2), connectedText(w, *b));
    QCOMPARE(w.text(3), QString());
}

void tst_slots::sameAddressTakesFreeSlotBeforeItsHolder()
{
    Window w;
    w.listen();
    auto a = w.connectClient("127.0.0.2", 1);
    auto x = w.connectClient("127.0.0.9", 2);
    auto b = w.connectClient("127.0.0.3", 3);
    QVERIFY(a && x && b);
    x->socket.disconnectFromHost();
    QTRY_VERIFY(!w.occupied(2));

    auto b2 = w.connectClient("127.0.0.3", 2);
    QVERIFY(b2);
    QVERIFY(w.occupied(3));
    QCOMPARE(w.label(3), QString("Remote IP :127.0.0.3"));
    QVERIFY(!w.text(3).contains("Remote Close"));
    QVERIFY(!b->ended);
}

void tst_slots::sameAddressReplacesHolderBeforeFreeSlots()
{
    Window w;
    w.listen();
    auto a = w.connectClient("127.0.0.2", 1);
    auto b = w.connectClient("127.0.0.3", 2);
    QVERIFY(a && b);
    const QString before = w.text(2);

    TestClient b2("127.0.0.3");
    QVERIFY(b2.connectTo(w.port));
    QVERIFY(b->waitForEnd());
    QTRY_COMPARE(w.text(2), before + "Remote Close\r\n" + connectedText(w, b2));
    QCOMPARE(w.label(2), QString("Remote IP :127.0.0.3"));
    QCOMPARE(w.labelColour(2), QColor(255, 0, 0));
    QVERIFY(w.occupied(2));
    QVERIFY(!w.occupied(3) && !w.occupied(4));
    QCOMPARE(w.text(3), QString());
    QVERIFY(!a->ended);
}

void tst_slots::fullSlotsReplaceOnlyTheirOwnAddress()
{
    Window w;
    w.listen();
    std::unique_ptr<TestClient> clients[5];
    for (int i = 1; i <= 4; ++i) {
        clients[i] = w.connectClient(QString("127.0.0.%1").arg(i + 1), i);
        QVERIFY(clients[i]);
    }
    const QString texts[] = {{}, w.text(1), w.text(2), w.text(3), w.text(4)};

    // A fifth address finds no slot: its connection ends at once and nothing changes.
    TestClient stranger("127.0.0.10");
    QVERIFY(stranger.connectTo(w.port));
    QVERIFY(stranger.waitForEnd());
    for (int i = 1; i <= 4; ++i) {
        QCOMPARE(w.text(i), texts[i]);
        QVERIFY(!clients[i]->ended);
    }

    // Slot 4's own address replaces slot 4 and nothing else.
    TestClient again("127.0.0.5");
    QVERIFY(again.connectTo(w.port));
    QVERIFY(clients[4]->waitForEnd());
    QTRY_COMPARE(w.text(4), texts[4] + "Remote Close\r\n" + connectedText(w, again));
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(w.text(i), texts[i]);
        QVERIFY(!clients[i]->ended);
    }
}

void tst_slots::slotReturnsToIdle()
{
    Window w;
    w.listen();
    w.dialog->answer = QDir::temp().filePath("portdeck-idle-test.txt");
    auto a = w.connectClient("127.0.0.2", 1);
    auto b = w.connectClient("127.0.0.3", 2);
    auto c = w.connectClient("127.0.0.4", 3);
    QVERIFY(a && b && c);

    // The client closes.
    QString expected = w.text(1) + "Remote Close\r\n";
    a->socket.disconnectFromHost();
    QTRY_COMPARE(w.text(1), expected);
    QCOMPARE(w.label(1), QString("Remote IP :"));
    QCOMPARE(w.labelColour(1), QColor(0, 0, 0));
    QVERIFY(!w.occupied(1));

    // A socket error: its description, no line end; echo and capture stay as they were.
    w.form->chkEcho[2]->setChecked(true);
    w.form->chkCapture[2]->setChecked(true);
    QVERIFY(w.form->captureOpen(2));
    expected = w.text(2) + "Connection timed out";
    emit w.socket(2).errorEvent(2, 10060, "Connection timed out");
    QCOMPARE(w.text(2), expected);
    QCOMPARE(w.label(2), QString("Remote IP :"));
    QVERIFY(b->waitForEnd());
    QVERIFY(w.form->chkEcho[2]->isChecked() && w.form->chkCapture[2]->isChecked() && w.form->captureOpen(2));

    // The operator double-clicks an occupied label, then the same label again when idle.
    QLabel* label = w.form->lblRemoteIP[3];
    expected = w.text(3) + "Remote Close\r\n";
    QTest::mouseDClick(label, Qt::LeftButton, {}, label->rect().center());
    QCOMPARE(w.text(3), expected);
    QVERIFY(c->waitForEnd());
    QTest::mouseDClick(label, Qt::LeftButton, {}, label->rect().center());
    QCOMPARE(w.text(3), expected + "Remote Close\r\n");
    QCOMPARE(w.label(3), QString("Remote IP :"));

    // A later client of slot 2 is served as usual and the capture file is still open.
    auto d = w.connectClient("127.0.0.5", 1);
    QVERIFY(d && w.form->captureOpen(2));
}

enum class DropWay { TranscriptMenu, AccessibleAction };
Q_DECLARE_METATYPE(DropWay)

void tst_slots::dropWithoutAMouse_data()
{
    QTest::addColumn<DropWay>("way");
    QTest::newRow("transcript menu") << DropWay::TranscriptMenu;
    QTest::newRow("label's accessible action") << DropWay::AccessibleAction;
}

// Each way does what a double-click on the label does; the menu offers it while a client is there.
void tst_slots::dropWithoutAMouse()
{
    QFETCH(DropWay, way);
    Window w;
    auto client = w.serveOneClient();
    QVERIFY(client);
    auto* menuEntry = w.form->txtDecription[1]->findChild<QAction*>("dropClient1");
    QVERIFY(menuEntry && menuEntry->isVisible());
    const QString expected = w.text(1) + "Remote Close\r\n";
    if (way == DropWay::TranscriptMenu) {
        menuEntry->trigger();
    } else {
        QAccessibleActionInterface* actions =
            QAccessible::queryAccessibleInterface(w.form->lblRemoteIP[1])->actionInterface();
        QVERIFY(actions && actions->actionNames().contains("Drop client"));
        actions->doAction("Drop client");
    }
    QTRY_COMPARE(w.text(1), expected);
    QCOMPARE(w.label(1), QString("Remote IP :"));
    QVERIFY(client->waitForEnd());
    QVERIFY(!menuEntry->isVisible());
}

void tst_slots::peerResetEndsTheSlot()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    const QString expected = w.text(1) + "Remote Close\r\n";
    // Closing with a zero linger time resets the connection instead of closing it.
    const linger reset{1, 0};
    ::setsockopt(int(a->socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    a->socket.abort();
    QTRY_COMPARE(w.text(1), expected);
    QCOMPARE(w.label(1), QString("Remote IP :"));
    QVERIFY(!w.occupied(1));
}

void tst_slots::closeStillDeliversWhatWasQueued()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    const QByteArray queued(8 << 20, 'q');
    w.socket(1).SendData(queued);
    w.socket(1).Close();
    QCOMPARE(w.socket(1).State(), qint16(SocketControl::sckClosed));
    QVERIFY(a->waitForEnd(30000));
    QCOMPARE(a->received.size(), queued.size());
}

void tst_slots::stopClosesOpenSlotsAndSwitchesThemOff()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.captureInto(1, QDir::temp().filePath("portdeck-stop-1.txt"));
    w.form->chkEcho[1]->setChecked(true);
    w.captureInto(2, QDir::temp().filePath("portdeck-stop-2.txt"));
    a->send("half a line");
    QTRY_COMPARE(w.form->engine().echoLine(1), QByteArray("half a line"));

    const QString before = w.text(1);
    w.form->chkServer->setChecked(false);
    QCOMPARE(w.text(1), before + "Server Close\r\n");
    QCOMPARE(w.label(1), QString("Remote IP :"));
    QVERIFY(!w.form->chkEcho[1]->isChecked() && !w.form->chkCapture[1]->isChecked());
    QCOMPARE(w.form->engine().echoLine(1), QByteArray());
    QVERIFY(!w.form->captureOpen(1));
    QCOMPARE(w.dialog->shown, 2); // unticking from code shows no dialog
    // The idle slot keeps its capture running.
    QVERIFY(w.form->chkCapture[2]->isChecked() && w.form->captureOpen(2));
    QCOMPARE(w.text(2), QString());
    QVERIFY(a->waitForEnd());
    QCOMPARE(w.socket(0).State(), qint16(SocketControl::sckClosed));
    TestClient late("127.0.0.2");
    QVERIFY(!late.connectTo(w.port) || late.waitForEnd());

    // Stopping again with nothing open shows nothing.
    w.form->chkServer->setChecked(true);
    w.form->chkServer->setChecked(false);
    QCOMPARE(w.text(1), before + "Server Close\r\n");
}

void tst_slots::exitClosesEverythingSilently()
{
    Window w;
    w.form->show();
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.captureInto(3, QDir::temp().filePath("portdeck-exit.txt"));
    QVERIFY(w.form->captureOpen(3));
    const QString before = w.text(1);

    QTest::mouseClick(w.form->cmdExit, Qt::LeftButton);
    QVERIFY(!w.form->isVisible());
    QVERIFY(!w.form->captureOpen(3));
    QVERIFY(a->waitForEnd());
    QCOMPARE(w.text(1), before);
    QCOMPARE(w.label(1), QString("Remote IP :127.0.0.2")); // exit changes what nothing shows
    QVERIFY(w.form->chkCapture[3]->isChecked());
}

void tst_slots::portText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("plain") << "1024" << 1024;
    QTest::newRow("blanks around") << "  8080 " << 8080;
    QTest::newRow("leading zero") << "01024" << 1024;
    QTest::newRow("leading zeros") << "001024" << 1024;
    QTest::newRow("leading zeros, short port") << "0000080" << 80;
    QTest::newRow("zeros only") << "000" << -1;
    QTest::newRow("lowest") << "1" << 1;
    QTest::newRow("highest") << "65535" << 65535;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("too large") << "70000" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("plus sign") << "+80" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank inside") << "10 24" << -1;
    QTest::newRow("letters") << "abc" << -1;
    QTest::newRow("overflow") << "99999999999" << -1;
}

void tst_slots::portText()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    const std::optional<quint16> parsed = ConnectionEngine::portFromText(text);
    QCOMPARE(parsed ? int(*parsed) : -1, port);
}

void tst_slots::unusablePortIsReportedAndServerCarriesOn_data()
{
    QTest::addColumn<QString>("text");
    for (const char* text : {"abc", "70000", "-1", "", "10 24", "0"})
        QTest::newRow(text) << QString(text);
}

void tst_slots::unusablePortIsReportedAndServerCarriesOn()
{
    QFETCH(QString, text);
    Window w;
    w.form->show();
    w.form->txtLocalPort->setText(text);
    w.form->chkServer->setChecked(true);
    const QStringList messages = takeOperatorMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("port \"" + text + "\""), qPrintable(messages[0]));
    QVERIFY(w.form->chkServer->isChecked());
    QCOMPARE(w.socket(0).State(), qint16(SocketControl::sckClosed));
    for (int i = 1; i <= 4; ++i)
        QCOMPARE(w.text(i), QString());

    w.form->chkServer->setChecked(false);
    QVERIFY(takeOperatorMessages().isEmpty());
    w.listen();
    QCOMPARE(w.socket(0).State(), qint16(SocketControl::sckListening));
    QVERIFY(w.connectClient("127.0.0.2", 1));
}

void tst_slots::portInUseAndRelisten()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    Window w;
    w.form->show();
    w.form->txtLocalPort->setText(QString::number(holder.serverPort()));
    w.form->chkServer->setChecked(true);
    const QStringList messages = takeOperatorMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains(QString("port %1: ").arg(holder.serverPort())), qPrintable(messages[0]));
    QVERIFY2(messages[0].contains("in use"), qPrintable(messages[0]));
    QCOMPARE(w.socket(0).State(), qint16(SocketControl::sckClosed));
    w.form->chkServer->setChecked(false);

    // Right after a stop with a connection just closed, the same port listens again.
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.form->chkServer->setChecked(false);
    QVERIFY(a->waitForEnd());
    w.form->chkServer->setChecked(true);
    QVERIFY(takeOperatorMessages().isEmpty());
    QCOMPARE(w.socket(0).State(), qint16(SocketControl::sckListening));
    QVERIFY(w.connectClient("127.0.0.3", 1));
}

void tst_slots::ipv6ClientIsServed()
{
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
            QSKIP("this machine has no IPv6 loopback");
    }
    Window w;
    w.listen();
    TestClient client("::1");
    QVERIFY(client.connectTo(w.port, QHostAddress::LocalHostIPv6));
    QTRY_COMPARE(w.label(1), QString("Remote IP :::1"));
    QVERIFY(w.occupied(1));
    auto v4 = w.connectClient("127.0.0.1", 2); // and IPv4 still shows dotted
    QVERIFY(v4);
}

QTEST_MAIN(tst_slots)
#include "tst_slots.moc"
