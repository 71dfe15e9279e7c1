// What clients send and what goes back: the receive path (transcript text, echo, receive
// records), flow control under floods, and the operator's keys going out one byte each.
#include "test_support.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <sys/socket.h>

using Arrivals = QList<QByteArray>;

class tst_traffic : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void arrivals_data();
    void arrivals();
    void echoLineOutlivesTheClient();
    void echoToggleStartsAFreshLine();
    void floodIsTakenWholeInCappedArrivals();
    void peerCloseComesAfterItsLastByte();
    void unreadEchoesHoldTheClientBack();
    void endlessLineIsEchoedInBoundedPieces_data();
    void endlessLineIsEchoedInBoundedPieces();
    void keyCodes_data();
    void keyCodes();
    void typedKeysGoOutOneByteEach();

private:
    QTemporaryDir m_dir;
};

namespace {
QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}
} // namespace

void tst_traffic::init()
{
    QVERIFY(m_dir.isValid());
}

void tst_traffic::arrivals_data()
{
    QTest::addColumn<bool>("echo");
    QTest::addColumn<Arrivals>("arrivals");
    QTest::addColumn<QByteArray>("shown");    // appended to the transcript and captured
    QTest::addColumn<QByteArray>("sentBack"); // what the client got back
    QTest::addColumn<QByteArray>("echoLine"); // the slot's echo line afterwards

    QTest::newRow("CR LF: echo up to the CR, the LF waits")
        << true << Arrivals{"ab\r\n"} << QByteArray("ab\r\n\n") << QByteArray("ab\r") << QByteArray("\n");
    QTest::newRow("then the next line carries the LF")
        << true << Arrivals{"ab\r\n", "cd\r\n"} << QByteArray("ab\r\n\ncd\r\n\n") << QByteArray("ab\r\ncd\r")
        << QByteArray("\n");
    QTest::newRow("line split over arrivals")
        << true << Arrivals{"xy", "z\r"} << QByteArray("xyz\r\n") << QByteArray("xyz\r") << QByteArray();
    QTest::newRow("two CRs, two sends") << true << Arrivals{"\r\r"} << QByteArray("\r\n\r\n") << QByteArray("\r\r")
                                        << QByteArray();
    QTest::newRow("echo off sends nothing")
        << false << Arrivals{"ab\r\n"} << QByteArray("ab\r\n\n") << QByteArray() << QByteArray();
    QTest::newRow("several lines in one arrival") << true << Arrivals{"a\rb\rc\rd"} << QByteArray("a\r\nb\r\nc\r\nd")
                                                  << QByteArray("a\rb\rc\r") << QByteArray("d");
    QTest::newRow("NUL, FF and other bytes as they are")
        << true << Arrivals{QByteArray("\0\xff\x1b\n\r", 5)} << QByteArray("\0\xff\x1b\n\r\n", 6)
        << QByteArray("\0\xff\x1b\n\r", 5) << QByteArray();
    QTest::newRow("no CR, no echo") << true << Arrivals{"abc", "def"} << QByteArray("abcdef") << QByteArray()
                                    << QByteArray("abcdef");
}

void tst_traffic::arrivals()
{
    QFETCH(bool, echo);
    QFETCH(Arrivals, arrivals);
    QFETCH(QByteArray, shown);
    QFETCH(QByteArray, sentBack);
    QFETCH(QByteArray, echoLine);

    Window w;
    w.listen();
    auto first = w.connectClient("127.0.0.2", 1);
    auto client = w.connectClient("127.0.0.3", 2);
    QVERIFY(first && client);
    const QString capture = m_dir.filePath("arrivals.txt");
    w.captureInto(2, capture);
    w.form->chkEcho[2]->setChecked(echo);
    QSignalSpy arrivalsSeen(&w.socket(2), &SocketControl::dataArrival);

    QString expected = w.text(2);
    for (const QByteArray& arrival : arrivals) {
        client->send(arrival);
        expected += QString::fromLatin1(crToCrLf(arrival));
        QTRY_COMPARE(w.text(2), expected); // one arrival at a time
    }
    QCOMPARE(arrivalsSeen.count(), arrivals.size());
    QCOMPARE(w.text(2).toLatin1().right(shown.size()), shown);
    QCOMPARE(w.captured(capture), shown);
    QCOMPARE(w.form->engine().echoLine(2), echoLine);

    // Whatever was sent back is followed on the wire by the echo of a last line: nothing
    // more was sent in between.
    if (!echo)
        w.form->chkEcho[2]->setChecked(true);
    client->send("#\r");
    const QByteArray tail = echo ? echoLine + "#\r" : QByteArray("#\r");
    QVERIFY(client->waitForReceived(sentBack.size() + tail.size()));
    QCOMPARE(client->received, sentBack + tail);
    QCOMPARE(first->received, QByteArray());
}

