#include "encoder/uecp.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <utility>

namespace varnok::uecp {
namespace {

constexpr std::uint8_t kMecPi = 0x01;
constexpr std::uint8_t kMecPs = 0x02;
constexpr std::uint8_t kMecTaTp = 0x03;
constexpr std::uint8_t kMecPty = 0x07;
constexpr std::uint8_t kMecRt = 0x0A;
constexpr std::uint8_t kMecAck = 0x18;
constexpr std::uint8_t kMecOdaSetup = 0x40;
constexpr std::uint8_t kMecOdaData = 0x46;
// Group 11A as an application group type code: type 11 in bits 4-1,
// version A (0) in bit 0.
constexpr std::uint8_t kGroup11A = 11 << 1;

constexpr std::size_t kPsLength = 8;
constexpr int kMaxPty = 31;
constexpr int kMaxTransmissions = 15;
// ADD, SQC, MFL and CRC around the message.
constexpr std::size_t kFieldBytes = 6;
// What a key in an error message is cut to.
constexpr std::size_t kMaxQuotedKey = 32;

std::uint8_t byte(unsigned value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

Error fault(AckCode code, std::string message) {
  return Error{static_cast<int>(code), std::move(message)};
}

Error refusal(std::string message) {
  return Error{0, std::move(message)};
}

bool isDelimiter(std::uint8_t b) {
  return b == kStart || b == kStop;
}

Bytes elementHead(std::uint8_t mec, std::uint8_t dsn, std::uint8_t psn) {
  return {mec, dsn, psn};
}

void append(Bytes& out, std::string_view text) {
  std::transform(text.begin(), text.end(), std::back_inserter(out),
                 [](char c) { return static_cast<std::uint8_t>(c); });
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The content of one frame (the bytes between STA and STP), unstuffed and
// checked.
Result<Frame> decodeContent(std::span<const std::uint8_t> stuffed) {
  Bytes content;
  content.reserve(stuffed.size());
  for (std::size_t i = 0; i < stuffed.size(); ++i) {
    if (stuffed[i] != kEscape) {
      content.push_back(stuffed[i]);
      continue;
    }
    if (i + 1 == stuffed.size()) return fault(AckCode::BadStuffing, "UECP frame ends in FD");
    if (stuffed[i + 1] > kStop - kEscape) {
      return fault(AckCode::BadStuffing,
                   "UECP stuffing FD followed by " + std::to_string(stuffed[i + 1]));
    }
    content.push_back(byte(kEscape + stuffed[++i]));
  }
  if (content.size() < kFieldBytes) {
    return fault(AckCode::FieldLength,
                 "UECP frame of " + std::to_string(content.size()) + " bytes is too short");
  }
  const std::size_t length = content.size() - kFieldBytes;
  if (content[3] != length) {
    return fault(AckCode::FieldLength, "UECP field length " + std::to_string(content[3]) +
                                           " for a message of " + std::to_string(length) +
                                           " bytes");
  }
  const std::size_t checked = content.size() - 2;
  const unsigned sent = static_cast<unsigned>(content[checked] << 8 | content[checked + 1]);
  if (crc(std::span(content).first(checked)) != sent) {
    return fault(AckCode::CrcError, "UECP CRC error");
  }
  Frame frame;
  frame.address = static_cast<std::uint16_t>(content[0] << 8 | content[1]);
  frame.sequence = content[2];
  frame.message.assign(content.begin() + 4, content.begin() + static_cast<std::ptrdiff_t>(checked));
  return frame;
}

Result<std::string> rdsText(const Params& params, std::string_view text) {
  if (!params.toRds) return std::string(text);
  return params.toRds(text);
}

Result<Bytes> hexElement(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    const int high = hexDigit(text[i]);
    const int low = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
    if (high < 0 || low < 0) {
      return refusal("UECP= needs pairs of hex digits (character " + std::to_string(i + 1) + ")");
    }
    out.push_back(byte(static_cast<unsigned>(high << 4 | low)));
    i += 2;
  }
  if (out.empty()) return refusal("UECP= without an element");
  if (out.size() > kMaxMessage) {
    return refusal("UECP= element of " + std::to_string(out.size()) + " bytes: at most 255");
  }
  return out;
}

Result<bool> flag(std::string_view key, std::string_view value) {
  if (value == "0" || value == "1") return value == "1";
  return refusal(std::string(key) + "= takes 0 or 1");
}

}  // namespace

std::uint16_t crc(std::span<const std::uint8_t> bytes) {
  unsigned value = 0xFFFF;
  for (const std::uint8_t b : bytes) {
    value ^= static_cast<unsigned>(b) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 0x8000) != 0 ? (value << 1) ^ 0x1021 : value << 1;
    }
  }
  return static_cast<std::uint16_t>(~value & 0xFFFF);
}

