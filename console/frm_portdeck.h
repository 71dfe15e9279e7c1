#pragma once

#include "capture_files.h"
#include "common_dialog.h"
#include "connection_engine.h"
#include "slot_label.h"

#include <QWidget>
#include <array>
#include <memory>

class Announcer;
class QAction;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QStyle;
class TranscriptBox;

// The one window: the top row, the four slot panels, and everything the connection engine
// shows or reads. It owns the engine, the capture files and the file dialog.
class frmPortdeck : public QWidget, private Console
{
    Q_OBJECT

public:
    static constexpr qint16 kSlots = ConnectionEngine::kSlots;

    // pool: the connections of the slots, where the closed ones finish; writer: where the capture
    // files' records are written. The caller keeps both beyond the window.
    // dialog: the capture file dialog; the real one when none is given.
    frmPortdeck(ConnectionPool& pool, CaptureWriter& writer, std::unique_ptr<CommonDialog> dialog = {},
                QWidget* parent = nullptr);
    ~frmPortdeck() override;

    ConnectionEngine& engine() { return m_engine; }
    bool captureOpen(qint16 index) const { return m_captureFiles.isOpen(index); }

    // The controls, by their names; element 0 of the slot arrays is unused.
    QCheckBox* chkServer = nullptr;
    QLineEdit* txtLocalPort = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdExit = nullptr;
    std::array<SlotLabel*, kSlots + 1> lblRemoteIP{};
    std::array<QCheckBox*, kSlots + 1> chkEcho{};
    std::array<QCheckBox*, kSlots + 1> chkCapture{};
    std::array<TranscriptBox*, kSlots + 1> txtDecription{};

    QString strIdleCaption;

protected:
    void changeEvent(QEvent* event) override;

private:
    void buildControls();
    void connectEvents();
    void Form_Load();
    void cmdClear_Click();
    void chkCapture_Click(qint16 index);
    QCheckBox* checkBox(Box box, qint16 index) const;
    // Before the window opens a window of its own (a message, the file dialog, a menu): the
    // listener gives up its reserve if descriptors are short, so that the new window can show.
    void makeRoom();

    // Console
    int checkValue(Box box, qint16 index) const override;
    void setCheckValue(Box box, qint16 index, int value) override;
    QString localPortText() const override;
    void showSlotIdle(qint16 index) override;
    void showSlotOccupied(qint16 index, const QString& address) override;
    void AppendTranscript(qint16 index, const QByteArray& text) override;
    void writeCaptureRecord(qint16 index, const QByteArray& record) override;
    void closeCaptureFile(qint16 index) override;
    void tellOperator(const QString& message) override;
    void unload() override;

    std::unique_ptr<QStyle> m_style;
    std::unique_ptr<CommonDialog> CommonDialog1;
    CaptureFiles m_captureFiles;
    ConnectionEngine m_engine;
    Announcer* m_announcer;                          // tells a screen reader of arrivals and departures
    std::array<QAction*, kSlots + 1> m_dropClient{}; // in each transcript's menu while a client is there
    std::array<QString, kSlots + 1> m_clientShown;   // the address each label shows, empty when idle
};
