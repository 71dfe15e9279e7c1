// A transcript box, fuzzed: arrivals appended (as text or as a client's Latin-1 bytes), keys
// typed into it and the display brought up to date, in any order. What must hold:
// - an append keeps the old text whole or empties it first, and never cuts the new text;
// - the display is the exact text laid out: CR LF as a line break, every other control byte as
//   its control picture, and a soft break only after a run of kDisplayRun characters; it is the
//   same whether it followed the text append by append or was laid out at once;
// - a key with Alt or Meta types nothing, and a code typed is one character.
// Input: operations, each a byte saying which and the bytes it takes (an arrival: two bytes of
// length, then its bytes).
#include "transcript_box.h"

#include <QApplication>
#include <QKeyEvent>

#include <cstdio>
#include <cstdlib>

namespace {

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_transcript: this does not hold: %s\n", what);
        std::abort();
    }
}

// The display walked against the exact text: every display character accounted for.
void requireLaidOut(QStringView exact, QStringView display)
{
    qsizetype e = 0, run = 0;
    for (const QChar shown : display) {
        if (shown == QChar::ParagraphSeparator && exact.mid(e).startsWith(u"\r\n")) {
            e += 2;
            run = 0;
            continue;
        }
        if (shown == QChar::ParagraphSeparator) {
            require(run == TranscriptBox::kDisplayRun && e < exact.size(), "a soft break only after a full run");
            run = 0;
            continue;
        }
        require(e < exact.size(), "the display shows no more than the text");
        const char16_t c = exact[e++].unicode();
        const char16_t picture = c < 0x20 ? char16_t(0x2400 + c) : c == 0x7f ? char16_t(0x2421) : c;
        require(shown.unicode() == picture && ++run <= TranscriptBox::kDisplayRun, "each character as it is shown");
    }
    require(e == exact.size(), "the display shows the whole text");
}

const int kKeys[] = {Qt::Key_Return, Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Left, Qt::Key_Right,
                     Qt::Key_Home,   Qt::Key_End,       Qt::Key_Escape, Qt::Key_A,    Qt::Key_Z};
const Qt::KeyboardModifiers kModifiers[] = {Qt::NoModifier, Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier,
                                            Qt::MetaModifier};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv); // lives as long as the run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TranscriptBox box;
    QString expected; // the exact text
    int typedByModifier = 0;
    QObject::connect(&box, &TranscriptBox::keyTyped, [&](qint32 code) {
        require(typedByModifier == 0, "Alt and Meta type nothing");
        require(code >= 0 && code <= 0x10ffff, "a code is one character");
    });
    for (size_t i = 0; i + 1 < size;) {
        const uint8_t op = data[i++];
        if (op % 3 == 0 && i + 1 < size) { // an arrival, up to 64 KiB long
            const size_t length = std::min<size_t>(data[i] | data[i + 1] << 8, size - i - 2);
            i += 2;
            const QByteArray bytes(reinterpret_cast<const char*>(data + i), qsizetype(length));
            const QString text = QString::fromLatin1(bytes);
            i += length;
            // Client bytes come as Latin-1 and may wait unread through later operations.
            expected = expected.size() + text.size() > TranscriptBox::kKeptCharacters ? text : expected + text;
            if (op & 4)
                box.appendLatin1(bytes);
            else
                box.appendTranscript(text);
            require(!(op & 8) || box.text() == expected, "an append keeps the old text whole or not at all");
        } else if (op % 3 == 1) { // a key
            const uint8_t k = data[i++];
            const Qt::KeyboardModifiers modifiers = kModifiers[(op >> 2) % std::size(kModifiers)];
            const int key = kKeys[k % std::size(kKeys)];
            const QString text = key == Qt::Key_A || key == Qt::Key_Z ? QString(QChar(k)) : QString();
            typedByModifier = modifiers & (Qt::AltModifier | Qt::MetaModifier) ? 1 : 0;
            QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
            QApplication::sendEvent(&box, &press);
            typedByModifier = 0;
            expected = box.text(); // what a key does is for the display's checks below
        } else {
            box.flushDisplay();
        }
    }
    box.flushDisplay();
    require(box.text() == expected, "the appends in order, however long they waited");
    const QString display = box.document()->toRawText();
    requireLaidOut(box.text(), display);
    require(display == TranscriptBox::displayText(box.text()).replace(u'\n', QChar::ParagraphSeparator),
            "the display followed append by append is the text laid out at once");
    return 0;
}
