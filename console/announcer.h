#pragma once

#include <QObject>
#include <QString>
#include <array>

class QAccessibleInterface;
class QWidget;

// One message as a screen reader is given it: a notification named with the message.
class Notice : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    QString message;
};

// Tells a screen reader something that happened away from the focus ("Slot 2: client
// 10.0.0.5 connected"), whichever control the operator is on.
//
// From Qt 6.8 on that is an announcement, which screen readers present as it is. Qt 6.4 has no
// announcement event. What its accessibility bridge does pass on is a notification showing, which
// a screen reader presents, with its name, from any application and any control. So there each
// message names a notice and shows it. The notices are no widgets: nothing of them is drawn, and
// the window's controls, their order and what Tab visits stay as they are.
//
// A screen reader skips a showing when another showing of the same object follows, and reads the
// name when it comes to the event: messages in quick succession (two clients arriving at once, a
// client replaced) take turns over a few notices, so that each is heard in its own words.
class Announcer : public QObject
{
    Q_OBJECT

public:
    // Whether this Qt announces (6.8 on), or names and shows notices.
    static constexpr bool kAnnouncements = QT_VERSION >= QT_VERSION_CHECK(6, 8, 0);

    explicit Announcer(QWidget* window);

    // Whether anybody hears a message: a message costs nothing to leave unmade.
    static bool heard();
    void announce(const QString& message);

    // How a notice reads on the accessibility bus; made by the window's accessibility factory.
    static QAccessibleInterface* accessible(Notice* notice);

private:
    QWidget* m_window;
    static constexpr int kNotices = 8;
    std::array<Notice*, kNotices> m_notices{};
    int m_next = 0;
};
