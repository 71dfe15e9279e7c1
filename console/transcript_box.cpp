#include "transcript_box.h"

#include "frame_clock.h"
#include "key_codes.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

namespace {

constexpr QChar kBlockBreak = QChar::ParagraphSeparator; // how the document holds a line break

// The display shows CR LF as a line break and so holds one character where the exact text
// holds two.
bool isLineEnd(QStringView text, qsizetype i)
{
    return text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
}

} // namespace

TranscriptBox::TranscriptBox(QWidget* parent) : QPlainTextEdit(parent)
{
    // Undo would take back appended traffic as if the operator had typed it.
    setUndoRedoEnabled(false);
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_restTimer.setSingleShot(true);
    connect(&m_restTimer, &QTimer::timeout, this, [this] { clock()->requestFrame(); });
    connect(document(), &QTextDocument::contentsChanged, this, &TranscriptBox::displayEdited);
}

QString TranscriptBox::displayText(QStringView exact, qsizetype run)
{
    // Written through a pointer: this runs over every character of a 32 K arrival.
    QString shown(exact.size() + exact.size() / kDisplayRun + 1, Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(shown.data());
    const char16_t* const begin = out;
    for (qsizetype i = 0; i < exact.size(); ++i) {
        const char16_t c = exact[i].unicode();
        if (isLineEnd(exact, i)) {
            *out++ = u'\n';
            ++i;
            run = 0;
            continue;
        }
        if (run == kDisplayRun) {
            *out++ = u'\n'; // a soft break: no character of the exact text
            run = 0;
        }
        ++run;
        if (c < 0x20)
            *out++ = char16_t(0x2400 + c);
        else if (c == 0x7f)
            *out++ = char16_t(0x2421);
        else
            *out++ = c;
    }
    shown.truncate(out - begin);
    return shown;
}

void TranscriptBox::setText(const QString& text)
{
    m_text = text;
    m_latin1.clear();
    m_appendOnly = false;
    scheduleRender();
}

void TranscriptBox::beginAppend(qsizetype added)
{
    // The old text stays whole or goes whole; the new text always goes in whole.
    if (m_text.size() + m_latin1.size() + added > kKeptCharacters) {
        m_text.clear();
        m_latin1.clear();
        m_appendOnly = false;
    }
    m_caretToEnd = true;
    scheduleRender();
}

void TranscriptBox::appendTranscript(const QString& text)
{
    beginAppend(text.size());
    settle();
    m_text += text;
}

void TranscriptBox::appendLatin1(const QByteArray& text)
{
    beginAppend(text.size());
    m_latin1 += text; // shares the bytes when none wait
}

void TranscriptBox::settle() const
{
    if (m_latin1.isEmpty())
        return;
    m_text += QLatin1String(m_latin1);
    m_latin1.clear();
}

FrameClock* TranscriptBox::clock()
{
    if (!m_clock) {
        m_clock = FrameClock::of(this);
        connect(m_clock, &FrameClock::frameDue, this, &TranscriptBox::frameDue);
    }
    return m_clock;
}

void TranscriptBox::scheduleRender()
{
    if (m_renderWanted)
        return;
    m_renderWanted = true;
    // Rest after a render in proportion to what it cost, so that however fast text arrives,
    // laying it out takes a twentieth of the window's time at most: a flood is shown a few
    // times a second, and a lone change at once.
    const qint64 rest =
        m_sinceRender.isValid()
            ? std::min<qint64>(kRestPerRender * (m_renderCostUs + m_paintCostUs) / 1000, kLongestRestMs) -
                  m_sinceRender.elapsed()
            : 0;
    if (rest > 0)
        m_restTimer.start(int(rest));
    else
        clock()->requestFrame();
}

void TranscriptBox::frameDue()
{
    if (m_renderWanted && !m_restTimer.isActive())
        flushDisplay();
}

void TranscriptBox::flushDisplay()
{
    m_renderWanted = false;
    m_restTimer.stop();
    settle();
    const bool stale = !m_appendOnly || m_text.size() != m_shown.size();
    if (!stale && !m_caretToEnd)
        return;
    QElapsedTimer cost;
    cost.start();
    m_rendering = true;
    if (stale) {
        const QStringView added = QStringView(m_text).mid(m_shown.size());
        const bool splitsLineEnd = m_shown.endsWith(u'\r') && added.startsWith(u'\n');
        if (m_appendOnly && !splitsLineEnd) {
            QTextCursor end(document());
            end.movePosition(QTextCursor::End);
            const qsizetype run = m_shownDisplay.size() - 1 - m_shownDisplay.lastIndexOf(kBlockBreak);
            end.insertText(displayText(added, run));
        } else {
            setPlainText(displayText(m_text));
        }
        m_shown = m_text;
        m_shownDisplay = document()->toRawText();
        m_appendOnly = true;
    }
    if (m_caretToEnd) {
        m_caretToEnd = false;
        QTextCursor caret = textCursor();
        caret.movePosition(QTextCursor::End);
        setTextCursor(caret);
    }
    m_rendering = false;
    m_renderCostUs = cost.nsecsElapsed() / 1000;
    m_sinceRender.start();
}

qsizetype TranscriptBox::exactLength(qsizetype displayUnits) const
{
    // Walks the exact text the way displayText lays it out.
    qsizetype i = 0;
    qsizetype run = 0;
    for (qsizetype unit = 0; unit < displayUnits && i < m_shown.size(); ++unit) {
        if (isLineEnd(m_shown, i)) {
            i += 2;
            run = 0;
        } else if (run == kDisplayRun) {
            run = 0;
        } else {
            ++i;
            ++run;
        }
    }
    return i;
}

qsizetype TranscriptBox::exactTailLength(qsizetype displayUnits) const
{
    return m_shown.size() - exactLength(m_shownDisplay.size() - displayUnits);
}

void TranscriptBox::applyOperatorEdit(qsizetype head, qsizetype tail, const QString& inserted)
{
    settle();
    const QString edited = m_shown.left(head) + inserted + m_shown.right(tail);
    if (m_appendOnly)
        m_text = edited + m_text.mid(m_shown.size()); // text appended since stays after it
    else
        m_text += inserted; // the box was emptied since: an append had put the caret at the end
    m_shown = edited;
}

void TranscriptBox::displayEdited()
{
    if (m_rendering)
        return;
    // The operator changed the display (typing, cut, paste, drag): find what changed and
    // make the same change to the exact text.
    const QString display = document()->toRawText();
    const qsizetype oldSize = m_shownDisplay.size();
    const qsizetype newSize = display.size();
    const qsizetype common = std::min(oldSize, newSize);
    qsizetype prefix = 0;
    while (prefix < common && m_shownDisplay[prefix] == display[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < common - prefix && m_shownDisplay[oldSize - 1 - suffix] == display[newSize - 1 - suffix])
        ++suffix;
    const QStringView changed = QStringView(display).mid(prefix, newSize - prefix - suffix);
    QString inserted;
    for (const QChar c : changed) {
        // Shift+Enter makes the box insert a line separator instead of a paragraph break: both
        // are the operator's line end.
        if (c == kBlockBreak || c == QChar::LineSeparator)
            inserted += u"\r\n";
        else
            inserted += c;
    }
    const qsizetype head = exactLength(prefix);
    const qsizetype tail = exactTailLength(suffix);

    // Where the caret stands in the exact text, in case the display must be laid out again.
    const qsizetype caret = textCursor().position();
    qsizetype caretExact = head + inserted.size();
    if (caret <= prefix)
        caretExact = exactLength(caret);
    else if (caret >= newSize - suffix)
        caretExact = head + inserted.size() + tail - exactTailLength(newSize - caret);

    applyOperatorEdit(head, tail, inserted);
    m_shownDisplay = display;
    // An edit in a long line upsets its soft breaks: lay it out afresh.
    const QString wanted = displayText(m_shown);
    if (wanted != display) {
        m_rendering = true;
        setPlainText(wanted);
        m_shownDisplay = document()->toRawText();
        QTextCursor after = textCursor();
        after.setPosition(int(displayText(QStringView(m_shown).left(caretExact)).size()));
        setTextCursor(after);
        m_rendering = false;
    }
}

void TranscriptBox::replaceSelection(const QString& exact)
{
    const QTextCursor caret = textCursor();
    const qsizetype head = exactLength(caret.selectionStart());
    const qsizetype tail = m_shown.size() - exactLength(caret.selectionEnd());
    const bool inPlace = m_appendOnly;
    applyOperatorEdit(head, tail, exact);
    m_appendOnly = false;
    flushDisplay();
    QTextCursor after = textCursor();
    after.setPosition(inPlace ? int(displayText(QStringView(m_text).left(head + exact.size())).size())
                              : document()->characterCount() - 1);
    setTextCursor(after);
}

void TranscriptBox::paintEvent(QPaintEvent* event)
{
    // Drawing the text lays out what is in view and can cost more than the render before it.
    QElapsedTimer cost;
    cost.start();
    QPlainTextEdit::paintEvent(event);
    m_paintCostUs = cost.nsecsElapsed() / 1000;
}

void TranscriptBox::keyPressEvent(QKeyEvent* event)
{
    // Shift+F10 opens the menu as the Menu key does; neither types a character.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        const QPoint caret = cursorRect().center();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, caret, viewport()->mapToGlobal(caret));
        contextMenuEvent(&menu);
        return;
    }
    for (const qint32 code : characterCodes(event->key(), event->modifiers(), event->text()))
        emit keyTyped(code);
    flushDisplay(); // the key edits what the exact text holds now
    QPlainTextEdit::keyPressEvent(event);
}

void TranscriptBox::inputMethodEvent(QInputMethodEvent* event)
{
    for (const char32_t c : event->commitString().toUcs4())
        emit keyTyped(qint32(c));
    flushDisplay();
    QPlainTextEdit::inputMethodEvent(event);
}

void TranscriptBox::contextMenuEvent(QContextMenuEvent* event)
{
    emit menuOpening();
    flushDisplay();
    // The text box's own menu, then the box's actions that are visible now (the window's
    // "Drop client" while a client is there).
    QMenu* menu = createStandardContextMenu(event->pos());
    menu->setObjectName(QStringLiteral("transcriptMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator(); // collapses when nothing follows it
    menu->addActions(actions());
    menu->popup(event->globalPos());
}

void TranscriptBox::focusInEvent(QFocusEvent* event)
{
    update(); // the frame shows the focus
    QPlainTextEdit::focusInEvent(event);
}

void TranscriptBox::focusOutEvent(QFocusEvent* event)
{
    update();
    QPlainTextEdit::focusOutEvent(event);
}

void TranscriptBox::dropEvent(QDropEvent* event)
{
    flushDisplay();
    QPlainTextEdit::dropEvent(event);
}

QMimeData* TranscriptBox::createMimeDataFromSelection() const
{
    const QTextCursor caret = textCursor();
    const qsizetype head = exactLength(caret.selectionStart());
    auto* data = new QMimeData;
    data->setText(m_shown.mid(head, exactLength(caret.selectionEnd()) - head));
    return data;
}

void TranscriptBox::insertFromMimeData(const QMimeData* source)
{
    if (source->hasText())
        replaceSelection(source->text());
}
