#include "x_display.h"

#include <xcb/damage.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <map>
#include <memory>
#include <poll.h>

namespace bench {

namespace {
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;
} // namespace

XDisplay::XDisplay()
{
    m_connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_connection))
        return;
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    m_root = xcb_setup_roots_iterator(setup).data->root;
    m_minKeycode = setup->min_keycode;
    m_maxKeycode = setup->max_keycode;

    const Reply<xcb_test_get_version_reply_t> xtest(
        xcb_test_get_version_reply(m_connection, xcb_test_get_version(m_connection, 2, 2), nullptr));
    // The protocol wants the version asked before any other damage request.
    const Reply<xcb_damage_query_version_reply_t> damage(xcb_damage_query_version_reply(
        m_connection, xcb_damage_query_version(m_connection, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
        nullptr));
    const xcb_query_extension_reply_t* damageData = xcb_get_extension_data(m_connection, &xcb_damage_id);
    if (!xtest || !damage || !damageData || !damageData->present)
        return;
    m_damageEvent = damageData->first_event + XCB_DAMAGE_NOTIFY;

    const quint8 count = quint8(m_maxKeycode - m_minKeycode + 1);
    const Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, m_minKeycode, count), nullptr));
    if (!mapping)
        return;
    m_keysymsPerKeycode = mapping->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    m_keysyms.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
    m_ok = true;
}

XDisplay::~XDisplay()
{
    xcb_disconnect(m_connection);
}

quint8 XDisplay::keycodeFor(quint32 keysym)
{
    // The first column of each key is what it types without a modifier.
    for (size_t i = 0; m_keysymsPerKeycode > 0 && i < m_keysyms.size(); i += m_keysymsPerKeycode) {
        if (m_keysyms[i] == keysym)
            return quint8(m_minKeycode + i / m_keysymsPerKeycode);
    }
    return 0;
}

void XDisplay::pressKey(quint8 keycode, bool down)
{
    xcb_test_fake_input(m_connection, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        0);
    xcb_flush(m_connection);
}

void XDisplay::typeKey(quint8 keycode)
{
    xcb_test_fake_input(m_connection, XCB_KEY_PRESS, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(m_connection, XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(m_connection);
}

void XDisplay::click(int x, int y)
{
    xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root, qint16(x), qint16(y), 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(m_connection);
}

void XDisplay::focus(quint32 window)
{
    xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_flush(m_connection);
}

void XDisplay::watchScreen()
{
    const quint32 mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    // The root window's damage takes in what is drawn into every window on it.
    m_damage = xcb_generate_id(m_connection);
    xcb_damage_create(m_connection, m_damage, m_root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    xcb_flush(m_connection);
    drainEvents();
}

void XDisplay::drainEvents()
{
    // A round trip: every event the server sent before it is in by then.
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection))
        std::free(event);
}

QRect XDisplay::geometry(quint32 window)
{
    const Reply<xcb_get_geometry_reply_t> reply(
        xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
    return reply ? QRect(reply->x, reply->y, reply->width, reply->height) : QRect();
}

std::optional<XDisplay::Paint> XDisplay::waitForFirstPaint(Clock::time_point deadline)
{
    std::map<quint32, QRect> created;
    std::optional<Paint> paint;
    const int fd = xcb_get_file_descriptor(m_connection);
    while (Clock::now() < deadline) {
        Reply<xcb_generic_event_t> event(xcb_poll_for_event(m_connection));
        if (!event) {
            if (xcb_connection_has_error(m_connection))
                return std::nullopt;
            pollfd readable{fd, POLLIN, 0};
            ::poll(&readable, 1, std::max(1, int(milliseconds(deadline - Clock::now()))));
            continue;
        }
        const Clock::time_point now = Clock::now();
        const quint8 type = event->response_type & 0x7f;
        if (type == XCB_CREATE_NOTIFY) {
            const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event.get());
            created[e->window] = QRect(e->x, e->y, e->width, e->height);
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
            created[e->window] = QRect(e->x, e->y, e->width, e->height);
        } else if (type == XCB_MAP_NOTIFY && !paint) {
            const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event.get());
            if (!e->override_redirect)
                paint = Paint{e->window, created.count(e->window) ? created[e->window] : geometry(e->window), now, {}};
        } else if (type == m_damageEvent && paint) {
            const auto* e = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
            const QRect area(e->area.x, e->area.y, e->area.width, e->area.height);
            if (area.intersects(paint->geometry)) {
                paint->painted = now;
                return paint;
            }
        }
    }
    return std::nullopt;
}

} // namespace bench