void tst_traffic::echoLineOutlivesTheClient()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.form->chkEcho[1]->setChecked(true);
    a->send("ab");
    QTRY_COMPARE(w.form->engine().echoLine(1), QByteArray("ab"));
    a->socket.disconnectFromHost();
    QTRY_VERIFY(!w.occupied(1));

    auto b = w.connectClient("127.0.0.3", 1);
    QVERIFY(b);
    b->send("c\r");
    QVERIFY(b->waitForReceived(4));
    QCOMPARE(b->received, QByteArray("abc\r"));
}

void tst_traffic::echoToggleStartsAFreshLine()
{
    Window w;
    w.form->show();
    auto a = w.serveOneClient();
    QVERIFY(a);
    QCheckBox* echo = w.form->chkEcho[1];
    echo->setChecked(true);
    a->send("old");
    QTRY_COMPARE(w.form->engine().echoLine(1), QByteArray("old"));
    // The operator unticks and ticks again: the bytes before are never echoed.
    QTest::mouseClick(echo, Qt::LeftButton, {}, QPoint(6, echo->height() / 2));
    QVERIFY(!echo->isChecked());
    QCOMPARE(w.form->engine().echoLine(1), QByteArray());
    QTest::mouseClick(echo, Qt::LeftButton, {}, QPoint(6, echo->height() / 2));
    QVERIFY(echo->isChecked());
    a->send("new\r");
    QVERIFY(a->waitForReceived(4));
    QCOMPARE(a->received, QByteArray("new\r"));

    // From code too: unticking empties the line.
    a->send("gone");
    QTRY_COMPARE(w.form->engine().echoLine(1), QByteArray("gone"));
    echo->setChecked(false);
    QCOMPARE(w.form->engine().echoLine(1), QByteArray());
}

void tst_traffic::floodIsTakenWholeInCappedArrivals()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    const QString capture = m_dir.filePath("flood.txt");
    w.captureInto(1, capture);
    w.form->chkEcho[1]->setChecked(true);
    qint64 largest = 0;
    connect(&w.socket(1), &SocketControl::dataArrival, this,
            [&](qint16, qint64 waiting) { largest = std::max(largest, waiting); });

    const QByteArray sent = randomBytes(4 << 20); // CRs fall about every 256 bytes
    a->send(sent);
    const qsizetype lastCr = sent.lastIndexOf('\r');
    QVERIFY(a->waitForReceived(lastCr + 1, 30000));
    QTRY_COMPARE(fileBytes(capture).size(), crToCrLf(sent).size());

    QCOMPARE(a->received, sent.left(lastCr + 1));
    QCOMPARE(w.form->engine().echoLine(1), sent.mid(lastCr + 1));
    QVERIFY(w.captured(capture) == crToCrLf(sent));
    QVERIFY(largest > 0 && largest <= kArrivalLimit);
    QVERIFY(w.text(1).size() <= 2 * kArrivalLimit);
}

