#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dispatcher/encoder.h"
#include "platform/ini_file.h"

namespace varnok {

// The settings read once at start-up from varnok.ini and never changed
// afterwards.
struct DispatcherConfig {
  static constexpr int kMaxSlots = 4;

  std::string programFolder;  // with a trailing "/"
  std::int32_t encoderCount = 0;
  std::int32_t repeat = 0;
  std::int32_t maxSecondsInQueue = 600;
  std::int32_t errorLimit = 3;
  std::int32_t suspendForMinutes = 5;
  std::uint16_t listenOnPort = 23;
  bool socketInput = true;
  bool fileInput = true;
  bool commandLineInput = true;
  int threads = 2;  // sender slots in use, 1..kMaxSlots
  // Bytes one producer connection may have waiting in the queues (all
  // copies counted) before it is no longer read; 0 or less: no bound.
  std::int64_t producerBacklogBytes = std::int64_t{16384} * 1024;
  // Bytes all producer connections together may have waiting in the queues
  // (every copy, with its bookkeeping) before none of them is read until
  // half has gone; 0: no bound.
  std::int64_t backlogTotalBytes = std::int64_t{256} << 20;
  // The read-only status window over HTTP: its port (0: none) and the
  // address it is bound to.
  std::uint16_t httpPort = 0;
  std::string httpAddress = "127.0.0.1";
};

// Reads the settings; out-of-range values are brought into range the way
// the dispatcher has always read them.
DispatcherConfig readDispatcherConfig(const IniFile& ini, std::string programFolder);

// The encoders [Encoder1] .. [Encoder<count>] as configured, with no
// failures counted yet. Throws std::bad_alloc when the count is beyond
// memory.
std::vector<Encoder> readEncoders(const IniFile& ini, std::int32_t count);

}  // namespace varnok
