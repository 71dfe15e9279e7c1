// Capture files: the dialog the capture box asks through, the records in the file byte for
// byte, and what the operator is told when a file cannot be written.
#include "test_support.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>
#include <QTimer>

class tst_capture : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void tickingAsksForAFile();
    void cancelLeavesTheBoxTickedWithoutFile();
    void recordsAreTheSlotsTrafficByteForByte();
    void eachSlotCapturesOnlyItsOwnTraffic();
    void fileThatCannotBeOpenedIsReported_data();
    void fileThatCannotBeOpenedIsReported();
    void sameFileAsAnotherSlotIsRefused_data();
    void sameFileAsAnotherSlotIsRefused();
    void failedWriteIsReportedOnceAndTrafficGoesOn();
    void realDialogOffersTheFiltersAndAcceptsATypedPath_data();
    void realDialogOffersTheFiltersAndAcceptsATypedPath();
    void realDialogCancel();

private:
    QTemporaryDir m_dir;
};

namespace {
const QString kFilter = QStringLiteral("Text Files(.TXT)|*.TXT | All Files(*.*)|*.*");

// Runs body on the file dialog once it is up, then closes it the way body says.
void onDialog(const std::function<bool(QFileDialog&)>& body)
{
    QTimer::singleShot(0, [body] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (!body(*dialog))
            dialog->reject();
    });
}
} // namespace

void tst_capture::init()
{
    QVERIFY(m_dir.isValid());
}

void tst_capture::tickingAsksForAFile()
{
    Window w;
    const QString path = m_dir.filePath("existing.txt");
    QFile existing(path);
    QVERIFY(existing.open(QIODevice::WriteOnly) && existing.write("old contents") > 0);
    existing.close();

    w.captureInto(1, path);
    QCOMPARE(w.dialog->shown, 1);
    QCOMPARE(w.dialog->lastTitle, QString("Open Capture File"));
    QCOMPARE(w.dialog->lastFilter, kFilter);
    QCOMPARE(w.dialog->lastFilter.size(), 43);
    QCOMPARE(w.dialog->fileNameWhenShown, QString());
    QVERIFY(w.dialog->cancelErrorWhenShown);
    QVERIFY(w.form->captureOpen(1));
    QCOMPARE(w.captured(path), QByteArray()); // emptied

    const QList<CommonDialog::FilterEntry> entries = CommonDialog::filterEntries(kFilter);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0].description, QString("Text Files(.TXT)"));
    QCOMPARE(entries[0].pattern, QString("*.TXT "));
    QCOMPARE(entries[1].description, QString(" All Files(*.*)"));
    QCOMPARE(entries[1].pattern, QString("*.*"));

    // A new name is created; the earlier file is closed with what it had.
    w.form->chkCapture[1]->setChecked(false);
    QVERIFY(!w.form->captureOpen(1));
    w.captureInto(1, m_dir.filePath("new.txt"));
    QVERIFY(QFile::exists(m_dir.filePath("new.txt")));
    QCOMPARE(w.dialog->fileNameWhenShown, QString()); // a fresh choice every time
}

void tst_capture::cancelLeavesTheBoxTickedWithoutFile()
{
    Window w;
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.dialog->answer.clear();
    w.form->chkCapture[1]->setChecked(true);
    QVERIFY(w.form->chkCapture[1]->isChecked());
    QVERIFY(!w.form->captureOpen(1));
    // Traffic and keys with the box ticked but no file: nothing written, nothing fails.
    a->send("ab\r");
    QTRY_VERIFY(w.text(1).endsWith("ab\r\n"));
    QTest::keyClicks(&w.transcript(1), "k");
    QVERIFY(a->waitForReceived(1));
    QVERIFY(takeOperatorMessages().isEmpty());

    w.form->chkCapture[1]->setChecked(false);
    w.form->chkCapture[1]->setChecked(true);
    QCOMPARE(w.dialog->shown, 2);
}

