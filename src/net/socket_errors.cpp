#include "net/socket_errors.h"

#include <cerrno>

namespace varnok::net {
namespace {

// Where a notification's errno without a socket error number goes.
constexpr int kUnmappedNotificationBase = 20000;

// EWOULDBLOCK is EAGAIN and ENOTSUP is EOPNOTSUPP on Linux, so each errno
// appears once. EPERM is what a packet filter that refuses a connection
// gives. EPIPE is a send on a connection that the peer has torn down (its
// reset has already been reported once); "reset by peer" tells the operator
// what happened, "after socket shutdown" would blame us.
constexpr SocketErrorEntry kTable[] = {
    {"WSAEINTR", kWsaEIntr, {EINTR, 0}, "Interrupted system call"},
    {"WSAEBADF", kWsaEBadF, {0, 0}, "Bad file number"},
    {"WSAEACCES", kWsaEAcces, {EACCES, EPERM}, "Permission denied"},
    {"WSAEFAULT", kWsaEFault, {EFAULT, 0}, "Bad address"},
    {"WSAEINVAL", kWsaEInval, {EINVAL, 0}, "Invalid argument"},
    {"WSAEMFILE", kWsaEMFile, {EMFILE, 0}, "Too many open files"},
    {"WSAEWOULDBLOCK", kWsaEWouldBlock, {EAGAIN, 0}, "Operation would block"},
    {"WSAEINPROGRESS", kWsaEInProgress, {EINPROGRESS, 0}, "Operation now in progress"},
    {"WSAEALREADY", kWsaEAlready, {EALREADY, 0}, "Operation already in progress"},
    {"WSAENOTSOCK", kWsaENotSock, {ENOTSOCK, EBADF}, "Socket operation on non-socket"},
    {"WSAEDESTADDRREQ", kWsaEDestAddrReq, {EDESTADDRREQ, 0}, "Destination address required"},
    {"WSAEMSGSIZE", kWsaEMsgSize, {EMSGSIZE, 0}, "Message too long"},
    {"WSAEPROTOTYPE", kWsaEPrototype, {EPROTOTYPE, 0}, "Protocol wrong type for socket"},
    {"WSAENOPROTOOPT", kWsaENoProtoOpt, {ENOPROTOOPT, 0}, "Protocol not available"},
    {"WSAEPROTONOSUPPORT", kWsaEProtoNoSupport, {EPROTONOSUPPORT, 0}, "Protocol not supported"},
    {"WSAESOCKTNOSUPPORT", kWsaESocktNoSupport, {ESOCKTNOSUPPORT, 0}, "Socket type not supported"},
    {"WSAEOPNOTSUPP", kWsaEOpNotSupp, {EOPNOTSUPP, 0}, "Operation not supported on socket"},
    {"WSAEPFNOSUPPORT", kWsaEPfNoSupport, {EPFNOSUPPORT, 0}, "Protocol family not supported"},
    {"WSAEAFNOSUPPORT",
     kWsaEAfNoSupport,
     {EAFNOSUPPORT, 0},
     "Address family not supported by protocol family"},
    {"WSAEADDRINUSE", kWsaEAddrInUse, {EADDRINUSE, 0}, "Address already in use"},
    {"WSAEADDRNOTAVAIL", kWsaEAddrNotAvail, {EADDRNOTAVAIL, 0}, "Can't assign requested address"},
    {"WSAENETDOWN", kWsaENetDown, {ENETDOWN, 0}, "Network is down"},
    {"WSAENETUNREACH", kWsaENetUnreach, {ENETUNREACH, 0}, "Network is unreachable"},
    {"WSAENETRESET", kWsaENetReset, {ENETRESET, 0}, "Network dropped connection on reset"},
    {"WSAECONNABORTED", kWsaEConnAborted, {ECONNABORTED, 0}, "Software caused connection abort"},
    {"WSAECONNRESET", kWsaEConnReset, {ECONNRESET, EPIPE}, "Connection reset by peer"},
    {"WSAENOBUFS", kWsaENoBufs, {ENOBUFS, 0}, "No buffer space available"},
    {"WSAEISCONN", kWsaEIsConn, {EISCONN, 0}, "Socket is already connected"},
    {"WSAENOTCONN", kWsaENotConn, {ENOTCONN, 0}, "Socket is not connected"},
    {"WSAESHUTDOWN", kWsaEShutdown, {ESHUTDOWN, 0}, "Can't send after socket shutdown"},
    {"WSAETOOMANYREFS", kWsaETooManyRefs, {ETOOMANYREFS, 0}, "Too many references: can't splice"},
    {"WSAETIMEDOUT", kWsaETimedOut, {ETIMEDOUT, 0}, "Connection timed out"},
    {"WSAECONNREFUSED", kWsaEConnRefused, {ECONNREFUSED, 0}, "Connection refused"},
    {"WSAELOOP", kWsaELoop, {ELOOP, 0}, "Too many levels of symbolic links"},
    {"WSAENAMETOOLONG", kWsaENameTooLong, {ENAMETOOLONG, 0}, "File name too long"},
    {"WSAEHOSTDOWN", kWsaEHostDown, {EHOSTDOWN, 0}, "Host is down"},
    {"WSAEHOSTUNREACH", kWsaEHostUnreach, {EHOSTUNREACH, 0}, "No route to host"},
    {"WSAENOTEMPTY", kWsaENotEmpty, {ENOTEMPTY, 0}, "Directory not empty"},
    {"WSAEPROCLIM", kWsaEProcLim, {0, 0}, "Too many processes"},
    {"WSAEUSERS", kWsaEUsers, {EUSERS, 0}, "Too many users"},
    {"WSAEDQUOT", kWsaEDQuot, {EDQUOT, 0}, "Disk quota exceeded"},
    {"WSAESTALE", kWsaEStale, {ESTALE, 0}, "Stale NFS file handle"},
    {"WSAEREMOTE", kWsaERemote, {EREMOTE, 0}, "Too many levels of remote in path"},
    {"WSASYSNOTREADY", kWsaSysNotReady, {0, 0}, "Network sub-system is unusable"},
    {"WSAVERNOTSUPPORTED",
     kWsaVerNotSupported,
     {0, 0},
     "WinSock DLL cannot support this application"},
    {"WSANOTINITIALISED", kWsaNotInitialised, {0, 0}, "WinSock not initialized"},
    {"WSAHOST_NOT_FOUND", kWsaHostNotFound, {0, 0}, "Host not found"},
    {"WSATRY_AGAIN", kWsaTryAgain, {0, 0}, "Non-authoritative host not found"},
    {"WSANO_RECOVERY", kWsaNoRecovery, {0, 0}, "Non-recoverable error"},
    {"WSANO_DATA", kWsaNoData, {0, 0}, "No Data"},
};

}  // namespace

std::span<const SocketErrorEntry> socketErrorTable() {
  return kTable;
}

int socketErrorFromErrno(int err, ErrorOrigin origin) {
  if (err == 0) return 0;  // 0 marks an unused errno slot in the table
  for (const SocketErrorEntry& entry : kTable) {
    if (entry.errnos[0] == err || entry.errnos[1] == err) return entry.number;
  }
  return origin == ErrorOrigin::Notification ? kUnmappedNotificationBase + err : err;
}

const char* socketErrorText(int code) {
  for (const SocketErrorEntry& entry : kTable) {
    if (entry.number == code) return entry.text;
  }
  return "Not a WinSock error ?";
}

Error reportSocketError(const ErrorHandler& handler, int err, ErrorOrigin origin) {
  const int errorCode = socketErrorFromErrno(err, origin);
  const char* text = socketErrorText(errorCode);
  if (!handler) throw SocketError(text);
  handler(errorCode, text);
  return Error{errorCode, text};
}

}  // namespace varnok::net
