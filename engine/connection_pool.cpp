#include "connection_pool.h"

#include "connection.h"

#include <QEventLoop>
#include <QTimer>

ConnectionPool::ConnectionPool(QObject* parent) : QObject(parent)
{
}

ConnectionPool::~ConnectionPool()
{
    letGoOfAll();
}

Connection* ConnectionPool::open(native::Descriptor socket)
{
    Connection* connection = m_spares.isEmpty() ? new Connection(*this) : m_spares.takeLast();
    connection->start(socket);
    return connection;
}

void ConnectionPool::adopt(Connection* connection)
{
    m_closing.append(connection);
    while (m_closing.size() > 1 && (m_closing.size() > kCountLimit || queuedBytes() > kBytesLimit))
        m_closing.constFirst()->handle(Connection::Event::GivenUp, Connection::Ending::Reset);
}

void ConnectionPool::release(Connection* connection)
{
    m_closing.removeOne(connection);
    if (m_closing.isEmpty() && m_drain)
        m_drain->quit();
    if (m_spares.size() < kSpares)
        m_spares.append(connection);
    else
        connection->deleteLater(); // it may be inside one of its own notifiers' signals
}

void ConnectionPool::drain(int timeoutMs)
{
    if (!m_closing.isEmpty()) {
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        m_drain = &loop;
        loop.exec();
        m_drain = nullptr;
    }
    letGoOfAll();
}

QList<Connection::State> ConnectionPool::closingStates() const
{
    QList<Connection::State> states;
    for (const Connection* c : m_closing)
        states.append(c->state());
    return states;
}

qint64 ConnectionPool::queuedBytes() const
{
    qint64 total = 0;
    for (const Connection* c : m_closing)
        total += c->bytesQueued();
    return total;
}

void ConnectionPool::letGoOfAll()
{
    // What only the program holds is lost: the client is told with a reset. What the kernel
    // holds still reaches the client after the program has gone.
    while (!m_closing.isEmpty()) {
        Connection* oldest = m_closing.constFirst();
        oldest->handle(Connection::Event::GivenUp,
                       oldest->bytesQueued() > 0 ? Connection::Ending::Reset : Connection::Ending::Close);
    }
}
