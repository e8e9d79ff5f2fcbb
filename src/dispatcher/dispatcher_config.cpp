#include "dispatcher/dispatcher_config.h"

#include <algorithm>
#include <climits>
#include <new>

namespace varnok {

DispatcherConfig readDispatcherConfig(const IniFile& ini, std::string programFolder) {
  DispatcherConfig c;
  c.programFolder = std::move(programFolder);
  c.encoderCount = std::max(ini.readInteger("General", "EncoderCount", 0), 0);
  std::int32_t threads = ini.readInteger("General", "Threads", 2);
  if (threads < 1 || threads > DispatcherConfig::kMaxSlots) threads = DispatcherConfig::kMaxSlots;
  c.threads = threads;
  c.listenOnPort =
      static_cast<std::uint16_t>(ini.readInteger("Inputs", "ListenOnPort", 23) & 0xFFFF);
  c.repeat = std::min(ini.readInteger("General", "Repeat", 0), 10);
  // Kept in seconds. A product beyond 32 bits saturates: wrapping could turn a
  // "practically never" into a few seconds.
  const std::int64_t maxSeconds =
      std::int64_t{ini.readInteger("General", "MaxMinutesInQueue", 10)} * 60;
  c.maxSecondsInQueue =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(maxSeconds, INT32_MIN, INT32_MAX));
  c.errorLimit = ini.readInteger("General", "ErrorLimit", 3);
  c.suspendForMinutes = ini.readInteger("General", "SuspendForMinutes", 5);
  c.socketInput = ini.readBool("Inputs", "Socket", true);
  c.fileInput = ini.readBool("Inputs", "File", true);
  c.commandLineInput = ini.readBool("Inputs", "CmdLine", true);
  c.producerBacklogBytes =
      std::int64_t{ini.readInteger("Inputs", "ProducerBacklogKB", 16384)} * 1024;
  c.backlogTotalBytes = std::max<std::int64_t>(
      std::int64_t{ini.readInteger("Inputs", "BacklogTotalMB", 256)} * 1048576, 0);
  return c;
}

IniFile readConfigurationFile(const std::string& programFolder) {
  return IniFile(programFolder + "varnok.ini");
}

DispatcherSettings readDispatcherSettings(
    const IniFile& ini, std::string programFolder,
    const std::function<void(const std::string& section, int index)>& alsoRead) {
  DispatcherSettings s;
  s.config = readDispatcherConfig(ini, std::move(programFolder));
  const std::int32_t count = s.config.encoderCount;
  try {
    s.encoders.resize(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc& e) {
    s.encoders = {};
    s.encodersNotRead = e.what();
    return s;
  }
  for (std::int32_t n = 1; n <= count; ++n) {
    const std::string section = "Encoder" + std::to_string(n);
    Encoder& e = s.encoders[static_cast<std::size_t>(n - 1)];
    e.name = ini.readString(section, "Name", "RDS Encoder " + std::to_string(n));
    e.host = ini.readString(section, "Host", "127.0.0.1");
    e.port = ini.readInteger(section, "Port", 23);
    e.enabled = ini.readBool(section, "Enabled", true);
    const std::string keys = ini.readString(section, "ReplaceWaiting", "");
    for (std::size_t start = 0; start <= keys.size();) {
      const std::size_t comma = std::min(keys.find(',', start), keys.size());
      const std::string_view key = trimmed(std::string_view(keys).substr(start, comma - start));
      if (!key.empty()) e.replaceWaiting.emplace_back(key);
      start = comma + 1;
    }
    if (alsoRead) alsoRead(section, n - 1);
  }
  return s;
}

}  // namespace varnok
