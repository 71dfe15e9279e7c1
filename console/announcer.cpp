#include "announcer.h"

#include <QAccessibleObject>
#include <QWidget>

namespace {

class Notification : public QAccessibleObject
{
public:
    Notification(Announcer* announcer, QWidget* window) : QAccessibleObject(announcer), m_window(window) {}

    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_window); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override { return {}; }

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? static_cast<Announcer*>(object())->message() : QString();
    }

private:
    QWidget* m_window;
};

} // namespace

Announcer::Announcer(QWidget* window) : QObject(window), m_window(window)
{
    setObjectName(QStringLiteral("announcer"));
}

void Announcer::announce(const QString& message)
{
    m_message = message;
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent renamed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&renamed);
    QAccessibleEvent shown(this, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

QAccessibleInterface* Announcer::accessible(Announcer* announcer)
{
    return new Notification(announcer, announcer->m_window);
}
