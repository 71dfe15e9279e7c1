#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

// Paints a window at most once per frame, whatever the event rate.
//
// Every change to a control marks part of the window dirty and asks for a repaint, and on X
// each repaint begins with a round trip to the server. Under connection churn that was most of
// the program's work. The clock lets a repaint through when the last one was at least a frame
// ago (so a lone change still shows at once) and otherwise holds it until the frame is due, when
// one repaint draws everything that changed meanwhile. The controls themselves change at once;
// only their pixels wait.
class FrameClock : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFrameMs = 16;

    // The clock of widget's window; the window gets one the first time it is asked for.
    static FrameClock* of(QWidget* widget);

    // Asks for a frame although nothing may be marked dirty: frameDue() comes with it.
    void requestFrame();
    // No frame is waiting, and the next change will be drawn at once.
    bool idle() const;

signals:
    // A frame is about to be drawn: bring what is shown up to date now.
    void frameDue();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit FrameClock(QWidget* window);
    void drawHeldFrame();

    QWidget* m_window;
    QElapsedTimer m_sinceFrame;
    QTimer m_held;         // runs while a repaint is held back
    bool m_posted = false; // a repaint request of ours is on its way
};
