#include "dispatcher/control_socket.h"

#include <pwd.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnok {

struct ControlSocket::Client {
  explicit Client(EventLoop& loop) : idle(loop) {}
  UniqueFd fd;
  std::string who;
  // Root or the program's own user may name the operator it acts for
  // (varnokctl through sudo does): they could act as anyone anyway.
  bool mayName = false;
  std::string request;
  Timer idle;
};

std::string unescapeField(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char e = text[++i];
    out.push_back(e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : e);
  }
  return out;
}

std::string escapeField(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

ControlSocket::ControlSocket(EventLoop& loop, Handler handler)
    : loop_(loop), handler_(std::move(handler)) {}

ControlSocket::~ControlSocket() {
  clients_.clear();
  acceptor_.reset();
  if (!path_.empty()) ::unlink(path_.c_str());
}

Result<> ControlSocket::open(const std::string& path) {
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  if (path.size() >= sizeof at.sun_path) return Error{ENAMETOOLONG, "path too long: " + path};
  std::memcpy(at.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return Error{errno, std::strerror(errno)};
  ::unlink(path.c_str());  // a file left by a copy that died
  // Created with no rights for group and others, before anyone can connect.
  const mode_t before = ::umask(0177);
  const int bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
  const int err = errno;
  ::umask(before);
  if (bound != 0) return Error{err, std::strerror(err)};
  if (::listen(fd.get(), 16) != 0) return Error{errno, std::strerror(errno)};
  path_ = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  acceptor_ = std::make_unique<Acceptor>(
      loop_, std::move(fd), 8,
      Acceptor::Handlers{[this](UniqueFd client, const sockaddr_storage&, socklen_t) {
                           accepted(std::move(client));
                         },
                         {},
                         {}});
  if (!acceptor_->start()) return Error{errno, std::strerror(errno)};
  return {};
}

Result<bool> ControlSocket::restoreFile() {
  if (path_.empty()) return false;
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == device_ &&
      st.st_ino == inode_) {
    return false;
  }
  acceptor_.reset();
  if (Result<> opened = open(path_); !opened) return opened.error();
  return true;
}

void ControlSocket::accepted(UniqueFd fd) {
  if (clients_.size() >= kMaxClients) drop(*clients_.front());
  auto client = std::make_unique<Client>(loop_);
  Client& c = *client;
  c.fd = std::move(fd);
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(c.fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    ::getpwuid_r(peer.uid, &entry, buffer, sizeof buffer, &found);
    c.who = found != nullptr ? found->pw_name : "uid " + std::to_string(peer.uid);
    c.mayName = peer.uid == 0 || peer.uid == ::getuid();
  } else {
    c.who = "unknown";
  }
  c.idle.setInterval(kIdleMs);
  c.idle.setOnTimer([this, &c] { drop(c); });
  c.idle.setEnabled(true);
  if (!loop_.watch(c.fd.get(), EPOLLIN | EPOLLRDHUP, [this, &c](std::uint32_t) { readable(c); })) {
    return;
  }
  clients_.push_back(std::move(client));
}

void ControlSocket::readable(Client& c) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      drop(c);
      return;
    }
    if (n < 0) return;
    c.request.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = c.request.find('\n');
    if (end != std::string::npos) {
      std::string line = c.request.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t tab1 = line.find('\t');
      const std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
      const std::string verb = line.substr(0, tab1);
      const std::string target =
          tab1 == std::string::npos ? "" : unescapeField(line.substr(tab1 + 1, tab2 - tab1 - 1));
      const std::size_t tab3 = tab2 == std::string::npos ? tab2 : line.find('\t', tab2 + 1);
      const std::string text =
          tab2 == std::string::npos ? "" : unescapeField(line.substr(tab2 + 1, tab3 - tab2 - 1));
      const std::string by = tab3 == std::string::npos ? "" : line.substr(tab3 + 1);
      const std::string who =
          c.mayName && !by.empty() && by != c.who ? by + " (as " + c.who + ")" : c.who;
      const Result<std::string> result = handler_(who, verb, target, text);
      answer(c, result ? "ok " + escapeField(result.value()) : "refused " + result.error().message);
      return;
    }
    if (c.request.size() > kMaxRequest) {
      answer(c, "refused request longer than " + std::to_string(kMaxRequest) + " bytes");
      return;
    }
  }
}

// Answers are short; what the socket does not take at once is lost with
// the connection, which the client sees as an answer cut short.
void ControlSocket::answer(Client& c, const std::string& line) {
  const std::string out = line + "\n";
  (void)::send(c.fd.get(), out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  drop(c);
}

void ControlSocket::drop(Client& c) {
  loop_.unwatch(c.fd.get());
  c.idle.setEnabled(false);
  // Freed after the handler that called this has returned.
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (it->get() != &c) continue;
    auto held = std::make_shared<std::unique_ptr<Client>>(std::move(*it));
    clients_.erase(it);
    loop_.post([held] {});
    return;
  }
}

}  // namespace varnok
