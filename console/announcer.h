#pragma once

#include <QObject>
#include <QString>

class QAccessibleInterface;
class QWidget;

// Tells a screen reader something that happened away from the focus ("Slot 2: client
// 10.0.0.5 connected"), whichever control the operator is on.
//
// Qt 6.4 has no announcement event. The announcer is a notification for the accessibility bus:
// each message renames it and shows it afresh, and a screen reader presents a notification that
// shows, with its name, from any application and any control. It is no widget: nothing of it is
// drawn, and the window's controls, their order and what Tab visits stay as they are.
class Announcer : public QObject
{
    Q_OBJECT

public:
    explicit Announcer(QWidget* window);

    void announce(const QString& message);
    const QString& message() const { return m_message; }

    // The notification a screen reader is given; made by the window's accessibility factory.
    static QAccessibleInterface* accessible(Announcer* announcer);

private:
    QWidget* m_window;
    QString m_message;
};
