#include "transcript_box.h"

#include "key_codes.h"

#include <QElapsedTimer>
#include <QKeyEvent>
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
    m_renderTimer.setSingleShot(true);
    connect(&m_renderTimer, &QTimer::timeout, this, &TranscriptBox::flushDisplay);
    connect(document(), &QTextDocument::contentsChanged, this, &TranscriptBox::displayEdited);
}

QString TranscriptBox::displayText(QStringView exact)
{
    QString shown;
    shown.reserve(exact.size());
    for (qsizetype i = 0; i < exact.size(); ++i) {
        const char16_t c = exact[i].unicode();
        if (isLineEnd(exact, i)) {
            shown += u'\n';
            ++i;
        } else if (c < 0x20) {
            shown += QChar(char16_t(0x2400 + c));
        } else if (c == 0x7f) {
            shown += QChar(char16_t(0x2421));
        } else {
            shown += QChar(c);
        }
    }
    return shown;
}

void TranscriptBox::setText(const QString& text)
{
    m_text = text;
    m_appendOnly = false;
    scheduleRender();
}

void TranscriptBox::appendTranscript(const QString& text)
{
    // The old text stays whole or goes whole; the new text always goes in whole.
    if (m_text.size() + text.size() > kKeptCharacters) {
        m_text.clear();
        m_appendOnly = false;
    }
    m_text += text;
    m_caretToEnd = true;
    scheduleRender();
}

void TranscriptBox::scheduleRender()
{
    // Wait a little longer after an expensive render, so that layout never takes more than
    // about a fifth of the window's time however fast text arrives.
    if (!m_renderTimer.isActive())
        m_renderTimer.start(int(std::clamp<qint64>(4 * m_renderCost, 10, 250)));
}

void TranscriptBox::flushDisplay()
{
    m_renderTimer.stop();
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
            end.insertText(displayText(added));
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
    m_renderCost = cost.elapsed();
}

qsizetype TranscriptBox::exactLength(qsizetype displayUnits) const
{
    qsizetype i = 0;
    for (qsizetype unit = 0; unit < displayUnits && i < m_shown.size(); ++unit)
        i += isLineEnd(m_shown, i) ? 2 : 1;
    return i;
}

qsizetype TranscriptBox::exactTailLength(qsizetype displayUnits) const
{
    qsizetype j = m_shown.size();
    for (qsizetype unit = 0; unit < displayUnits && j > 0; ++unit)
        j -= (j >= 2 && isLineEnd(m_shown, j - 2)) ? 2 : 1;
    return m_shown.size() - j;
}

void TranscriptBox::applyOperatorEdit(qsizetype head, qsizetype tail, const QString& inserted)
{
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
    QString inserted;
    for (const QChar c : QStringView(display).mid(prefix, newSize - prefix - suffix)) {
        if (c == kBlockBreak)
            inserted += u"\r\n";
        else
            inserted += c;
    }
    applyOperatorEdit(exactLength(prefix), exactTailLength(suffix), inserted);
    m_shownDisplay = display;
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

void TranscriptBox::keyPressEvent(QKeyEvent* event)
{
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
    flushDisplay();
    QPlainTextEdit::contextMenuEvent(event);
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
