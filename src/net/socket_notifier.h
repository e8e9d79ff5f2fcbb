#pragma once

// Socket readiness from the event loop turned into (socket, event, error)
// notifications: read 1, accept 8, connect 16, close 32, with an error number
// above 10000 when the event carries an error. Internal to the socket layer.
//
// Ownership: the registry owns one record per registered descriptor; the
// components own the descriptors and cancel the record before they close one.

#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace varnok::net {

// A connect that the peer never answers fails after this long, with 10060.
constexpr int kConnectTimeoutMs = 21000;

using NotifySink = std::function<void(int socket, int event, int error)>;

// The notification number for an errno value: its socket error number, or,
// for an errno without one, 20000 + errno, so that it still reads as an error.
int notificationError(int err);

// Registers fd for the events in mask (a combination of SocketEvent values);
// sink receives its notifications on the loop's thread, one per readiness
// round. A mask with accept watches a listening socket; one with connect
// watches a connect under way (and times it out), then reading; any other
// mask watches a connected socket. Mask 0 cancels: no notification for fd is
// delivered afterwards. Returns false, with errno set, when epoll refuses.
bool registerSocket(EventLoop& loop, int fd, int mask, NotifySink sink);
// Mask 0 of the above: cancels every further notification for fd.
void cancelSocket(int fd);
// For a connected socket (or a listener: whether to accept): whether read
// notifications are wanted (off while
// the owner pauses reading; a broken connection is still reported), and
// whether write notifications (kEventWrite, the socket can take more bytes)
// are wanted. Reading starts on, writing off. No effect on an unknown fd.
void setSocketInterest(int fd, bool read, bool write);

}  // namespace varnok::net
