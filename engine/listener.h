#pragma once

#include "native_socket.h"

#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

// The listening socket: takes one waiting client per turn of the event loop and offers it.
//
// Running out of descriptors is not the listener's failure: it stops taking clients for a
// moment (they wait in the kernel's backlog), says so, and takes them again as soon as it can.
// A reserve of descriptors, given up at that moment, leaves the window room to show the message:
// on X a new window needs several (the icon theme's files, a shared-memory segment), and without
// them the X connection breaks and the window stops for good.
//
// What always holds:
// - The notifier is on only while the reserve is held: a reserve sized from what was free when
//   it was taken, half of it and at most kReserve, so that as much again was left to clients.
// - Short (the retry timer runs) means the reserve was given up and clients wait; every retry
//   sizes the reserve afresh, so a limit lowered or raised meanwhile is followed, and any free
//   descriptor lets a client in.
// - The operator is told of a shortage once for each error and descriptor limit: the same
//   shortage coming back at an unchanged limit is not told again, a shortage at another limit
//   is. Listening anew forgets what was told.
class Listener : public QObject
{
    Q_OBJECT

public:
    // Descriptors given up at most, and how many the window needs free to open a window of its own.
    static constexpr qsizetype kReserve = 32;
    static constexpr int kRoom = 4;

    explicit Listener(QObject* parent = nullptr);
    ~Listener() override;

    // 0, or minus the system's error code.
    qint64 open(quint16 port);
    void close();
    bool isListening() const { return m_socket != native::kNoDescriptor; }
    quint16 port() const { return m_port; }
    // The window is about to open a window of its own (a message, the file dialog, a menu):
    // with fewer than kRoom descriptors free besides the reserve, the reserve is given up for it
    // now, and clients are taken again once it can be had back.
    void makeRoom();

signals:
    // A client waits with this descriptor; whoever takes it owns it.
    void request(native::Descriptor socket, const native::Peer& peer);
    // Clients cannot be taken for now (error says why); it is retried on its own.
    void paused(qint64 error);
    void failed(qint64 error);

private:
    void acceptOne();
    void giveUpReserve();
    void resume();
    // Takes a reserve sized from what is free now. False when nothing at all is free.
    bool takeReserve();
    void releaseReserve();

    native::Descriptor m_socket = native::kNoDescriptor;
    QList<native::Descriptor> m_reserve;
    quint16 m_port = 0;
    QSocketNotifier m_notifier{QSocketNotifier::Read};
    QTimer m_retry;
    // The shortage the operator was last told of.
    struct Told {
        qint64 error = 0;
        quint64 limit = 0;
        bool operator==(const Told&) const = default;
    } m_told;
};