Result<std::uint16_t> address(unsigned site, unsigned encoder) {
  if (site > 1023 || encoder > 63) {
    return refusal("UECP address out of range: site " + std::to_string(site) +
                   " (0..1023), encoder " + std::to_string(encoder) + " (0..63)");
  }
  return static_cast<std::uint16_t>(site << 6 | encoder);
}

Result<Bytes> frame(std::uint16_t address, std::uint8_t sequence,
                    std::span<const std::uint8_t> message) {
  if (message.size() > kMaxMessage) {
    return refusal("UECP message of " + std::to_string(message.size()) + " bytes: at most 255");
  }
  Bytes content{byte(address >> 8u), byte(address), sequence, byte(message.size())};
  content.insert(content.end(), message.begin(), message.end());
  const std::uint16_t check = crc(content);
  content.push_back(byte(check >> 8u));
  content.push_back(byte(check));

  Bytes out;
  const auto stuffed =
      std::count_if(content.begin(), content.end(), [](std::uint8_t b) { return b >= kEscape; });
  out.reserve(content.size() + static_cast<std::size_t>(stuffed) + 2);
  out.push_back(kStart);
  for (const std::uint8_t b : content) {
    if (b >= kEscape) {
      out.push_back(kEscape);
      out.push_back(byte(b - kEscape));
    } else {
      out.push_back(b);
    }
  }
  out.push_back(kStop);
  return out;
}

std::string_view ackMeaning(int code) {
  static constexpr std::array<std::string_view, 14> kMeanings = {
      "acknowledged",
      "CRC error",
      "message not received completely",
      "message unknown",
      "DSN error",
      "PSN error",
      "parameter out of range",
      "message element length error",
      "message field length error",
      "message not acceptable",
      "end message missing",
      "buffer overflow",
      "bad stuffing",
      "unexpected end of message",
  };
  if (code < 0 || static_cast<std::size_t>(code) >= kMeanings.size()) {
    return "unknown acknowledgement code";
  }
  return kMeanings[static_cast<std::size_t>(code)];
}