void tst_capture::recordsAreTheSlotsTrafficByteForByte()
{
    Window w;
    w.listen();
    const QString path = m_dir.filePath("slot1.txt");
    w.captureInto(1, path);
    QTest::keyClicks(&w.transcript(1), "q"); // idle: neither sent nor written
    QCOMPARE(w.captured(path), QByteArray());

    auto a = w.connectClient("127.0.0.2", 1);
    QVERIFY(a);
    QCOMPARE(w.captured(path), QByteArray()); // notices are not traffic
    a->send("ab\r\n");
    QTRY_COMPARE(fileBytes(path), QByteArray("ab\r\n\n"));
    QTest::keyClick(&w.transcript(1), Qt::Key_A);
    QCOMPARE(w.captured(path), QByteArray("ab\r\n\na"));
    QTest::keyClick(&w.transcript(1), Qt::Key_Return);
    QCOMPARE(w.captured(path), QByteArray("ab\r\n\na\r"));
    QVERIFY(a->waitForReceived(2));
    QCOMPARE(a->received, QByteArray("a\r"));

    // The client leaves and the next one writes on into the same file.
    a->socket.disconnectFromHost();
    QTRY_VERIFY(!w.occupied(1));
    auto b = w.connectClient("127.0.0.3", 1);
    QVERIFY(b);
    const QByteArray big(40000, '\r'); // more than one arrival, each captured whole
    b->send(big);
    const QByteArray expected = QByteArray("ab\r\n\na\r") + QByteArray("\r\n").repeated(40000);
    QTRY_COMPARE(fileBytes(path).size(), expected.size());
    QVERIFY(w.captured(path) == expected);

    // Stop with the slot open closes the file and unticks the box; the file keeps it all.
    w.form->chkServer->setChecked(false);
    QVERIFY(!w.form->chkCapture[1]->isChecked() && !w.form->captureOpen(1));
    QVERIFY(w.captured(path) == expected);
}

void tst_capture::eachSlotCapturesOnlyItsOwnTraffic()
{
    Window w;
    w.listen();
    auto one = w.connectClient("127.0.0.2", 1);
    auto two = w.connectClient("127.0.0.3", 2);
    auto three = w.connectClient("127.0.0.4", 3);
    QVERIFY(one && two && three);
    w.captureInto(1, m_dir.filePath("one.txt"));
    w.captureInto(3, m_dir.filePath("three.txt"));

    one->send("from one\r");
    two->send("from two\r");
    three->send("from three\r");
    QTRY_COMPARE(fileBytes(m_dir.filePath("three.txt")), QByteArray("from three\r\n"));
    QTRY_COMPARE(fileBytes(m_dir.filePath("one.txt")), QByteArray("from one\r\n"));
    QTest::keyClicks(&w.transcript(3), "3");
    QTest::keyClicks(&w.transcript(2), "2");
    QCOMPARE(w.captured(m_dir.filePath("three.txt")), QByteArray("from three\r\n3"));
    QCOMPARE(w.captured(m_dir.filePath("one.txt")), QByteArray("from one\r\n"));
}

void tst_capture::fileThatCannotBeOpenedIsReported_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no such folder") << "missing/capture.txt"
                                    << "No such file or directory";
    QTest::newRow("a folder") << "."
                              << "folder";
    if (::geteuid() != 0) // root may write anywhere
        QTest::newRow("no permission") << "/proc/version"
                                       << "ermission";
}

void tst_capture::fileThatCannotBeOpenedIsReported()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    Window w;
    w.form->show();
    const QString full = QDir(m_dir.path()).filePath(path);
    w.captureInto(2, path.startsWith('/') ? path : full);
    const QStringList messages = takeOperatorMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains(w.dialog->answer) && messages[0].contains(reason), qPrintable(messages[0]));
    QVERIFY(w.form->chkCapture[2]->isChecked());
    QVERIFY(!w.form->captureOpen(2));
}

void tst_capture::sameFileAsAnotherSlotIsRefused_data()
{
    QTest::addColumn<int>("holder"); // the slot capturing into the file
    QTest::addColumn<int>("asker");  // the slot asking for the same file
    QTest::newRow("slot 2 into slot 1's file") << 1 << 2;
    QTest::newRow("slot 1 into slot 4's file") << 4 << 1;
}

