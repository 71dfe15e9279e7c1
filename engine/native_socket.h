#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// The native socket calls of the connection layer, all in this file pair: a port to another
// platform replaces native_socket.cpp and nothing else.
//
// Every call is non-blocking. A call that can fail returns a negative number: minus the
// system's error code.
namespace native {

using Descriptor = int;
constexpr Descriptor kNoDescriptor = -1;

struct Peer {
    QString address; // dotted for IPv4, also when it came in over IPv6
    quint16 port = 0;
};

// A listening socket on port, for IPv4 and IPv6 clients alike where the machine has IPv6,
// or minus the error code.
Descriptor listenOn(quint16 port);
// The next waiting client with its address; -EAGAIN when none waits.
Descriptor accept(Descriptor listener, Peer* peer);
quint16 localPort(Descriptor socket);

// Bytes read (at most size), 0 when the peer has finished sending, or minus the error code.
qint64 read(Descriptor socket, char* data, qint64 size);
// Bytes the kernel took (at most size), or minus the error code. Never raises SIGPIPE.
qint64 write(Descriptor socket, const char* data, qint64 size);
// Bytes sent but not yet acknowledged by the peer, our FIN included.
qint64 unacknowledged(Descriptor socket);
// Turns Nagle's algorithm off: a typed key goes out at once, not after the last one's
// acknowledgement.
void sendAtOnce(Descriptor socket);
// The peer has finished sending and sent nothing that is still unread.
bool finishedSilently(Descriptor socket);
// Sends FIN after what is queued; reading goes on.
void shutdownWrite(Descriptor socket);
void close(Descriptor socket);
// One descriptor to keep in reserve and close when the process has run out, so that the
// program can still tell the operator (showing a message opens files and, on X, receives a
// shared-memory segment as a descriptor).
Descriptor reserveDescriptor();
// As many such descriptors as can be opened now, up to most.
QList<Descriptor> reserveDescriptors(qsizetype most);
// Closes with a reset: the kernel drops what it still holds for the peer at once.
void abort(Descriptor socket);

bool wouldBlock(qint64 result);
// An accept that failed for want of descriptors or memory: nothing is wrong with the listener.
bool outOfResources(qint64 result);
// A send that failed for want of kernel memory: nothing is wrong with the connection, and the
// same bytes can go a moment later.
bool shortOfMemory(qint64 result);
// The process's descriptor limit now (the soft one), which may change while the program runs.
quint64 descriptorLimit();
// An accept that failed because of that one client (it went away before it was taken).
bool clientGone(qint64 result);
// The system's own words for an error code ("Connection reset by peer").
QString errorText(qint64 result);
// The peer reset the connection or can no longer take what we send.
bool peerReset(qint64 result);

} // namespace native
