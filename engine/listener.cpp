#include "listener.h"

namespace {
// Retrying after running out of descriptors: soon, then less often.
constexpr int kFirstRetryMs = 100;
constexpr int kLastRetryMs = 1600;
// Showing the first message box under X needed two descriptors at once (the icon theme's
// cache, with its index and then with the shared-memory segment X hands over for the box's
// pixels); other themes and fonts may want more. Descriptors kept in reserve cost nothing, but
// the reserve takes only half of what is free: the other half is left to clients and the window.
constexpr qsizetype kReserveShare = 2;
} // namespace

Listener::Listener(QObject* parent) : QObject(parent)
{
    m_notifier.setEnabled(false);
    m_retry.setSingleShot(true);
    connect(&m_notifier, &QSocketNotifier::activated, this, &Listener::acceptOne);
    connect(&m_retry, &QTimer::timeout, this, &Listener::resume);
}

Listener::~Listener()
{
    close();
}

qint64 Listener::open(quint16 port)
{
    close();
    const native::Descriptor socket = native::listenOn(port);
    if (socket < 0)
        return socket;
    m_socket = socket;
    m_port = native::localPort(socket); // read once: every connected line shows it
    m_notifier.setSocket(socket);
    resume();
    return 0;
}

void Listener::close()
{
    m_retry.stop();
    m_told = {};
    if (m_socket == native::kNoDescriptor)
        return;
    m_notifier.setEnabled(false);
    native::close(m_socket);
    m_socket = native::kNoDescriptor;
    releaseReserve();
}

void Listener::makeRoom()
{
    if (!m_notifier.isEnabled())
        return;
    // What is free is found by taking it, and given back at once.
    const QList<native::Descriptor> spare = native::reserveDescriptors(kRoom);
    for (const native::Descriptor descriptor : spare)
        native::close(descriptor);
    if (spare.size() < kRoom)
        giveUpReserve();
}

void Listener::acceptOne()
{
    native::Peer peer;
    const native::Descriptor socket = native::accept(m_socket, &peer);
    if (socket >= 0) {
        emit request(socket, peer);
        return;
    }
    if (native::wouldBlock(socket) || native::clientGone(socket))
        return;
    if (!native::outOfResources(socket)) {
        emit failed(socket);
        return;
    }
    giveUpReserve();
    const Told now{socket, native::descriptorLimit()};
    if (now != m_told) {
        m_told = now;
        emit paused(socket);
    }
}

void Listener::giveUpReserve()
{
    // Clients wait in the kernel meanwhile; the reserve gives the window room.
    m_notifier.setEnabled(false);
    releaseReserve();
    m_retry.start(kFirstRetryMs);
}

void Listener::resume()
{
    if (m_socket == native::kNoDescriptor)
        return;
    if (!takeReserve()) {
        m_retry.start(std::min(2 * m_retry.interval(), kLastRetryMs));
        return;
    }
    m_notifier.setEnabled(true);
}

bool Listener::takeReserve()
{
    releaseReserve();
    // What is free is found by taking it; the share beyond the reserve goes back at once.
    const QList<native::Descriptor> free = native::reserveDescriptors(kReserveShare * kReserve);
    const qsizetype kept = std::min(kReserve, free.size() / kReserveShare);
    for (qsizetype i = kept; i < free.size(); ++i)
        native::close(free[i]);
    m_reserve = free.first(kept);
    return !free.isEmpty();
}

void Listener::releaseReserve()
{
    for (const native::Descriptor spare : std::as_const(m_reserve))
        native::close(spare);
    m_reserve.clear();
}
