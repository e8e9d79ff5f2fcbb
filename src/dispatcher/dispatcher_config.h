#pragma once

#include <cstdint>
#include <functional>
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
  bool operator==(const DispatcherConfig&) const = default;
};

// What the dispatcher starts from: its settings and the encoders as
// configured, with no failures counted yet.
struct DispatcherSettings {
  DispatcherConfig config;
  std::vector<Encoder> encoders;
  // Why the encoders could not be read (memory ran out for their count);
  // start-up logs it and goes on with none.
  std::string encodersNotRead;
  // Encoder settings that could not be taken, one log line each; each such
  // encoder stays off.
  std::vector<std::string> encoderProblems;
  bool operator==(const DispatcherSettings&) const = default;
};

// The configuration file of the program folder (with its trailing "/"):
// the one place varnok.ini is opened. Every part reads its settings from
// what this gives.
IniFile readConfigurationFile(const std::string& programFolder);

// Reads the settings; out-of-range values are brought into range the way
// the dispatcher has always read them.
DispatcherConfig readDispatcherConfig(const IniFile& ini, std::string programFolder);

// The settings and the encoders [Encoder1] .. [Encoder<EncoderCount>]. Each
// encoder's section is read once: alsoRead is told of it ("Encoder1", 0) so
// that other parts take their keys of it in the same pass.
DispatcherSettings readDispatcherSettings(
    const IniFile& ini, std::string programFolder,
    const std::function<void(const std::string& section, int index)>& alsoRead = {});

}  // namespace varnok
