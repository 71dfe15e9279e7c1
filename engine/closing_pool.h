#pragma once

#include "native_socket.h"

#include <QList>
#include <QObject>

class Connection;
class QEventLoop;

// Every connection object of the program: the ones closed and still delivering their last bytes
// (oldest first), and the ones that ended and wait to serve another client. Open connections
// belong to their sockets until they are closed.
//
// Whoever owns the sockets' window creates the pool and hands it down, and keeps it after the
// window is gone: closed connections outlive the slot and the window that closed them, and at
// exit the program gives them a little while (drain). Destroying the pool lets go of the rest.
class ClosingPool : public QObject
{
    Q_OBJECT

public:
    // No client can pile up descriptors or memory here: beyond these the oldest gives way.
    static constexpr int kCountLimit = 16;
    static constexpr qint64 kBytesLimit = 16 << 20;

    explicit ClosingPool(QObject* parent = nullptr);
    ~ClosingPool() override;

    // A connection on an accepted socket, an ended one used again where there is one, so that a
    // stream of short connections does not build and tear down one object per client.
    Connection* open(native::Descriptor socket);

    // Runs the event loop until every closed connection has ended or timeoutMs has passed, then
    // lets go of those left: what the kernel holds still reaches their clients.
    void drain(int timeoutMs);

    int closingCount() const { return int(m_closing.size()); }

private:
    friend class Connection;
    void adopt(Connection* connection);
    void release(Connection* connection);
    qint64 queuedBytes() const;
    void letGoOfAll();

    static constexpr qsizetype kSpares = 8;

    QList<Connection*> m_closing;
    QList<Connection*> m_spares;
    QEventLoop* m_drain = nullptr;
};
