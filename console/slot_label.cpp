#include "slot_label.h"

void SlotLabel::setCaption(const QString& caption)
{
    setText(caption);
    resize(sizeHint().width(), height());
}

void SlotLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    QLabel::mouseDoubleClickEvent(event);
    emit doubleClicked();
}
