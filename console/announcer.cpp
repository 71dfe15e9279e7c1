#include "announcer.h"

#include <QAccessibleObject>
#include <QWidget>

namespace {

class Notification : public QAccessibleObject
{
public:
    explicit Notification(Notice* notice) : QAccessibleObject(notice) {}

    QAccessibleInterface* parent() const override
    {
        return QAccessible::queryAccessibleInterface(object()->parent()->parent()); // the window
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override { return {}; }

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? static_cast<Notice*>(object())->message : QString();
    }
};

} // namespace

Announcer::Announcer(QWidget* window) : QObject(window), m_window(window)
{
    setObjectName(QStringLiteral("announcer"));
    if (kAnnouncements)
        return;
    for (Notice*& notice : m_notices)
        notice = new Notice(this);
}

bool Announcer::heard()
{
    return QAccessible::isActive();
}

void Announcer::announce(const QString& message)
{
    if (!heard())
        return;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Politely: a screen reader finishes what it is saying first.
    QAccessibleAnnouncementEvent announcement(m_window, message);
    QAccessible::updateAccessibility(&announcement);
#else
    Notice* notice = m_notices[m_next];
    m_next = (m_next + 1) % kNotices;
    notice->message = message;
    QAccessibleEvent renamed(notice, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&renamed);
    QAccessibleEvent shown(notice, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
#endif
}

QAccessibleInterface* Announcer::accessible(Notice* notice)
{
    return new Notification(notice);
}
