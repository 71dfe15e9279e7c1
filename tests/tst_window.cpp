// The window as the operator meets it: start-up, layout, fonts, tab order, and the transcript
// boxes' exact text (the 150-character rule, caret and selection, typing, copy and paste).
#include "frame_clock.h"
#include "test_support.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTextBlock>

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void startsAsLoaded();
    void controlsStandWhereTheLayoutPutsThem();
    void fontsAndCaptionsFit();
    void tabVisitsControlsInOrder();
    void keepsItsOneSize_data();
    void keepsItsOneSize();
    void appendKeepsOnlyAShortTail_data();
    void appendKeepsOnlyAShortTail();
    void operatorTypingCountsTowardTheRule();
    void appendLandsAtTheEndWhateverTheCaret();
    void clearAllEmptiesOnlyTheTranscripts();
    void displayShowsEveryByte();
    void typingAndEditingKeepExactLineEnds();
    void copyAndPasteCarryTheExactText();
    void longLineShowsInSoftPieces();
    void changesPaintAtMostOncePerFrame();
};

namespace {
// Counts the events of one type an object receives.
struct EventCounter : QObject {
    explicit EventCounter(QEvent::Type counted) : type(counted) {}
    QEvent::Type type;
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == type;
        return false;
    }
};
} // namespace

void tst_window::startsAsLoaded()
{
    Window w;
    frmPortdeck& f = *w.form;
    f.show();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    QCOMPARE(f.windowTitle(), QString("Portdeck version 1.04"));
    QCOMPARE(f.txtLocalPort->text(), QString("1024"));
    QCOMPARE(f.strIdleCaption, QString("Remote IP :"));
    QCOMPARE(f.lblRemoteIP[1]->text(), QString("Remote IP : "));
    QVERIFY(!f.chkServer->isChecked());
    for (int i = 1; i <= 4; ++i) {
        if (i > 1)
            QCOMPARE(f.lblRemoteIP[i]->text(), QString("Remote IP :"));
        QCOMPARE(w.text(i), QString());
        QVERIFY(!f.chkEcho[i]->isChecked() && !f.chkCapture[i]->isChecked());
        QCOMPARE(f.engine().echoLine(qint16(i)), QByteArray());
        QCOMPARE(f.engine().remoteIP(qint16(i)), QString());
        QCOMPARE(w.socket(i).State(), qint16(SocketControl::sckClosed));
        QCOMPARE(f.txtDecription[i]->accessibleName(), QString("Slot %1 transcript").arg(i));
    }
    QCOMPARE(f.txtLocalPort->accessibleName(), QString("Local port"));
    QCOMPARE(w.socket(0).State(), qint16(SocketControl::sckClosed));
    QCOMPARE(QApplication::focusWidget(), f.chkServer);
    const QList<QSize> iconSizes = f.windowIcon().availableSizes();
    QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
}

