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
    // The looks are the window's palette with another text colour, every role given, so that
    // Qt has nothing to merge when one is set. They follow the window's palette if it changes.
    const QPalette& window = parentWidget() ? parentWidget()->palette() : palette();
    if (m_looksFrom != window.cacheKey()) {
        m_looksFrom = window.cacheKey();
        for (const auto& [which, colour] :
             {std::pair{Look::Idle, QColor(0, 0, 0)}, {Look::Occupied, QColor(255, 0, 0)}}) {
            QPalette& prepared = m_looks[int(which)];
            prepared = window;
            prepared.setColor(QPalette::WindowText, colour);
            prepared.setResolveMask(~QPalette::ResolveMask(0));
        }
    }
    setPalette(m_looks[int(look)]);
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
