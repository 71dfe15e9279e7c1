#pragma once

#include <QLabel>

// A slot's address label: sizes itself to its caption and reports a double-click.
class SlotLabel : public QLabel
{
    Q_OBJECT

public:
    using QLabel::QLabel;
    // The label grows or shrinks to the right to show all of the caption.
    void setCaption(const QString& caption);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