void tst_traffic::peerCloseComesAfterItsLastByte()
{
    // A client that sends everything, shuts down its sending side and reads on (as nc -N
    // does): every byte is shown, captured and echoed before the slot closes, and the echoes
    // still queued reach the client before its connection ends.
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    const QString capture = m_dir.filePath("last-bytes.txt");
    w.captureInto(1, capture);
    w.form->chkEcho[1]->setChecked(true);
    QByteArray sent = randomBytes(4 << 20).replace('\r', 'x');
    for (qsizetype i = 63; i < sent.size(); i += 64)
        sent[i] = '\r';
    a->send(sent);
    QTRY_VERIFY_WITH_TIMEOUT(a->socket.bytesToWrite() == 0, 30000);
    ::shutdown(int(a->socket.socketDescriptor()), SHUT_WR);

    QTRY_VERIFY_WITH_TIMEOUT(w.text(1).endsWith("Remote Close\r\n"), 30000);
    QVERIFY(w.captured(capture) == crToCrLf(sent));
    QVERIFY(a->waitForEnd(30000));
    QCOMPARE(a->received.size(), sent.size());
    QVERIFY(a->received == sent);
}

void tst_traffic::unreadEchoesHoldTheClientBack()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.form->chkEcho[1]->setChecked(true);
    // The client stops reading: its own buffers fill and then ours would.
    a->socket.setReadBufferSize(4096);
    a->socket.disconnect(a.get());

    qint64 mostQueued = 0;
    SocketControl& socket = w.socket(1);
    connect(&socket, &SocketControl::dataArrival, this,
            [&] { mostQueued = std::max(mostQueued, socket.BytesQueued()); });
    QByteArray line(63, 'L');
    line += '\r';
    const QByteArray sent = line.repeated((24 << 20) / line.size());
    a->send(sent);
    QTRY_VERIFY_WITH_TIMEOUT(socket.BytesQueued() > kEchoBacklogLimit, 30000);
    // Held back: the client cannot hand over everything while its echoes wait.
    QTRY_VERIFY_WITH_TIMEOUT(a->socket.bytesToWrite() > 0 && socket.BytesQueued() > 0, 30000);

    // The client reads again and gets every line back, in order.
    QByteArray received;
    connect(&a->socket, &QTcpSocket::readyRead, this, [&] { received += a->socket.readAll(); });
    received += a->socket.readAll();
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= sent.size(), 60000);
    QVERIFY(received == sent);
    QVERIFY2(mostQueued <= kEchoBacklogLimit + 2 * kArrivalLimit, qPrintable(QString::number(mostQueued)));
}

void tst_traffic::endlessLineIsEchoedInBoundedPieces_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("a piece and more") << kEchoLinePiece + (1 << 20);
    // Echoed as soon as it is whole, without waiting for one more byte.
    QTest::newRow("exactly one piece") << kEchoLinePiece;
}

void tst_traffic::endlessLineIsEchoedInBoundedPieces()
{
    QFETCH(qint64, size);
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.form->chkEcho[1]->setChecked(true);
    const QByteArray sent(size, 'x');
    a->send(sent);
    QVERIFY(a->waitForReceived(kEchoLinePiece, 30000));
    QTRY_COMPARE(a->received.size() + w.form->engine().echoLine(1).size(), sent.size());
    QVERIFY(a->received.size() < kEchoLinePiece + kArrivalLimit);
    a->send("\r");
    QVERIFY(a->waitForReceived(sent.size() + 1, 30000));
    QVERIFY(a->received == sent + "\r");
}

