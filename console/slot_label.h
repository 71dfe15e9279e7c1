#pragma once

#include <QHash>
#include <QLabel>
#include <QPalette>

// A slot's address label: sizes itself to its caption and reports a double-click, or the same
// request made without a mouse (its accessible action, the transcript's menu).
//
// A caption changes twice per client, so changing it is kept cheap: the two looks are two
// roles of one palette, and the width a caption needs is measured once and remembered.
class SlotLabel : public QLabel
{
    Q_OBJECT

public:
    enum class Look { Idle, Occupied };

    explicit SlotLabel(qint16 slot, QWidget* parent = nullptr);
    // The label grows or shrinks to the right to show all of the caption. A screen reader hears
    // "Slot 2 " and the caption: a Qt label gives it only its name, so the name carries both.
    void setCaption(const QString& caption);
    // Idle: black text. Occupied: pure red text. The colour drawn is the palette's colour of
    // the foreground role.
    void setLook(Look look);

    // Asks for what a double-click asks for: the slot's client dropped.
    void dropClient() { emit doubleClicked(); }
    // The accessible action that does it.
    static QString dropActionName() { return QStringLiteral("Drop client"); }

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QHash<QString, int> m_widths; // caption -> width it needs in the current font and style
    qint64 m_looksFrom = 0;       // the window palette the looks were made from
    QString m_namePrefix;         // "Slot 2 "
};
