#pragma once

// A blocking HTTP client for the status window's tests: one request per
// connection, the raw answer read until the server closes; every wait is
// bounded by the socket's timeouts.

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "support/loopback.h"

namespace varnok::testing {

// Connected from the given loopback address, or -1.
inline int httpClientSocket(std::uint16_t port, const char* from = "127.0.0.1",
                            int timeoutMs = 5000) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect() too
  const sockaddr_in local = loopbackAddress(from, 0), to = loopbackAddress("127.0.0.1", port);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return fd;
  ::close(fd);
  return -1;
}

// Sends what the server takes of the request (it may answer and close
// first) and returns all it wrote back.
inline std::string httpExchange(std::uint16_t port, const std::string& request,
                                const char* from = "127.0.0.1") {
  const int fd = httpClientSocket(port, from);
  if (fd < 0) return "(no connection)";
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string reply;
  char buf[8192];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    reply.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return reply;
}

inline std::string httpRequest(const std::string& method, const std::string& path,
                               const std::string& extraHeaders = "") {
  return method + " " + path + " HTTP/1.1\r\nHost: status\r\nConnection: close\r\n" + extraHeaders +
         "\r\n";
}

struct HttpAnswer {
  int status = 0;    // 0 when no well-formed answer came
  std::string head;  // status line and headers, each ending in CR LF
  std::string body;
  bool hasHeader(const std::string& line) const {
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
  }
};

inline HttpAnswer parseHttp(const std::string& raw) {
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return {};
  return {std::stoi(raw.substr(9, 3)), raw.substr(0, end + 2), raw.substr(end + 4)};
}

inline HttpAnswer httpGet(std::uint16_t port, const std::string& path,
                          const char* from = "127.0.0.1") {
  return parseHttp(httpExchange(port, httpRequest("GET", path), from));
}

}  // namespace varnok::testing
