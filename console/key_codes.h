#pragma once

#include <QList>
#include <QString>
#include <Qt>

// The character codes a key press types, as the transcript box's key handler sees them:
// printable characters give their code (Latin-1 for the 8-bit ones, larger beyond), Enter 13,
// Backspace 8, Escape 27, Ctrl+A..Ctrl+Z 1..26. Delete, arrows, Home/End, function keys,
// Tab and lone modifiers type nothing.
//
// Control codes are taken from the key, not from the event's text: a real X keyboard reports
// Ctrl+C as the text 03 while synthetic events report "c", and both must give 3.
QList<qint32> characterCodes(int key, Qt::KeyboardModifiers modifiers, const QString& text);
