// Small helpers shared by the developer tools: argument parsing, loopback
// checks, escaping of command text and time keeping. Header only, POSIX only.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace varnok::tools {

// Exit statuses shared by both tools.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the exchange itself went wrong
inline constexpr int kExitUsage = 2;    // bad command line
inline constexpr int kExitConnect = 3;  // could not connect, or the peer dropped the connection

// Reports a command-line mistake and ends the tool with kExitUsage.
[[noreturn]] inline void usageError(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program, message.c_str());
  std::fprintf(stderr, "try '%s --help'\n", program);
  std::exit(kExitUsage);
}

inline bool isLoopback(const in_addr& addr) {
  return (ntohl(addr.s_addr) >> 24) == 127;
}

// Parses a dotted IPv4 address; "localhost" stands for 127.0.0.1.
inline std::optional<in_addr> parseIpv4(std::string_view text) {
  std::string s(text);
  if (s == "localhost") s = "127.0.0.1";
  in_addr addr{};
  if (inet_pton(AF_INET, s.c_str(), &addr) != 1) return std::nullopt;
  return addr;
}

// Resolves a host name or dotted address to IPv4. Blocking; only used at start-up.
inline std::optional<in_addr> resolveIpv4(const std::string& host) {
  if (auto numeric = parseIpv4(host)) return numeric;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  in_addr addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
  freeaddrinfo(result);
  return addr;
}

inline std::string formatIpv4(const in_addr& addr) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr, buf, sizeof buf);
  return buf;
}

inline sockaddr_in makeSockaddr(const in_addr& addr, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

// Whole decimal number in [min, max]; nothing else may follow.
inline std::optional<long long> parseInteger(std::string_view text, long long min, long long max) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

// Non-negative decimal number such as "5", "0.25" or "1.5".
inline std::optional<double> parseSeconds(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size() || !(value >= 0.0) || value > 1e7) {
    return std::nullopt;
  }
  return value;
}

// Turns \r \n \t \0 \\ and \xHH into the bytes they stand for. Any other
// backslash sequence is an error, so that a typo never goes out unnoticed.
inline bool unescape(std::string_view text, std::string& out, std::string& error) {
  out.clear();
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i + 1 >= text.size()) {
      error = "backslash at the end of the text";
      return false;
    }
    char e = text[++i];
    switch (e) {
      case 'r':
        out.push_back('\r');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case '0':
        out.push_back('\0');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case 'x': {
        int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          error = "\\x must be followed by two hexadecimal digits";
          return false;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        error = std::string("unknown escape \\") + e;
        return false;
    }
  }
  return true;
}

// Readable form of arbitrary bytes: printable ASCII as is, the rest escaped
// the way unescape() reads it back.
inline std::string escapeBytes(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else {
          out += "\\x";
          out.push_back(digits[c >> 4]);
          out.push_back(digits[c & 15]);
        }
    }
  }
  return out;
}

// "0D 0A 2B" style.
inline std::string hexBytes(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until a deadline, clamped to what poll() accepts.
inline int msUntil(SteadyClock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  if (left <= 0) return 0;
  if (left > 1'000'000) return 1'000'000;
  return static_cast<int>(left) + 1;  // round up so we never wake just before the deadline
}

inline SteadyClock::duration secondsToDuration(double seconds) {
  return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace varnok::tools
