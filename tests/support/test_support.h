#pragma once

#include "common_dialog.h"
#include "frm_portdeck.h"
#include "transcript_box.h"

#include <QCheckBox>
#include <QHostAddress>
#include <QLineEdit>
#include <QMessageBox>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <memory>

// A real loopback client. Its source address stands for a client machine: 127.0.0.2,
// 127.0.0.3, ... are different clients as far as the server can tell.
class TestClient : public QObject
{
    Q_OBJECT

public:
    explicit TestClient(const QString& sourceAddress = QStringLiteral("127.0.0.1"), QObject* parent = nullptr);

    // Connects and waits until the connection stands (not until the server has taken it).
    bool connectTo(quint16 port, const QHostAddress& server = QHostAddress::LocalHost);
    void send(const QByteArray& bytes);
    // Waits until at least count bytes have come back in all.
    bool waitForReceived(qsizetype count, int timeoutMs = 10000);
    // Waits until the server has ended the connection.
    bool waitForEnd(int timeoutMs = 10000);

    QTcpSocket socket;
    QByteArray received;
    bool ended = false;
};

// What a scripted dialog does when shown.
struct DialogScript {
    QString answer; // the path to choose; empty means Cancel
    int shown = 0;
    QString lastTitle;
    QString lastFilter;
    QString fileNameWhenShown;
    bool cancelErrorWhenShown = false;
};

// Stands in for the file dialog: answers from a script the test holds.
class ScriptedDialog : public CommonDialog
{
public:
    explicit ScriptedDialog(std::shared_ptr<DialogScript> script) : m_script(std::move(script)) {}
    int ShowOpen() override;

private:
    std::shared_ptr<DialogScript> m_script;
};

// The real window, offscreen, with a scripted file dialog.
struct Window {
    Window();

    // Ticks "Server" for a free port and checks that the listener stands.
    quint16 listen();
    TranscriptBox& transcript(int slot) { return *form->txtDecription[slot]; }
    QString text(int slot) { return form->txtDecription[slot]->text(); }
    QString label(int slot) { return form->lblRemoteIP[slot]->text(); }
    QColor labelColour(int slot)
    {
        const SlotLabel& label = *form->lblRemoteIP[slot];
        return label.palette().color(label.foregroundRole());
    }
    SocketControl& socket(int slot) { return form->engine().winsock(qint16(slot)); }
    bool occupied(int slot) { return socket(slot).State() == SocketControl::sckConnected; }
    // Connects a client and waits until the server has taken it into a slot.
    std::unique_ptr<TestClient> connectClient(const QString& sourceAddress, int expectedSlot);
    // Listens and takes one client from 127.0.0.2 into slot 1.
    std::unique_ptr<TestClient> serveOneClient();
    // Ticks a slot's capture box with the dialog answering path.
    void captureInto(int slot, const QString& path);
    // A capture file's bytes once the writer has written what it was given so far.
    QByteArray captured(const QString& path);

    std::shared_ptr<DialogScript> dialog = std::make_shared<DialogScript>();
    // As the program has it: the window's closed connections and capture files outlive the window.
    CaptureWriter writer;
    ConnectionPool pool;
    std::unique_ptr<frmPortdeck> form;
    quint16 port = 0;
};

// The numbers docs/behaviour.md promises, written out rather than taken from the code, so that a
// test fails when the code's constants drift from what was promised.
constexpr qint64 kArrivalLimit = 32767;       // bytes one arrival hands over at most
constexpr qint64 kEchoBacklogLimit = 1 << 20; // unsent echo past which a slot stops reading
constexpr qint64 kEchoLinePiece = 16 << 20;   // an echo line without a CR is sent at this size

// Received bytes as the transcript and the capture file hold them: each CR becomes CR LF.
QByteArray crToCrLf(QByteArray bytes);
// A port nothing listens on right now.
quint16 freePort();
// The texts of the operator messages the window shows, closing them.
QStringList takeOperatorMessages();
// Reads a whole file.
QByteArray fileBytes(const QString& path);
