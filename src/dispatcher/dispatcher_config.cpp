#include "dispatcher/dispatcher_config.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <iterator>
#include <new>
#include <optional>

#include "platform/ascii_text.h"

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

namespace {

// The rates a serial line may be set to.
constexpr std::int32_t kBaudRates[] = {1200,  2400,   4800,   9600,   19200, 38400,
                                       57600, 115200, 230400, 460800, 921600};

// A whole decimal number, nothing else.
std::optional<std::int32_t> wholeNumber(std::string_view text) {
  text = trimmed(text);
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The transport and confirmation keys of one encoder. A value that cannot
// be taken adds a line to problems and switches the encoder off; an encoder
// without these keys is TCP as it always was.
void readLinkSettings(const IniFile& ini, const std::string& section, Encoder& e,
                      std::vector<std::string>& problems) {
  const auto refuse = [&](const std::string& key, const std::string& value,
                          const std::string& rule) {
    problems.push_back("Encoder setting refused - " + key + "=" + value + " (" + e.name +
                       "): " + rule + "; the encoder stays off");
    e.enabled = false;
  };
  const auto number = [&](const char* key, std::int32_t def, std::int32_t low, std::int32_t high,
                          const char* rule) {
    const std::string text = ini.readString(section, key, "");
    if (trimmed(text).empty()) return def;
    const std::optional<std::int32_t> value = wholeNumber(text);
    if (!value || *value < low || *value > high) {
      refuse(key, text, rule);
      return def;
    }
    return *value;
  };
  const std::string transport = lowerAscii(trimmed(ini.readString(section, "Transport", "tcp")));
  if (transport == "udp") {
    e.transport = Transport::Udp;
  } else if (transport == "serial") {
    e.transport = Transport::Serial;
  } else if (transport != "tcp") {
    refuse("Transport", transport, "tcp, udp or serial");
  }
  if (e.transport == Transport::Serial) {
    e.device = std::string(trimmed(ini.readString(section, "Device", "")));
    if (e.device.empty()) refuse("Device", "", "a serial encoder needs its device");
    e.baud = number("Baud", 9600, 1, 921600, "a standard rate from 1200 to 921600");
    if (std::find(std::begin(kBaudRates), std::end(kBaudRates), e.baud) == std::end(kBaudRates)) {
      refuse("Baud", std::to_string(e.baud), "a standard rate from 1200 to 921600");
      e.baud = 9600;
    }
    const std::string flow = lowerAscii(trimmed(ini.readString(section, "FlowControl", "none")));
    if (flow == "rtscts") {
      e.rtsCts = true;
    } else if (flow != "none") {
      refuse("FlowControl", flow, "none or rtscts");
    }
  }
  if (e.transport == Transport::Udp) {
    e.maxDatagram = number("MaxDatagram", 1472, 1, 65507, "1 to 65507 bytes");
  }
  e.replyOk = ini.readString(section, "ReplyOk", "");
  e.replyError = ini.readString(section, "ReplyError", "");
  e.replyTimeoutMs = number("ReplyTimeoutMs", 2000, 10, 600000, "10 to 600000 ms");
  if (e.replyOk.empty() && !e.replyError.empty()) {
    refuse("ReplyError", e.replyError, "needs ReplyOk");
  }
  if (!e.replyOk.empty() && e.replyOk == e.replyError) {
    refuse("ReplyError", e.replyError, "must differ from ReplyOk");
  }
  const std::string protocol = lowerAscii(trimmed(ini.readString(section, "Protocol", "ascii")));
  if (protocol == "uecp") {
    e.protocol = Protocol::Uecp;
  } else if (protocol != "ascii") {
    refuse("Protocol", protocol, "ascii or uecp");
  }
  const std::string confirm = lowerAscii(trimmed(ini.readString(section, "Confirm", "none")));
  if (confirm == "uecp") {
    e.confirmUecp = true;
    if (e.protocol != Protocol::Uecp) refuse("Confirm", confirm, "needs Protocol=uecp");
  } else if (confirm != "none") {
    refuse("Confirm", confirm, "none or uecp");
  }
  if (e.protocol != Protocol::Uecp) return;
  const auto site = number("SiteAddress", 0, 0, 1023, "0 to 1023");
  const auto encoder = number("EncoderAddress", 0, 0, 63, "0 to 63, 0 for every encoder");
  e.uecpAddress =
      uecp::address(static_cast<unsigned>(site), static_cast<unsigned>(encoder)).value();
  e.dataSet = static_cast<std::uint8_t>(number("DataSet", 0, 0, 255, "0 to 255"));
  e.serviceNumber = static_cast<std::uint8_t>(number("ServiceNumber", 0, 0, 255, "0 to 255"));
  if (!e.replyOk.empty()) refuse("ReplyOk", e.replyOk, "a UECP encoder confirms with Confirm=uecp");
  if (e.transport == Transport::Udp &&
      e.maxDatagram < static_cast<std::int32_t>(uecp::kMaxFrameBytes)) {
    refuse("MaxDatagram", std::to_string(e.maxDatagram),
           "a UECP frame may take " + std::to_string(uecp::kMaxFrameBytes) + " bytes");
  }
}

}  // namespace

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
    readLinkSettings(ini, section, e, s.encoderProblems);
    if (alsoRead) alsoRead(section, n - 1);
  }
  return s;
}

}  // namespace varnok
