#include "slot_label.h"

void SlotLabel::setCaption(const QString& caption)
{
    setText(caption);
    setAccessibleName(tr("Slot %1 ").arg(m_slot) + caption);
    resize(sizeHint().width(), height());
}

void SlotLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    QLabel::mouseDoubleClickEvent(event);
    emit doubleClicked();
}
