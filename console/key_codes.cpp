#include "key_codes.h"

QList<qint32> characterCodes(int key, Qt::KeyboardModifiers modifiers, const QString& text)
{
    // Alt and Meta combinations are commands for the desktop, not characters, whatever the key.
    if (modifiers & (Qt::AltModifier | Qt::MetaModifier))
        return {};
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return {13};
    case Qt::Key_Backspace:
        return {8};
    case Qt::Key_Escape:
        return {27};
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
        return {};
    default:
        break;
    }
    if (modifiers & Qt::ControlModifier) {
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            return {key - Qt::Key_A + 1};
        // Ctrl with punctuation ([, \, ]): a real keyboard reports the control character.
        if (text.size() == 1 && text.front().unicode() < 0x20)
            return {text.front().unicode()};
        return {};
    }
    QList<qint32> codes;
    for (const char32_t c : text.toUcs4())
        codes.append(qint32(c));
    return codes;
}
