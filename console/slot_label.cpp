#include "slot_label.h"

#include <QEvent>

namespace {

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
    // One palette holds both looks: idle text in the window text colour made black, occupied
    // text in the bright text colour made red. A look is then only which of the two the label
    // draws with, which churn changes twice per client; setting a palette costs far more. The
    // palette follows the window's if that changes.
    const QPalette& window = parentWidget() ? parentWidget()->palette() : palette();
    if (m_looksFrom != window.cacheKey()) {
        m_looksFrom = window.cacheKey();
        QPalette looks = window;
        looks.setColor(QPalette::WindowText, QColor(0, 0, 0));
        looks.setColor(QPalette::BrightText, QColor(255, 0, 0));
        setPalette(looks);
    }
    setForegroundRole(look == Look::Occupied ? QPalette::BrightText : QPalette::WindowText);
    update();
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
