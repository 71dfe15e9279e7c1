#pragma once

#include "connection.h"

#include <QList>
#include <QObject>

class QEventLoop;

// Every connection object of the program. Open connections are lent to their sockets; the pool
// keeps the closed ones still delivering their last bytes (oldest first), and the ended ones,
// emptied, as spares for the next clients, so that a stream of short connections does not build
// and tear down one object per client.
//
// Whoever owns the sockets' window creates the pool and hands it down, and keeps it after the
// window is gone: closed connections outlive the slot and the window that closed them, and at
// exit the program gives them a little while (drain). Destroying the pool lets go of the rest.
class ConnectionPool : public QObject
{
    Q_OBJECT

public:
    // No client can pile up descriptors or memory in closing connections: beyond these the oldest
    // gives way.
    static constexpr int kCountLimit = 16;
    static constexpr qint64 kBytesLimit = 16 << 20;

    explicit ConnectionPool(QObject* parent = nullptr);
    ~ConnectionPool() override;

    // A connection on an accepted socket: a spare where there is one, else a new one.
    Connection* open(native::Descriptor socket);

    // Runs the event loop until every closed connection has ended or timeoutMs has passed, then
    // lets go of those left: what the kernel holds still reaches their clients.
    void drain(int timeoutMs);

    int closingCount() const { return int(m_closing.size()); }
    // What each closing connection waits for, oldest first.
    QList<Connection::State> closingStates() const;

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
