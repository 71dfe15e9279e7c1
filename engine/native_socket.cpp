#include "native_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace native {

namespace {

qint64 failure()
{
    return -qint64(errno);
}

bool setOption(Descriptor socket, int level, int option, int value)
{
    return ::setsockopt(socket, level, option, &value, sizeof value) == 0;
}

QString addressText(const sockaddr_storage& address, quint16* port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        *port = ntohs(v4.sin_port);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        *port = ntohs(v6.sin6_port);
        // An IPv4 client of the dual-stack listener is still plain dotted text.
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
    return QString::fromLatin1(text);
}

Descriptor bindAndListen(int family, quint16 port)
{
    const Descriptor s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return Descriptor(failure());
    // The same port listens again at once after a stop, while old connections are in TIME_WAIT.
    setOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        setOption(s, IPPROTO_IPV6, IPV6_V6ONLY, 0);
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_any;
        v6.sin6_port = htons(port);
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        v4.sin_port = htons(port);
        length = sizeof v4;
    }
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(s, SOMAXCONN) != 0) {
        const auto error = Descriptor(failure());
        ::close(s);
        return error;
    }
    return s;
}

} // namespace

Descriptor listenOn(quint16 port)
{
    const Descriptor s = bindAndListen(AF_INET6, port);
    if (s == -EAFNOSUPPORT || s == -EADDRNOTAVAIL) // a machine without IPv6
        return bindAndListen(AF_INET, port);
    return s;
}

Descriptor accept(Descriptor listener, Peer* peer)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const Descriptor s =
        ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0)
        return Descriptor(failure());
    peer->address = addressText(address, &peer->port);
    return s;
}

quint16 localPort(Descriptor socket)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    quint16 port = 0;
    addressText(address, &port);
    return port;
}

qint64 read(Descriptor socket, char* data, qint64 size)
{
    const ssize_t n = ::recv(socket, data, size_t(size), 0);
    return n >= 0 ? n : failure();
}

qint64 write(Descriptor socket, const char* data, qint64 size)
{
    const ssize_t n = ::send(socket, data, size_t(size), MSG_NOSIGNAL);
    return n >= 0 ? n : failure();
}

qint64 unacknowledged(Descriptor socket)
{
    int count = 0;
    return ::ioctl(socket, SIOCOUTQ, &count) == 0 ? count : failure();
}

void sendAtOnce(Descriptor socket)
{
    setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool finishedSilently(Descriptor socket)
{
    char byte;
    return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void shutdownWrite(Descriptor socket)
{
    ::shutdown(socket, SHUT_WR);
}

void close(Descriptor socket)
{
    ::close(socket);
}

Descriptor reserveDescriptor()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

QList<Descriptor> reserveDescriptors(qsizetype most)
{
    QList<Descriptor> taken;
    while (taken.size() < most) {
        const Descriptor spare = reserveDescriptor();
        if (spare < 0)
            break;
        taken.append(spare);
    }
    return taken;
}

void abort(Descriptor socket)
{
    const linger reset{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(socket);
}

bool wouldBlock(qint64 result)
{
    return result == -EAGAIN || result == -EWOULDBLOCK || result == -EINTR;
}

bool outOfResources(qint64 result)
{
    return result == -EMFILE || result == -ENFILE || shortOfMemory(result);
}

bool shortOfMemory(qint64 result)
{
    return result == -ENOBUFS || result == -ENOMEM;
}

quint64 descriptorLimit()
{
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? quint64(limit.rlim_cur) : 0;
}

bool clientGone(qint64 result)
{
    // What accept(2) reports for a connection that failed before it was taken.
    return result == -ECONNABORTED || result == -EPROTO || result == -EPERM || result == -ENETDOWN ||
           result == -ENOPROTOOPT || result == -EHOSTDOWN || result == -ENONET || result == -EHOSTUNREACH ||
           result == -EOPNOTSUPP || result == -ENETUNREACH;
}

bool peerReset(qint64 result)
{
    return result == -ECONNRESET || result == -EPIPE;
}

QString errorText(qint64 result)
{
    return QString::fromLocal8Bit(std::strerror(int(-result)));
}

} // namespace native
