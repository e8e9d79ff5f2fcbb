#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "platform/acceptor.h"
#include "platform/event_loop.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace varnok {

// The operator's way in on this machine: a Unix socket (mode 600) in the
// runtime folder, one request per connection, so that varnokctl works
// whether or not the status page is on.
//
// A request is one line: the verb, a tab, the target, a tab, the text (the
// last two may be empty); "\r", "\n", "\t" and "\\" in the text stand for
// themselves. A fourth field may name the operator on whose behalf root or
// the program's own user asks (varnokctl through sudo): anyone else is
// named by the socket (the peer's user), never by the request. The answer
// is one line, "ok ANSWER" or "refused WHY", then the connection is closed. A client that sends
// more than kMaxRequest bytes without a line end is refused; one that sends nothing for kIdleMs is
// dropped; at most kMaxClients wait at once (the oldest is dropped for a new one).
//
// Ownership: owns the socket, its file (removed when it goes) and the
// clients; the loop outlives it.
class ControlSocket {
 public:
  static constexpr std::size_t kMaxRequest = 64 * 1024;
  static constexpr int kIdleMs = 5000;
  static constexpr std::size_t kMaxClients = 8;

  using Handler =
      std::function<Result<std::string>(const std::string& who, const std::string& verb,
                                        const std::string& target, const std::string& text)>;

  ControlSocket(EventLoop& loop, Handler handler);
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Binds path (a stale file there is replaced) with mode 600; the errno
  // value when it cannot.
  Result<> open(const std::string& path);
  const std::string& path() const { return path_; }
  // Binds the path again when its file is no longer this socket's (removed
  // or replaced under the running program); false when it was still there.
  Result<bool> restoreFile();

 private:
  struct Client;
  void accepted(UniqueFd fd);
  void readable(Client& client);
  void answer(Client& client, const std::string& line);
  void drop(Client& client);

  EventLoop& loop_;
  Handler handler_;
  std::string path_;
  dev_t device_ = 0;  // of the file bound, to tell it from another
  ino_t inode_ = 0;
  std::unique_ptr<Acceptor> acceptor_;
  std::list<std::unique_ptr<Client>> clients_;
};

// The text of a request field with its escapes ("\r", "\n", "\t", "\\")
// taken; and the reverse.
std::string unescapeField(std::string_view text);
std::string escapeField(std::string_view text);

}  // namespace varnok
