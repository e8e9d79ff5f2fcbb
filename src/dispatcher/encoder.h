#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/transport.h"
#include "encoder/uecp.h"
#include "platform/clock.h"

namespace varnok {

// The language an encoder takes: command lines as producers give them, or
// UECP frames, one message element for each line of a command.
enum class Protocol { Ascii, Uecp };

// One configured encoder and how its connections have fared.
struct Encoder {
  std::string name;
  std::string host;
  std::int32_t port = 0;
  std::int32_t errors = 0;       // failed connection attempts since start
  std::int32_t errorsInRow = 0;  // since the last good connection or resumption
  bool enabled = false;          // switched on by configuration
  // Command keys (RT1, PS, ...) whose newest command takes out the older
  // ones still waiting for this encoder (ReplaceWaiting).
  std::vector<std::string> replaceWaiting;
  // The way to it: TCP to host:port unless configured otherwise.
  Transport transport = Transport::Tcp;
  std::string device;  // serial
  std::int32_t baud = 9600;
  bool rtsCts = false;
  std::int32_t maxDatagram = 1472;  // UDP
  // Confirmed delivery: with replyOk set, each command waits for the
  // encoder's reply line; replyOk confirms it, replyError or silence for
  // replyTimeoutMs refuses it.
  std::string replyOk;
  std::string replyError;
  std::int32_t replyTimeoutMs = 2000;
  Protocol protocol = Protocol::Ascii;
  std::uint16_t uecpAddress = 0;   // site and encoder address (SiteAddress, EncoderAddress)
  std::uint8_t dataSet = 0;        // DSN
  std::uint8_t serviceNumber = 0;  // PSN
  // UECP confirmation: each frame waits for the encoder's acknowledgement
  // (within replyTimeoutMs).
  bool confirmUecp = false;
  // What this encoder was last given, for the flags that mark a new text.
  uecp::DialectState dialect;
  // Command keys without a UECP element that the log has already named.
  std::vector<std::string> unmappedKeysTold;
  // The last programme service name and radio text handed to it (the
  // operator's console shows them).
  std::string lastPs, lastRt;
  std::int64_t refused = 0;        // commands refused or left unanswered since start
  bool active = false;             // may be served now; cleared by a suspension
  std::int64_t suspendedAtMs = 0;  // monotonic: a step of the wall clock changes no rest
  bool operator==(const Encoder&) const = default;
};

}  // namespace varnok
