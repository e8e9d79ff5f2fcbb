#pragma once

// Socket error numbers: the numbers and fixed texts that this system reports
// ("Socket Error 10061 - Connection refused"), and the errno values each one
// stands for. One table holds them all; both lookups read it.
//
// Inside the socket layer an error is its errno value; it becomes a number
// and a text only where a handler is told of it (reportSocketError) or a
// caller is given it.

#include <functional>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/result.h"

namespace varnok::net {

// Raised for programming errors a socket refuses ("Cannot change Host while
// active") and for socket errors when no onError handler is set; what() is
// the error's fixed text.
class SocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Told of a socket error: its number and fixed text.
using ErrorHandler = std::function<void(int errorCode, const std::string& text)>;

// Where an errno value was met, which decides the number of one that has no
// counterpart in the table (see socketErrorFromErrno).
enum class ErrorOrigin {
  Call,          // a call on the socket failed (send, receive, connect, ...)
  Notification,  // the socket reported it when it became ready (a failed connect)
};

// Tells handler of the errno value err as its socket error number and text
// (raised as SocketError without a handler); the same error, for a caller
// that returns it.
Error reportSocketError(const ErrorHandler& handler, int err,
                        ErrorOrigin origin = ErrorOrigin::Call);

// Every socket error number is above this one.
constexpr int kWsaBaseErr = 10000;

constexpr int kWsaEIntr = 10004;
constexpr int kWsaEBadF = 10009;
constexpr int kWsaEAcces = 10013;
constexpr int kWsaEFault = 10014;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEMFile = 10024;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEInProgress = 10036;
constexpr int kWsaEAlready = 10037;
constexpr int kWsaENotSock = 10038;
constexpr int kWsaEDestAddrReq = 10039;
constexpr int kWsaEMsgSize = 10040;
constexpr int kWsaEPrototype = 10041;
constexpr int kWsaENoProtoOpt = 10042;
constexpr int kWsaEProtoNoSupport = 10043;
constexpr int kWsaESocktNoSupport = 10044;
constexpr int kWsaEOpNotSupp = 10045;
constexpr int kWsaEPfNoSupport = 10046;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaEAddrInUse = 10048;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaENetUnreach = 10051;
constexpr int kWsaENetReset = 10052;
constexpr int kWsaEConnAborted = 10053;
constexpr int kWsaEConnReset = 10054;
constexpr int kWsaENoBufs = 10055;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaEShutdown = 10058;
constexpr int kWsaETooManyRefs = 10059;
constexpr int kWsaETimedOut = 10060;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaELoop = 10062;
constexpr int kWsaENameTooLong = 10063;
constexpr int kWsaEHostDown = 10064;
constexpr int kWsaEHostUnreach = 10065;
constexpr int kWsaENotEmpty = 10066;
constexpr int kWsaEProcLim = 10067;
constexpr int kWsaEUsers = 10068;
constexpr int kWsaEDQuot = 10069;
constexpr int kWsaEStale = 10070;
constexpr int kWsaERemote = 10071;
constexpr int kWsaSysNotReady = 10091;
constexpr int kWsaVerNotSupported = 10092;
constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaNoData = 11004;

// One socket error: its name, its number, the errno values that translate
// to it (0 where there are fewer than two, both 0 for a number that no errno
// gives) and its text.
struct SocketErrorEntry {
  const char* name;
  int number;
  int errnos[2];
  const char* text;
};

// The whole table, in ascending order of number.
std::span<const SocketErrorEntry> socketErrorTable();

// The socket error number for an errno value (ECONNREFUSED -> 10061, ...).
// Values without a counterpart pass through unchanged from a call; from a
// notification they are moved to 20000 + err, out of the way of every named
// number, so that no error passes for success and its value stays readable.
int socketErrorFromErrno(int err, ErrorOrigin origin = ErrorOrigin::Call);
// The fixed text of a socket error number; "Not a WinSock error ?" for any
// number outside the table.
const char* socketErrorText(int code);

}  // namespace varnok::net