void FrameReader::feed(std::span<const std::uint8_t> bytes) {
  compact();
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void FrameReader::compact() {
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
  head_ = 0;
}

std::optional<Result<Frame>> FrameReader::next() {
  const auto position = [this](Bytes::const_iterator it) {
    return static_cast<std::size_t>(it - buffer_.cbegin());
  };
  const auto start =
      std::find(buffer_.cbegin() + static_cast<std::ptrdiff_t>(head_), buffer_.cend(), kStart);
  head_ = position(start);  // what came before an STA is no frame
  if (start == buffer_.cend()) {
    compact();
    return std::nullopt;
  }
  const auto content = start + 1;
  const std::size_t available = static_cast<std::size_t>(buffer_.cend() - content);
  constexpr std::size_t kMaxStuffed = 2 * kMaxContent;
  const auto scanned = content + static_cast<std::ptrdiff_t>(std::min(available, kMaxStuffed + 1));
  const auto end = std::find_if(content, scanned, isDelimiter);
  if (end == scanned) {
    if (available <= kMaxStuffed) {
      compact();
      return std::nullopt;
    }
    head_ = position(std::find(scanned, buffer_.cend(), kStart));
    return fault(AckCode::BufferOverflow,
                 "UECP frame longer than " + std::to_string(kMaxFrameBytes) + " bytes");
  }
  if (*end == kStart) {
    head_ = position(end);
    return fault(AckCode::Incomplete, "UECP frame cut by a new start");
  }
  head_ = position(end) + 1;
  return decodeContent(std::span(content, end));
}

Bytes piElement(std::uint8_t dsn, std::uint8_t psn, std::uint16_t pi) {
  Bytes out = elementHead(kMecPi, dsn, psn);
  out.push_back(byte(pi >> 8u));
  out.push_back(byte(pi));
  return out;
}

Result<Bytes> psElement(std::uint8_t dsn, std::uint8_t psn, std::string_view name) {
  if (name.size() > kPsLength) {
    return refusal("PS of " + std::to_string(name.size()) + " characters: at most 8");
  }
  Bytes out = elementHead(kMecPs, dsn, psn);
  append(out, name);
  out.resize(3 + kPsLength, ' ');
  return out;
}

Bytes taTpElement(std::uint8_t dsn, std::uint8_t psn, bool tp, bool ta) {
  Bytes out = elementHead(kMecTaTp, dsn, psn);
  out.push_back(byte((tp ? 2u : 0u) | (ta ? 1u : 0u)));
  return out;
}

Result<Bytes> ptyElement(std::uint8_t dsn, std::uint8_t psn, int pty) {
  if (pty < 0 || pty > kMaxPty) {
    return refusal("PTY " + std::to_string(pty) + " out of range 0..31");
  }
  Bytes out = elementHead(kMecPty, dsn, psn);
  out.push_back(byte(static_cast<unsigned>(pty)));
  return out;
}

Result<Bytes> radioTextElement(std::uint8_t dsn, std::uint8_t psn, std::string_view text,
                               RadioTextMode mode) {
  if (text.size() > kMaxRadioText) {
    return refusal("RT of " + std::to_string(text.size()) + " characters: at most 64");
  }
  if (mode.transmissions < 0 || mode.transmissions > kMaxTransmissions) {
    return refusal("RT transmissions " + std::to_string(mode.transmissions) +
                   " out of range 0..15");
  }
  Bytes out = elementHead(kMecRt, dsn, psn);
  out.push_back(byte(1 + text.size()));
  // Bits 6-5 stay 00: flush the buffer and load this text.
  out.push_back(byte(static_cast<unsigned>(mode.transmissions) << 1u | (mode.toggleAb ? 1u : 0u)));
  append(out, text);
  return out;
}

Result<Acknowledgement> parseAcknowledgement(std::span<const std::uint8_t> message) {
  if (message.size() < 2 || message.size() > 3 || message[0] != kMecAck) {
    return refusal("not a UECP message acknowledgement");
  }
  Acknowledgement ack{message[1], std::nullopt};
  if (message.size() == 3) ack.sequence = message[2];
  return ack;
}

Result<RtPlusTags> parseRtPlusTags(std::string_view text) {
  std::array<int, 6> v{};
  const char* at = text.data();
  const char* last = text.data() + text.size();
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) {
      if (at == last || *at != ',') return refusal("RTP= takes c1,s1,l1,c2,s2,l2");
      ++at;
    }
    const auto [end, error] = std::from_chars(at, last, v[i]);
    if (error != std::errc() || end == at || *at == '-') {
      return refusal("RTP= takes c1,s1,l1,c2,s2,l2");
    }
    at = end;
  }
  if (at != last) return refusal("RTP= takes c1,s1,l1,c2,s2,l2");
  const bool inRange = std::all_of(v.begin(), v.end(), [](int n) { return n <= 63; }) && v[5] <= 31;
  if (!inRange) return refusal("RTP= out of range: types, starts and lengths 0..63, l2 0..31");
  return RtPlusTags{v[0], v[1], v[2], v[3], v[4], v[5]};
}

