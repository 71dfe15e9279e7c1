#pragma once

#include <QLabel>

// A slot's address label: sizes itself to its caption and reports a double-click.
class SlotLabel : public QLabel
{
    Q_OBJECT

public:
    explicit SlotLabel(qint16 slot, QWidget* parent = nullptr) : QLabel(parent), m_slot(slot) {}
    // The label grows or shrinks to the right to show all of the caption. A screen reader hears
    // "Slot 2 " and the caption: a Qt label gives it only its name, so the name carries both.
    void setCaption(const QString& caption);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    qint16 m_slot;
};
