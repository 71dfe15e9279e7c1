#include "accessible_controls.h"

#include "announcer.h"
#include "frm_portdeck.h"
#include "slot_label.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QPushButton>

namespace {

// Runs what an action asks for in the next turn of the event loop: the accessibility bus sends
// its reply when the action returns, and a screen reader that waits for a reply must not wait
// for a modal dialog the action opened (the capture box's file dialog). As with a click, nothing
// reaches the window while a dialog in front of it waits for an answer.
template <typename Act> void afterReply(QWidget* target, Act act)
{
    QMetaObject::invokeMethod(
        target,
        [target, act] {
            const QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == target->window())
                act();
        },
        Qt::QueuedConnection);
}

// A button or check box of the window: read as Qt reads it, acted on like a click.
class WindowButton : public QAccessibleWidget
{
public:
    WindowButton(QAbstractButton* button, QAccessible::Role role) : QAccessibleWidget(button, role) {}

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = button()->isCheckable();
        state.checked = button()->isChecked();
        state.pressed = button()->isDown();
        return state;
    }

    QString text(QAccessible::Text t) const override
    {
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty())
            text = button()->text().remove(u'&');
        return text;
    }

    QStringList actionNames() const override
    {
        QStringList names;
        if (widget()->isEnabled())
            names << (button()->isCheckable() ? toggleAction() : pressAction());
        return names + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& name) override
    {
        if (!widget()->isEnabled())
            return;
        if (name == toggleAction() || name == pressAction())
            afterReply(button(), [button = button()] { button->click(); });
        else
            QAccessibleWidget::doAction(name);
    }

private:
    QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
};

// A slot's label: its name is its caption with the slot number; its one action drops the
// slot's client as a double-click does.
class SlotLabelAccessible : public QAccessibleWidget
{
public:
    explicit SlotLabelAccessible(SlotLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QStringList actionNames() const override
    {
        return QStringList{SlotLabel::dropActionName()} + QAccessibleWidget::actionNames();
    }

    QString localizedActionName(const QString& name) const override
    {
        return name == SlotLabel::dropActionName() ? SlotLabel::tr("Drop client")
                                                   : QAccessibleWidget::localizedActionName(name);
    }

    QString localizedActionDescription(const QString& name) const override
    {
        return name == SlotLabel::dropActionName()
                   ? SlotLabel::tr("Closes the connection of this slot's client, as a double-click does")
                   : QAccessibleWidget::localizedActionDescription(name);
    }

    void doAction(const QString& name) override
    {
        if (name == SlotLabel::dropActionName())
            afterReply(widget(), [label = static_cast<SlotLabel*>(widget())] { label->dropClient(); });
        else
            QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface* portdeckAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String(frmPortdeck::staticMetaObject.className())) {
        // Qt reports a plain QWidget window as a "client" area, which a screen reader hears as
        // a filler.
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    if (className == QLatin1String(SlotLabel::staticMetaObject.className()))
        return new SlotLabelAccessible(static_cast<SlotLabel*>(object));
    if (className == QLatin1String(Notice::staticMetaObject.className()))
        return Announcer::accessible(static_cast<Notice*>(object));
    // Only the window's own buttons: those of the dialogs keep Qt's ways.
    auto* button = qobject_cast<QAbstractButton*>(object);
    if (button && qobject_cast<frmPortdeck*>(button->parentWidget())) {
        if (className == QLatin1String("QCheckBox"))
            return new WindowButton(button, QAccessible::CheckBox);
        if (className == QLatin1String("QPushButton"))
            return new WindowButton(button, QAccessible::Button);
    }
    return nullptr;
}

} // namespace

void installAccessibleControls()
{
    static bool installed = false;
    if (!std::exchange(installed, true))
        QAccessible::installFactory(portdeckAccessible);
}
