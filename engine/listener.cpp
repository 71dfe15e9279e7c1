#include "listener.h"

namespace {
// Retrying after running out of descriptors: soon, then less often.
constexpr int kFirstRetryMs = 100;
constexpr int kLastRetryMs = 1600;
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
    m_reserve = native::reserveDescriptor();
    m_notifier.setSocket(socket);
    m_notifier.setEnabled(true);
    return 0;
}

void Listener::close()
{
    m_retry.stop();
    m_paused = false;
    if (m_socket == native::kNoDescriptor)
        return;
    m_notifier.setEnabled(false);
    native::close(m_socket);
    m_socket = native::kNoDescriptor;
    if (m_reserve >= 0)
        native::close(m_reserve);
    m_reserve = native::kNoDescriptor;
}

void Listener::acceptOne()
{
    native::Peer peer;
    const native::Descriptor socket = native::accept(m_socket, &peer);
    if (socket >= 0) {
        m_paused = false;
        if (m_reserve < 0)
            m_reserve = native::reserveDescriptor();
        emit request(socket, peer);
        return;
    }
    if (native::wouldBlock(socket) || native::clientGone(socket))
        return;
    if (!native::outOfResources(socket)) {
        emit failed(socket);
        return;
    }
    // Clients wait in the kernel meanwhile. The reserve gives the program room to say so.
    m_notifier.setEnabled(false);
    if (m_reserve >= 0) {
        native::close(m_reserve);
        m_reserve = native::kNoDescriptor;
    }
    m_retry.start(m_paused ? std::min(2 * m_retry.interval(), kLastRetryMs) : kFirstRetryMs);
    if (!m_paused) {
        m_paused = true;
        emit paused(socket);
    }
}

void Listener::resume()
{
    if (m_socket != native::kNoDescriptor)
        m_notifier.setEnabled(true);
}
