#include "slot_label.h"

#include <QEvent>

namespace {

// Only the text colour is set; every other role follows the window.
QPalette textPalette(const QColor& colour)
{
    QPalette palette;
    palette.setColor(QPalette::WindowText, colour);
    return palette;
}

// Captions are the idle one and one per client address: few, but a stream of new addresses
// must not grow the memory without bound.
constexpr qsizetype kRememberedWidths = 64;

} // namespace

SlotLabel::SlotLabel(qint16 slot, QWidget* parent) : QLabel(parent), m_namePrefix(tr("Slot %1 ").arg(slot))
{
}

void SlotLabel::setCaption(const QString& caption)
{
    setText(caption);
    setAccessibleName(m_namePrefix + caption);
    auto known = m_widths.constFind(caption);
    if (known == m_widths.cend()) {
        if (m_widths.size() >= kRememberedWidths)
            m_widths.clear();
        known = m_widths.insert(caption, sizeHint().width()); // a full text layout: once per caption
    }
    resize(*known, height());
}

void SlotLabel::setLook(Look look)
{
    static const QPalette idle = textPalette(QColor(0, 0, 0));
    static const QPalette occupied = textPalette(QColor(255, 0, 0));
    setPalette(look == Look::Idle ? idle : occupied);
}

void SlotLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    QLabel::mouseDoubleClickEvent(event);
    emit doubleClicked();
}

void SlotLabel::changeEvent(QEvent* event)
{
    // Widths measured in another font or style no longer hold.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_widths.clear();
    QLabel::changeEvent(event);
}