Bytes rtPlusSetupElement() {
  return {kMecOdaSetup, 5, byte(kRtPlusAid >> 8u), byte(kRtPlusAid), kGroup11A, 0, 0};
}

Bytes rtPlusDataElement(const RtPlusTags& tags, bool itemToggle, bool itemRunning) {
  const auto u = [](int n) { return static_cast<unsigned>(n); };
  const unsigned b = (itemToggle ? 0x10u : 0u) | (itemRunning ? 0x08u : 0u) | (u(tags.type1) >> 3u);
  const unsigned c = (u(tags.type1) & 7u) << 13u | u(tags.start1) << 7u | u(tags.length1) << 1u |
                     u(tags.type2) >> 5u;
  const unsigned d = (u(tags.type2) & 0x1Fu) << 11u | u(tags.start2) << 5u | u(tags.length2);
  return {kMecOdaData,   8,       byte(kRtPlusAid >> 8u), byte(kRtPlusAid), 0, byte(b),
          byte(c >> 8u), byte(c), byte(d >> 8u),          byte(d)};
}

bool isRtPlusData(std::span<const std::uint8_t> element) {
  return element.size() >= 4 && element[0] == kMecOdaData &&
         (element[2] << 8 | element[3]) == kRtPlusAid;
}

Result<Bytes> elementFor(std::string_view line, const Params& params, DialectState& state) {
  const std::size_t equals = line.find('=');
  const std::string_view key = line.substr(0, equals);
  const std::string_view value = equals == std::string_view::npos ? "" : line.substr(equals + 1);
  const auto unknown = [&] {
    return refusal("no UECP element for " + std::string(key.substr(0, kMaxQuotedKey)));
  };
  if (equals == std::string_view::npos) return unknown();

  if (key == "PS" || key == "RT" || key == "RT1" || key == "TEXT") {
    const Result<std::string> text = rdsText(params, value);
    if (!text) return text.error();
    if (key == "PS") return psElement(params.dsn, params.psn, text.value());
    RadioTextMode mode;
    mode.toggleAb = state.radioText != text.value();
    Result<Bytes> element = radioTextElement(params.dsn, params.psn, text.value(), mode);
    if (element) state.radioText = text.value();
    return element;
  }
  if (key == "RTP") {
    const Result<RtPlusTags> tags = parseRtPlusTags(value);
    if (!tags) return tags.error();
    const std::string text = state.radioText.value_or("");
    if (state.taggedText && *state.taggedText != text) state.itemToggle = !state.itemToggle;
    state.taggedText = text;
    const bool running = tags.value().type1 != 0 || tags.value().type2 != 0;
    return rtPlusDataElement(tags.value(), state.itemToggle, running);
  }
  if (key == "PI") {
    if (value.size() != 4 ||
        std::any_of(value.begin(), value.end(), [](char c) { return hexDigit(c) < 0; })) {
      return refusal("PI= takes 4 hex digits");
    }
    unsigned pi = 0;
    for (const char c : value) pi = pi << 4 | static_cast<unsigned>(hexDigit(c));
    return piElement(params.dsn, params.psn, static_cast<std::uint16_t>(pi));
  }
  if (key == "PTY") {
    int pty = 0;
    const char* last = value.data() + value.size();
    const auto [end, error] = std::from_chars(value.data(), last, pty);
    if (value.empty() || value.front() == '-' || error != std::errc() || end != last) {
      return refusal("PTY= takes a number 0..31");
    }
    return ptyElement(params.dsn, params.psn, pty);
  }
  if (key == "TP" || key == "TA") {
    const Result<bool> on = flag(key, value);
    if (!on) return on.error();
    (key == "TP" ? state.tp : state.ta) = on.value();
    return taTpElement(params.dsn, params.psn, state.tp, state.ta);
  }
  if (key == "UECP") return hexElement(value);
  return unknown();
}

}  // namespace varnok::uecp
