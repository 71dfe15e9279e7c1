#pragma once

#include <QByteArray>
#include <QString>

// What the connection engine needs from the operator console, in the engine's words.
// The window implements it; the engine never sees a widget.
class Console
{
public:
    enum class Box { Server, Echo, Capture };

    virtual ~Console() = default;

    // A check box's value: 0 is cleared, anything else ticked. index names the slot for
    // Echo and Capture and is ignored for Server.
    virtual int checkValue(Box box, qint16 index) const = 0;
    // Sets a check box. A change of value runs the box's click handler before this returns;
    // setting the value it already has runs nothing.
    virtual void setCheckValue(Box box, qint16 index, int value) = 0;
    virtual QString localPortText() const = 0;

    // Idle: black label with the idle caption. Occupied: red label, idle caption + address.
    virtual void showSlotIdle(qint16 index) = 0;
    virtual void showSlotOccupied(qint16 index, const QString& address) = 0;
    // 8-bit text: each byte is the character with that code; a line end is CR LF.
    virtual void AppendTranscript(qint16 index, const QByteArray& text) = 0;

    // Capture file number index: a record goes to it if it is open; closing one that is not
    // open does nothing.
    virtual void writeCaptureRecord(qint16 index, const QByteArray& record) = 0;
    virtual void closeCaptureFile(qint16 index) = 0;

    // Something the operator must know about (a port that cannot be opened, a failed file).
    virtual void tellOperator(const QString& message) = 0;
    // Unloads the window; the program ends with it.
    virtual void unload() = 0;
};