void tst_window::controlsStandWhereTheLayoutPutsThem()
{
    Window w;
    frmPortdeck& f = *w.form;
    // Twips / 15, rounded.
    QCOMPARE(f.size(), QSize(414, 570));
    QCOMPARE(f.chkServer->geometry(), QRect(13, 26, 67, 19));
    QCOMPARE(f.txtLocalPort->geometry(), QRect(93, 23, 67, 23));
    QCOMPARE(f.cmdClear->geometry(), QRect(200, 20, 87, 30));
    QCOMPARE(f.cmdExit->geometry(), QRect(313, 20, 87, 30));
    QCOMPARE(f.lblRemoteIP[1]->pos(), QPoint(13, 73));
    const int rows[] = {0, 73, 197, 320, 443};
    const int boxTops[] = {0, 90, 213, 337, 460};
    for (int i = 1; i <= 4; ++i) {
        if (i > 1)
            QCOMPARE(f.lblRemoteIP[i]->pos(), QPoint(13, rows[i]));
        QCOMPARE(f.lblRemoteIP[i]->height(), 13);
        QCOMPARE(f.chkEcho[i]->geometry(), QRect(193, rows[i], 53, 13));
        QCOMPARE(f.chkCapture[i]->geometry(), QRect(257, rows[i], 140, 13));
        QCOMPARE(f.txtDecription[i]->geometry(), QRect(13, boxTops[i], 387, 93));
        QCOMPARE(f.txtDecription[i]->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(f.txtDecription[i]->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QCOMPARE(f.lblRemoteIP[i]->focusPolicy(), Qt::NoFocus);
    }
    // A longer caption makes the label grow to the right.
    const int idleWidth = f.lblRemoteIP[2]->width();
    auto a = (w.listen(), w.connectClient("127.0.0.2", 1));
    auto b = w.connectClient("127.0.0.3", 2);
    QVERIFY(a && b);
    QVERIFY(f.lblRemoteIP[2]->width() > idleWidth);
    QCOMPARE(f.lblRemoteIP[2]->x(), 13);
}

void tst_window::fontsAndCaptionsFit()
{
    Window w;
    frmPortdeck& f = *w.form;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    auto a = (w.listen(), w.connectClient("127.0.0.2", 1));
    QVERIFY(a);

    for (QWidget* control : f.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const bool transcript = qobject_cast<TranscriptBox*>(control) != nullptr;
        QCOMPARE(control->font().bold(), !transcript);
        QCOMPARE(control->font().pixelSize(), 11);
        QVERIFY2(QFontInfo(control->font()).family() == "Liberation Sans", qPrintable(control->objectName()));
    }
    QVERIFY(!f.font().bold());

    QList<QCheckBox*> boxes{f.chkServer};
    QList<QLabel*> labels;
    for (int i = 1; i <= 4; ++i) {
        boxes << f.chkEcho[i] << f.chkCapture[i];
        labels << f.lblRemoteIP[i];
    }
    for (QCheckBox* box : boxes) {
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = box->text();
        const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
        const QRect contents = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
        const QFontMetrics metrics(box->font());
        QVERIFY2(box->rect().contains(indicator), qPrintable(box->objectName()));
        QVERIFY2(metrics.horizontalAdvance(box->text()) <= contents.width() && contents.right() <= box->rect().right(),
                 qPrintable(box->objectName()));
        QVERIFY2(metrics.height() <= box->height(), qPrintable(box->objectName()));
    }
    for (QPushButton* button : {f.cmdClear, f.cmdExit})
        QVERIFY2(button->sizeHint().width() <= button->width(), qPrintable(button->objectName()));
    for (QLabel* label : labels) {
        QCOMPARE(label->width(), label->sizeHint().width());
        QVERIFY2(QFontMetrics(label->font()).height() <= label->height(), qPrintable(label->objectName()));
    }
    QVERIFY(f.lblRemoteIP[1]->width() >=
            QFontMetrics(f.lblRemoteIP[1]->font()).horizontalAdvance("Remote IP :127.0.0.2"));
}

void tst_window::tabVisitsControlsInOrder()
{
    Window w;
    frmPortdeck& f = *w.form;
    f.show();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    const QList<QWidget*> expected = {f.txtLocalPort,     f.cmdClear,         f.cmdExit,          f.txtDecription[4],
                                      f.txtDecription[1], f.txtDecription[2], f.txtDecription[3], f.chkCapture[4],
                                      f.chkCapture[1],    f.chkCapture[2],    f.chkCapture[3],    f.chkEcho[1],
                                      f.chkEcho[2],       f.chkEcho[3],       f.chkEcho[4],       f.chkServer};
    QCOMPARE(QApplication::focusWidget(), f.chkServer);
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), next->objectName());
    }
    QCOMPARE(w.text(1), QString()); // Tab typed nothing into the boxes it passed
}

void tst_window::keepsItsOneSize_data()
{
    QTest::addColumn<Qt::WindowState>("asked");
    QTest::newRow("maximised") << Qt::WindowMaximized;
    QTest::newRow("full screen") << Qt::WindowFullScreen;
}