void tst_traffic::keyCodes_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<qint32>>("codes");
    using L = QList<qint32>;
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("letter") << int(Qt::Key_A) << 0 << "a" << L{0x61};
    QTest::newRow("shifted") << int(Qt::Key_A) << int(Qt::ShiftModifier) << "A" << L{0x41};
    QTest::newRow("Latin-1") << int(Qt::Key_Eacute) << 0 << QString(QChar(0xe9)) << L{0xe9};
    QTest::newRow("beyond 8 bits") << 0 << 0 << QString::fromUtf8("€") << L{0x20ac};
    QTest::newRow("Return") << int(Qt::Key_Return) << 0 << "\r" << L{13};
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << "\r" << L{13};
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << "\b" << L{8};
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 0 << "\x1b" << L{27};
    QTest::newRow("Ctrl+C as X reports it") << int(Qt::Key_C) << ctrl << "\x03" << L{3};
    QTest::newRow("Ctrl+C as QTest reports it") << int(Qt::Key_C) << ctrl << "c" << L{3};
    QTest::newRow("Ctrl+A") << int(Qt::Key_A) << ctrl << "a" << L{1};
    QTest::newRow("Ctrl+Z") << int(Qt::Key_Z) << ctrl << "\x1a" << L{26};
    QTest::newRow("Ctrl+[ as X reports it") << int(Qt::Key_BracketLeft) << ctrl << "\x1b" << L{27};
    QTest::newRow("Delete as X reports it") << int(Qt::Key_Delete) << 0 << "\x7f" << L{};
    QTest::newRow("Delete as QTest reports it") << int(Qt::Key_Delete) << 0 << "" << L{};
    QTest::newRow("arrow") << int(Qt::Key_Left) << 0 << "" << L{};
    QTest::newRow("Home") << int(Qt::Key_Home) << 0 << "" << L{};
    QTest::newRow("F1") << int(Qt::Key_F1) << 0 << "" << L{};
    QTest::newRow("Ctrl alone") << int(Qt::Key_Control) << ctrl << "" << L{};
    QTest::newRow("Alt+a") << int(Qt::Key_A) << int(Qt::AltModifier) << "a" << L{};
    QTest::newRow("Alt+Return") << int(Qt::Key_Return) << int(Qt::AltModifier) << "\r" << L{};
    QTest::newRow("Alt+Backspace") << int(Qt::Key_Backspace) << int(Qt::AltModifier) << "\b" << L{};
    QTest::newRow("Meta+Escape") << int(Qt::Key_Escape) << int(Qt::MetaModifier) << "\x1b" << L{};
    QTest::newRow("Meta+keypad Enter") << int(Qt::Key_Enter) << int(Qt::MetaModifier | Qt::KeypadModifier) << "\r"
                                       << L{};
    QTest::newRow("Ctrl+Alt+C") << int(Qt::Key_C) << int(Qt::ControlModifier | Qt::AltModifier) << "\x03" << L{};
}

void tst_traffic::keyCodes()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(QList<qint32>, codes);
    TranscriptBox box;
    box.show();
    QSignalSpy typed(&box, &TranscriptBox::keyTyped);
    QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
    QApplication::sendEvent(&box, &press);
    QList<qint32> seen;
    for (const QList<QVariant>& args : typed)
        seen << args.at(0).toInt();
    QCOMPARE(seen, codes);
}

void tst_traffic::typedKeysGoOutOneByteEach()
{
    Window w;
    w.form->show();
    w.listen();
    TranscriptBox& idleBox = w.transcript(2);
    QTest::keyClicks(&idleBox, "hi"); // an idle slot sends nothing; the box still shows the keys
    QCOMPARE(idleBox.text(), QString("hi"));

    auto a = w.connectClient("127.0.0.2", 1);
    QVERIFY(a);
    TranscriptBox& box = w.transcript(1);
    const QString before = box.text();
    QSignalSpy typed(&box, &TranscriptBox::keyTyped);
    QTest::keyClicks(&box, "abcd");
    QTest::keyClick(&box, Qt::Key_Return);
    QTest::keyClick(&box, Qt::Key_Return, Qt::ShiftModifier); // the box's line separator is a line end too
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QKeyEvent euro(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("€"));
    QApplication::sendEvent(&box, &euro);
    QTest::keyClick(&box, Qt::Key_Escape);
    QCOMPARE(typed.count(), 9);
    QVERIFY(a->waitForReceived(8));
    QCOMPARE(a->received, QByteArray("abcd\r\r\x03\x1b"));
    QCOMPARE(box.text(), before + QString::fromUtf8("abcd\r\n\r\n€"));
}

QTEST_MAIN(tst_traffic)
#include "tst_traffic.moc"
