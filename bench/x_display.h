#pragma once

// The benchmark's own connection to the X server, beside whatever Qt holds: it types and
// clicks through XTEST, as a keyboard and a mouse would, and sees windows appear and their
// first pixels arrive through the DAMAGE extension, from outside the program that draws them.

#include "bench_support.h"

#include <QRect>

#include <optional>

struct xcb_connection_t;

namespace bench {

class XDisplay
{
public:
    // Connects to $DISPLAY; ok() tells whether that worked and the extensions are there.
    XDisplay();
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    bool ok() const { return m_ok; }

    // The key that types keysym, with no modifier; 0 if the keyboard has none.
    quint8 keycodeFor(quint32 keysym);
    // A press and a release of the key, sent to the server before this returns.
    void typeKey(quint8 keycode);
    void pressKey(quint8 keycode, bool down);
    // A left click at a point of the screen.
    void click(int x, int y);
    // Gives the keyboard to a top-level window, as a window manager would.
    void focus(quint32 window);

    // From here on, notes windows being mapped and the damage done to the screen.
    void watchScreen();
    struct Paint {
        quint32 window = 0;
        QRect geometry;
        Clock::time_point mapped;
        Clock::time_point painted;
    };
    // Waits for the next top-level window to be mapped and then for the first damage inside it.
    std::optional<Paint> waitForFirstPaint(Clock::time_point deadline);
    // Forgets the events seen so far.
    void drainEvents();

private:
    // A top-level window's place on the screen (no window manager reparents it).
    QRect geometry(quint32 window);

    xcb_connection_t* m_connection = nullptr;
    quint32 m_root = 0;
    quint32 m_damage = 0;
    quint8 m_damageEvent = 0;
    bool m_ok = false;
    quint8 m_minKeycode = 0;
    quint8 m_maxKeycode = 0;
    std::vector<quint32> m_keysyms;
    quint8 m_keysymsPerKeycode = 0;
};

} // namespace bench