void tst_capture::sameFileAsAnotherSlotIsRefused()
{
    QFETCH(int, holder);
    QFETCH(int, asker);
    Window w;
    w.form->show();
    const QString path = m_dir.filePath("shared.txt");
    w.captureInto(holder, path);
    QVERIFY(w.form->captureOpen(holder));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        QCOMPARE(file.write("kept"), qint64(4));
    }

    QDir(m_dir.path()).mkdir("sub");
    w.dialog->answer = m_dir.filePath("sub/../shared.txt"); // the same file, spelled otherwise
    w.form->chkCapture[asker]->setChecked(true);
    const QStringList messages = takeOperatorMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains(QStringLiteral("slot %1 is").arg(holder)), qPrintable(messages[0]));
    QVERIFY(!w.form->captureOpen(asker));
    QCOMPARE(w.captured(path), QByteArray("kept")); // not emptied
    QVERIFY(w.form->captureOpen(holder));
}

void tst_capture::failedWriteIsReportedOnceAndTrafficGoesOn()
{
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("no /dev/full here to stand for a full disk");
    Window w;
    w.form->show();
    auto a = w.serveOneClient();
    QVERIFY(a);
    w.form->chkEcho[1]->setChecked(true);
    w.captureInto(1, "/dev/full");
    QVERIFY(w.form->captureOpen(1));

    a->send("one\r");
    QTRY_VERIFY(!w.form->captureOpen(1));
    QStringList messages = takeOperatorMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("slot 1") && messages[0].contains("No space left"), qPrintable(messages[0]));
    QVERIFY(w.form->chkCapture[1]->isChecked());

    a->send("two\r");
    QVERIFY(a->waitForReceived(8));
    QCOMPARE(a->received, QByteArray("one\rtwo\r"));
    QTRY_VERIFY(w.text(1).endsWith("one\r\ntwo\r\n"));
    QVERIFY(takeOperatorMessages().isEmpty());
}

void tst_capture::realDialogOffersTheFiltersAndAcceptsATypedPath_data()
{
    QTest::addColumn<QString>("name"); // typed as a full path into "File name:"
    QTest::newRow("a new file") << "not-yet.txt";
    QTest::newRow("an existing file the filter shows") << "a.txt";
    QTest::newRow("an existing file the filter hides") << "c.log";
}

void tst_capture::realDialogOffersTheFiltersAndAcceptsATypedPath()
{
    QFETCH(QString, name);
    QTemporaryDir folder;
    for (const char* name : {"a.txt", "B.TXT", "c.log"}) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QWidget parent;
    FileOpenDialog dialog(&parent);
    dialog.FileName = QString();
    dialog.DialogTitle = "Open Capture File";
    dialog.Filter = kFilter;
    dialog.CancelError = true;

    QString title, startName;
    QStringList types, listed;
    bool openKind = false;
    const QString chosen = folder.filePath(name);
    onDialog([&](QFileDialog& shown) {
        title = shown.windowTitle();
        openKind = shown.acceptMode() == QFileDialog::AcceptOpen && shown.isModal();
        auto* combo = shown.findChild<QComboBox*>("fileTypeCombo");
        auto* nameEdit = shown.findChild<QLineEdit*>("fileNameEdit");
        auto* view = shown.findChild<QListView*>("listView");
        if (!combo || !nameEdit || !view)
            return false;
        for (int i = 0; i < combo->count(); ++i)
            types << combo->itemText(i);
        startName = nameEdit->text();
        shown.setDirectory(folder.path());
        const auto rows = [&] {
            return view->model()->rowCount(view->rootIndex());
        };
        if (!QTest::qWaitFor([&] { return rows() >= 2; }, 5000))
            return false;
        for (int row = 0; row < rows(); ++row)
            listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
        QTest::keyClicks(nameEdit, chosen); // key by key, as the operator types it
        QTest::keyClick(nameEdit, Qt::Key_Return);
        return true;
    });
    QCOMPARE(dialog.ShowOpen(), 0);
    QCOMPARE(dialog.FileName, chosen);
    QCOMPARE(title, QString("Open Capture File"));
    QVERIFY(openKind);
    QCOMPARE(startName, QString());
    QCOMPARE(types, QStringList({"Text Files(.TXT) (*.TXT )", "All Files(*.*) (*.*)"}));
    listed.sort();
    QCOMPARE(listed, QStringList({"B.TXT", "a.txt"})); // the pattern ignores case
}

void tst_capture::realDialogCancel()
{
    QWidget parent;
    FileOpenDialog dialog(&parent);
    dialog.CancelError = true;
    onDialog([](QFileDialog&) { return false; });
    QCOMPARE(dialog.ShowOpen(), CommonDialog::cdlCancel);
}

QTEST_MAIN(tst_capture)
#include "tst_capture.moc"
