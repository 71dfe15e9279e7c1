#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>

class FrameClock;

// One slot's transcript: an editable box whose exact text it keeps itself.
//
// The text document of a Qt text box turns CR LF, a lone CR and a lone LF alike into one line
// break, so it cannot hold the transcript. The box therefore keeps the exact text (a line end
// is the two characters CR LF, the operator's typing included) and shows a rendering of it:
// CR LF as a line break, every other control character as its control picture (a lone LF as
// "␊", NUL as "␀"). Everything that counts (the 150-character rule, copy and paste, typing,
// the tests) works on the exact text.
//
// Laying out text is the slowest thing the window does, so the display follows the exact
// text once per frame of the window's frame clock instead of being re-laid out per append
// (less often after an expensive layout), and a long line is shown with a soft break every
// kDisplayRun characters.
class TranscriptBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    // An append that would take the text past this many characters first empties the box.
    static constexpr qsizetype kKeptCharacters = 150;
    // Qt lays out a paragraph whole, and only the paragraphs in view. A run of characters
    // without a line end is therefore shown in paragraphs of at most this many characters, so
    // that showing a 32 K arrival costs what is in view, not the whole line.
    static constexpr qsizetype kDisplayRun = 1024;
    // After a render the display rests this many times as long as the render took, and never
    // longer than kLongestRestMs.
    static constexpr qint64 kRestPerRender = 19;
    static constexpr qint64 kLongestRestMs = 250;

    explicit TranscriptBox(QWidget* parent = nullptr);

    const QString& text() const
    {
        settle();
        return m_text;
    }
    void setText(const QString& text);
    // Adds text at the very end, whatever the caret or selection; the caret ends after it.
    void appendTranscript(const QString& text);
    // The same for Latin-1 text (a client's bytes). A flood replaces the text many times between
    // two frames, so the bytes are made the box's text only when it is read or shown.
    void appendLatin1(const QByteArray& text);
    // Brings the display up to the exact text now.
    void flushDisplay();

    // What the display shows for an exact text; run is how many characters already stand
    // on the display's last line.
    static QString displayText(QStringView exact, qsizetype run = 0);

signals:
    // A key typed a character; emitted before the box handles the key.
    void keyTyped(qint32 code);
    // The box's menu is about to open (a window of its own).
    void menuOpening();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    // The menu (right button, Menu key or Shift+F10) adds the box's visible actions to the
    // text box's own.
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    QMimeData* createMimeDataFromSelection() const override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void displayEdited();
    void applyOperatorEdit(qsizetype head, qsizetype tail, const QString& inserted);
    // Makes room for this many characters at the end (emptying the box if they would take it
    // past kKeptCharacters) and has them shown.
    void beginAppend(qsizetype added);
    void settle() const;
    void scheduleRender();
    void frameDue();
    FrameClock* clock();
    void replaceSelection(const QString& exact);
    qsizetype exactLength(qsizetype displayUnits) const;
    qsizetype exactTailLength(qsizetype displayUnits) const;

    mutable QString m_text;      // the exact text, but for m_latin1
    mutable QByteArray m_latin1; // appended after m_text, not yet made part of it
    QString m_shown;             // the exact text the display now shows
    QString m_shownDisplay;      // the display's own text (block breaks as U+2029)
    bool m_rendering = false;    // the display is being changed by us, not by the operator
    bool m_appendOnly = true;    // since the last render, text was only added at the end
    bool m_caretToEnd = false;
    bool m_renderWanted = false;
    QTimer m_restTimer; // runs while the display rests after an expensive render
    QElapsedTimer m_sinceRender;
    qint64 m_renderCostUs = 0; // what the last render took
    qint64 m_paintCostUs = 0;  // what the last paint took: the rest of a render's cost
    QPointer<FrameClock> m_clock;
};
