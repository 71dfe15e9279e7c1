#pragma once

#include "native_socket.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

// The listening socket: takes one waiting client per turn of the event loop and offers it.
//
// Running out of descriptors is not the listener's failure: it stops taking clients for a
// moment (they wait in the kernel's backlog), says so once, and takes them again as soon as
// it can.
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

    native::Descriptor m_socket = native::kNoDescriptor;
    native::Descriptor m_reserve = native::kNoDescriptor;
    quint16 m_port = 0;
    QSocketNotifier m_notifier{QSocketNotifier::Read};
    QTimer m_retry;
    bool m_paused = false;
};
