#pragma once

#include "native_socket.h"

#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

// The listening socket: takes one waiting client per turn of the event loop and offers it.
//
// Running out of descriptors is not the listener's failure: it stops taking clients for a
// moment (they wait in the kernel's backlog), says so once, and takes them again as soon as
// it can. A reserve of descriptors, given up at that moment, leaves the program room to show
// the message: on X a new window needs several (the icon theme's files, a shared-memory
// segment), and without them the X connection breaks and the window stops for good.
class Listener : public QObject
{
    Q_OBJECT

public:
    explicit Listener(QObject* parent = nullptr);
    ~Listener() override;

    // 0, or minus the system's error code.
    qint64 open(quint16 port);
    void close();
    bool isListening() const { return m_socket != native::kNoDescriptor; }
    quint16 port() const { return m_port; }

signals:
    // A client waits with this descriptor; whoever takes it owns it.
    void request(native::Descriptor socket, const native::Peer& peer);
    // Clients cannot be taken for now (error says why); it is retried on its own.
    void paused(qint64 error);
    void failed(qint64 error);

private:
    void acceptOne();
    void resume();
    // Takes a reserve sized from what is free now, leaving as much again free for accepting
    // clients and for the window (a message box, a menu, the file dialog). False when nothing
    // at all is free.
    bool takeReserve();
    void releaseReserve();

    native::Descriptor m_socket = native::kNoDescriptor;
    QList<native::Descriptor> m_reserve;
    quint16 m_port = 0;
    QSocketNotifier m_notifier{QSocketNotifier::Read};
    QTimer m_retry;
    // Out of resources and told so; over once a client is taken with the reserve whole again.
    bool m_paused = false;
};
