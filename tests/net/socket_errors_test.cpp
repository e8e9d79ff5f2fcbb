#include "net/socket_errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

namespace varnok::net {
namespace {

TEST(SocketErrors, TextsAreTheFixedOnes) {
  const std::pair<int, const char*> spots[] = {
      {10004, "Interrupted system call"},
      {10038, "Socket operation on non-socket"},
      {10047, "Address family not supported by protocol family"},
      {10049, "Can't assign requested address"},
      {10059, "Too many references: can't splice"},
      {10061, "Connection refused"},
      {10092, "WinSock DLL cannot support this application"},
      {11004, "No Data"},
  };
  for (const auto& [code, text] : spots) EXPECT_STREQ(socketErrorText(code), text) << code;
  for (int other : {12345, 0, -1, 10010, 10072, 11005, 20071}) {
    EXPECT_STREQ(socketErrorText(other), "Not a WinSock error ?") << other;
  }
}

TEST(SocketErrors, ErrnoValuesTranslateToSocketNumbers) {
  const std::pair<int, int> spots[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {ECONNRESET, 10054},  {EPIPE, 10054},
      {ECONNABORTED, 10053}, {EADDRINUSE, 10048},   {EWOULDBLOCK, 10035}, {EBADF, 10038},
      {ENOTSOCK, 10038},     {EHOSTUNREACH, 10065}, {EREMOTE, 10071},
  };
  for (const auto& [err, code] : spots) {
    EXPECT_EQ(socketErrorFromErrno(err), code) << err;
    EXPECT_EQ(socketErrorFromErrno(err, ErrorOrigin::Notification), code) << err;
  }
  // Without a counterpart the value passes through from a call; from a
  // notification it is moved out of the way of every number (a failed
  // connect must not read as success, nor as another error).
  EXPECT_EQ(socketErrorFromErrno(EPROTO), EPROTO);
  EXPECT_EQ(socketErrorFromErrno(EPROTO, ErrorOrigin::Notification), 20000 + EPROTO);
}

TEST(SocketErrors, AHandlerIsToldTheNumberAndTextOfAnErrno) {
  std::pair<int, std::string> told;
  const ErrorHandler handler = [&](int code, const std::string& text) { told = {code, text}; };
  const Error error = reportSocketError(handler, ECONNREFUSED);
  EXPECT_EQ(told, (std::pair<int, std::string>{10061, "Connection refused"}));
  EXPECT_EQ(error.code, 10061);
  EXPECT_EQ(error.message, "Connection refused");
  EXPECT_THROW(reportSocketError(nullptr, ENOTSOCK), SocketError);
}

// Both lookups read the one table: every number and every errno in it must
// lead back to its own entry, which a repeated number or errno would break.
TEST(SocketErrors, TableReadsTheSameBothWays) {
  int previous = kWsaBaseErr;
  for (const SocketErrorEntry& entry : socketErrorTable()) {
    EXPECT_GT(entry.number, previous) << entry.name;
    previous = entry.number;
    EXPECT_STREQ(socketErrorText(entry.number), entry.text) << entry.name;
    for (int err : entry.errnos) {
      if (err != 0) {
        EXPECT_EQ(socketErrorFromErrno(err), entry.number) << entry.name;
      }
    }
  }
  EXPECT_EQ(socketErrorTable().size(), 50u);
  EXPECT_EQ(socketErrorFromErrno(0), 0);
}
}  // namespace
}  // namespace varnok::net