void tst_window::keepsItsOneSize()
{
    QFETCH(Qt::WindowState, asked);
    Window w;
    frmPortdeck& f = *w.form;
    QVERIFY(!f.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(f.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    f.setWindowState(asked);
    QCOMPARE(f.windowState(), Qt::WindowNoState);
    QCOMPARE(f.size(), QSize(414, 570));
}

void tst_window::appendKeepsOnlyAShortTail_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<QString>("appended");
    QTest::addColumn<int>("after");
    QTest::newRow("100 + 50 keeps all") << 100 << QString(50, 'b') << 150;
    QTest::newRow("100 + 51 empties first") << 100 << QString(51, 'b') << 51;
    QTest::newRow("empty + 200 keeps all 200") << 0 << QString(200, 'b') << 200;
    QTest::newRow("over 150 + empty text empties") << 200 << QString() << 0;
    QTest::newRow("line end counts two, 148 + CRLF") << 148 << QString("\r\n") << 150;
    QTest::newRow("line end counts two, 149 + CRLF") << 149 << QString("\r\n") << 2;
}

void tst_window::appendKeepsOnlyAShortTail()
{
    QFETCH(int, before);
    QFETCH(QString, appended);
    QFETCH(int, after);
    TranscriptBox box;
    box.appendTranscript(QString(before, 'a'));
    box.appendTranscript(appended);
    QCOMPARE(box.text().size(), after);
    QVERIFY(box.text().endsWith(appended));
    box.flushDisplay();
    QCOMPARE(box.toPlainText().size(), after - int(box.text().count("\r\n")));
}

void tst_window::operatorTypingCountsTowardTheRule()
{
    TranscriptBox box;
    box.show();
    box.appendTranscript(QString(100, 'a'));
    QTest::keyClicks(&box, QString(30, 't'));
    QCOMPARE(box.text(), QString(100, 'a') + QString(30, 't'));
    box.appendTranscript(QString(21, 'b'));
    QCOMPARE(box.text(), QString(21, 'b'));
    box.flushDisplay();
    QCOMPARE(box.toPlainText(), QString(21, 'b'));
}

void tst_window::appendLandsAtTheEndWhateverTheCaret()
{
    TranscriptBox box;
    box.show();
    box.appendTranscript("first line\r\nsecond");
    box.flushDisplay();

    QTextCursor caret = box.textCursor();
    caret.movePosition(QTextCursor::Start);
    box.setTextCursor(caret);
    box.appendTranscript("+tail");
    QCOMPARE(box.text(), QString("first line\r\nsecond+tail"));
    box.flushDisplay();
    QVERIFY(box.textCursor().atEnd());

    caret.setPosition(0);
    caret.movePosition(QTextCursor::NextWord, QTextCursor::KeepAnchor);
    box.setTextCursor(caret);
    QVERIFY(box.textCursor().hasSelection());
    box.appendTranscript("!");
    box.flushDisplay();
    QCOMPARE(box.text(), QString("first line\r\nsecond+tail!"));
    QVERIFY(!box.textCursor().hasSelection());
    QVERIFY(box.textCursor().atEnd());
    QTest::keyClicks(&box, "x"); // the next key lands after the appended text
    QCOMPARE(box.text(), QString("first line\r\nsecond+tail!x"));
}

void tst_window::clearAllEmptiesOnlyTheTranscripts()
{
    Window w;
    w.form->show();
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.form->chkEcho[1]->setChecked(true);
    a->send("xy");
    QTRY_COMPARE(w.form->engine().echoLine(1), QByteArray("xy"));
    for (int i = 2; i <= 4; ++i)
        w.transcript(i).appendTranscript("notice\r\n");

    QTest::mouseClick(w.form->cmdClear, Qt::LeftButton);
    for (int i = 1; i <= 4; ++i)
        QCOMPARE(w.text(i), QString());
    QVERIFY(w.occupied(1));
    QCOMPARE(w.label(1), QString("Remote IP :127.0.0.2"));
    QCOMPARE(w.form->engine().echoLine(1), QByteArray("xy"));
    a->send("z\r");
    QVERIFY(a->waitForReceived(3));
    QCOMPARE(a->received, QByteArray("xyz\r"));
    QTRY_COMPARE(w.text(1), QString("z\r\n"));
}

void tst_window::displayShowsEveryByte()
{
    TranscriptBox box;
    const QString exact = QString::fromLatin1(QByteArray("a\r\nb\nc\0d\x1b\x7f\r\xe9\xff", 13));
    box.appendTranscript(exact);
    QCOMPARE(box.text(), exact);
    box.flushDisplay();
    QCOMPARE(box.toPlainText(), QString::fromUtf8("a\nb␊c␀d␛␡␍éÿ"));
    QCOMPARE(box.document()->blockCount(), 2);

    // A line end split over two appends still shows as one line break.
    TranscriptBox split;
    split.appendTranscript("x");
    split.flushDisplay();
    split.setText(QString("ab\r"));
    split.flushDisplay();
    split.appendTranscript("\ncd");
    split.flushDisplay();
    QCOMPARE(split.toPlainText(), QString("ab\ncd"));
}

void tst_window::typingAndEditingKeepExactLineEnds()
{
    TranscriptBox box;
    box.show();
    QTest::keyClicks(&box, "ab");
    QTest::keyClick(&box, Qt::Key_Return);
    QTest::keyClicks(&box, "c");
    QCOMPARE(box.text(), QString("ab\r\nc"));
    QTest::keyClick(&box, Qt::Key_Backspace);
    QTest::keyClick(&box, Qt::Key_Backspace);
    QCOMPARE(box.text(), QString("ab"));

    // Received control bytes survive editing around them.
    box.appendTranscript(QString::fromLatin1(QByteArray("\0\n\r\n", 4)));
    box.flushDisplay();
    QTest::keyClicks(&box, "z");
    QCOMPARE(box.text(), QString::fromLatin1(QByteArray("ab\0\n\r\nz", 7)));
    QTextCursor caret = box.textCursor();
    caret.setPosition(1);
    box.setTextCursor(caret);
    QTest::keyClick(&box, Qt::Key_Delete);
    QCOMPARE(box.text(), QString::fromLatin1(QByteArray("a\0\n\r\nz", 6)));
}

void tst_window::copyAndPasteCarryTheExactText()
{
    TranscriptBox from;
    TranscriptBox to;
    from.show();
    to.show();
    const QString exact = QString::fromLatin1(QByteArray("one\r\ntwo\0\nthree", 15));
    from.appendTranscript(exact);
    from.flushDisplay();
    from.selectAll();
    from.copy();
    QCOMPARE(QApplication::clipboard()->text(), exact);

    to.appendTranscript("[]");
    to.flushDisplay();
    QTextCursor caret = to.textCursor();
    caret.setPosition(1);
    to.setTextCursor(caret);
    to.paste();
    QCOMPARE(to.text(), "[" + exact + "]");
    QTest::keyClicks(&to, "!"); // the caret stands after what was pasted
    QCOMPARE(to.text(), "[" + exact + "!]");
}

void tst_window::longLineShowsInSoftPieces()
{
    TranscriptBox box;
    box.show();
    QString line;
    for (int i = 0; i < 2500; ++i)
        line += QChar('a' + i % 26);
    box.appendTranscript(line);
    box.flushDisplay();
    // Laid out in pieces of 1024 characters; the exact text knows nothing of the soft breaks.
    QCOMPARE(box.document()->blockCount(), 3);
    QCOMPARE(box.document()->firstBlock().length() - 1, 1024);
    QCOMPARE(box.toPlainText().remove('\n'), line);
    box.selectAll();
    box.copy();
    QCOMPARE(QApplication::clipboard()->text(), line);

    // Enter ten characters into the second piece lands at exact position 1034.
    QTextCursor caret = box.textCursor();
    caret.setPosition(1024 + 1 + 10);
    box.setTextCursor(caret);
    QTest::keyClick(&box, Qt::Key_Return);
    QTest::keyClicks(&box, "X");
    QCOMPARE(box.text(), line.left(1034) + "\r\nX" + line.mid(1034));
    QCOMPARE(box.document()->toRawText(),
             TranscriptBox::displayText(box.text()).replace('\n', QChar::ParagraphSeparator));

    // Backspace at the start of a soft piece has nothing to remove.
    const QString before = box.text();
    caret.setPosition(1024 + 1);
    box.setTextCursor(caret);
    QTest::keyClick(&box, Qt::Key_Backspace);
    QCOMPARE(box.text(), before);
    QCOMPARE(box.document()->toRawText(), TranscriptBox::displayText(before).replace('\n', QChar::ParagraphSeparator));
}

void tst_window::changesPaintAtMostOncePerFrame()
{
    Window w;
    w.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
    SlotLabel& label = *w.form->lblRemoteIP[1];
    TranscriptBox& box = w.transcript(1);
    EventCounter labelPaints(QEvent::Paint), boxPaints(QEvent::Paint), relayouts(QEvent::LayoutRequest);
    w.form->installEventFilter(&relayouts);
    label.installEventFilter(&labelPaints);
    box.viewport()->installEventFilter(&boxPaints);
    FrameClock* clock = FrameClock::of(w.form.get());
    QTRY_VERIFY(clock->idle());

    // A lone change is drawn in the next turn of the event loop, without waiting for a frame.
    label.setCaption("Remote IP :127.0.0.9");
    QCoreApplication::processEvents();
    QCOMPARE(labelPaints.count, 1);
    QTRY_VERIFY(clock->idle());

    // A burst of changes, one per turn of the event loop as socket events come: every control
    // reads current at once, and the pixels follow at most once per frame.
    labelPaints.count = 0;
    QElapsedTimer burst;
    burst.start();
    for (int i = 0; i < 200; ++i) {
        const bool occupied = i % 2 == 0;
        label.setLook(occupied ? SlotLabel::Look::Occupied : SlotLabel::Look::Idle);
        label.setCaption(occupied ? "Remote IP :127.0.0.2" : "Remote IP :");
        box.appendTranscript(QString::number(i % 10));
        QCOMPARE(label.text(), occupied ? QString("Remote IP :127.0.0.2") : QString("Remote IP :"));
        QCOMPARE(label.palette().color(label.foregroundRole()), occupied ? QColor(255, 0, 0) : QColor(0, 0, 0));
        QVERIFY(box.text().endsWith(QString::number(i % 10)));
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY(clock->idle());
    const int frames = int(burst.elapsed() / FrameClock::kFrameMs) + 2;
    QVERIFY2(labelPaints.count >= 1 && labelPaints.count <= frames,
             qPrintable(QString("%1 paints in %2 frames").arg(labelPaints.count).arg(frames)));
    QVERIFY2(boxPaints.count >= 1 && boxPaints.count <= frames,
             qPrintable(QString("%1 paints in %2 frames").arg(boxPaints.count).arg(frames)));
    QCOMPARE(box.toPlainText(), TranscriptBox::displayText(box.text())); // the last frame shows it all
    QCOMPARE(relayouts.count, 0); // the window never re-lays out its fixed controls
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
