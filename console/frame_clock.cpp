#include "frame_clock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

FrameClock* FrameClock::of(QWidget* widget)
{
    QWidget* window = widget->window();
    auto* clock = window->findChild<FrameClock*>(QString(), Qt::FindDirectChildrenOnly);
    return clock ? clock : new FrameClock(window);
}

FrameClock::FrameClock(QWidget* window) : QObject(window), m_window(window)
{
    m_held.setSingleShot(true);
    m_held.setTimerType(Qt::PreciseTimer);
    connect(&m_held, &QTimer::timeout, this, &FrameClock::drawHeldFrame);
    window->installEventFilter(this);
}

void FrameClock::requestFrame()
{
    if (m_posted || m_held.isActive())
        return;
    m_posted = true;
    // The same event the window posts itself when a control changes; a second one is merged.
    QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

bool FrameClock::idle() const
{
    return !m_posted && !m_held.isActive() && (!m_sinceFrame.isValid() || m_sinceFrame.elapsed() >= kFrameMs);
}

bool FrameClock::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest)
        return false;
    m_posted = false;
    if (m_sinceFrame.isValid() && m_sinceFrame.elapsed() < kFrameMs) {
        // Too soon: the window draws once the frame is due, with everything changed by then.
        if (!m_held.isActive())
            m_held.start(int(kFrameMs - m_sinceFrame.elapsed()));
        return true;
    }
    m_held.stop();
    m_sinceFrame.start();
    emit frameDue();
    return false; // the window repaints what is dirty
}

void FrameClock::drawHeldFrame()
{
    QEvent frame(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(m_window, &frame);
}
