#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "encoder/transport.h"
#include "platform/event_loop.h"
#include "platform/result.h"

namespace varnok {

// The way to one encoder, as a sender slot uses it: opened to a target,
// given whole commands, closed. Each kind of link says from its own
// evidence which commands the encoder has taken (a TCP link: the peer's
// acknowledgement of every byte of the command).
//
// Ownership: the slot owns its link and sets the handlers once. Handlers run
// on the loop's thread, may run inside open, close and send, and may call
// back into the link; they must not destroy it.
//
// The order of the handlers: a failed attempt or a broken connection,
// onDisconnected then onError; the peer's close, onDisconnected twice (the
// close, then the loss of the connection); close(), onDisconnected; an
// attempt that mayDial refuses, onDisconnected alone.
class EncoderLink {
 public:
  virtual ~EncoderLink() = default;

  virtual Transport transport() const = 0;
  // Whether open(target) can be taken now: the link is closed, or is
  // already bound to exactly this target.
  virtual bool canChangeTarget(const LinkTarget& target) const = 0;
  // Starts an attempt to reach the target; an attempt that fails at once is
  // reported through the handlers and comes back as the result too. The
  // accounting of commands starts afresh.
  virtual Result<> open(const LinkTarget& target) = 0;
  // Ends the link abortively: what was not taken is lost.
  virtual void close() = 0;
  // Established, not merely attempted.
  virtual bool connected() const = 0;
  // The last attempt failed for want of this machine's own resources, not
  // through anything the encoder did; kept until the next open.
  virtual bool failedForWantOfResources() const = 0;
  // The link ended because the encoder is not there to take anything (a
  // UDP port that answers "unreachable"), though it looked open: a failed
  // attempt, not a connection that went. Kept until the next open.
  virtual bool endedUnreachable() const { return false; }

  // Hands one whole command to the link; a failure closes the link and is
  // reported as a broken connection before it comes back.
  virtual Result<> send(std::string_view command) = 0;
  // Bytes handed to send that the link could not pass on yet.
  virtual std::size_t pendingOutput() const = 0;
  // Commands sent on this connection that the encoder has not yet taken
  // whole, and their bytes.
  virtual std::size_t commandsInFlight() const = 0;
  virtual std::uint64_t bytesInFlight() const = 0;
  // Bytes the encoder has taken on this connection: grows with every sign of
  // life, so that a link that stays the same has taken nothing.
  virtual std::uint64_t bytesTaken() const = 0;
  // Takes the commands now taken whole off the in-flight list; how many.
  virtual std::size_t settle() = 0;

  // Asked with the address about to be dialled, before anything is sent to
  // it; false refuses the attempt.
  std::function<bool(const sockaddr_in& target)> mayDial;
  std::function<void()> onConnected;
  std::function<void()> onDisconnected;
  // Output that send could not pass on at once has all gone.
  std::function<void()> onWritten;
  std::function<void(int errorCode, const std::string& text)> onError;
  // What the encoder sent back; bytes are valid only during the call.
  std::function<void(std::string_view bytes)> onRead;
};

// A closed link of the given kind.
std::unique_ptr<EncoderLink> makeLink(EventLoop& loop, Transport transport);

}  // namespace varnok
