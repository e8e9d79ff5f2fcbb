#pragma once

// UECP, the EBU RDS Universal Encoder Communication Protocol, for encoders
// that take it instead of ASCII command lines: frames, the stream reader for
// what the encoder sends back, the message elements Varnok uses and the
// mapping of the command dialect onto them. Nothing here does I/O.
//
// A frame on the wire:
//   STA FE | ADD (2, high byte first) | SQC | MFL | message (MFL bytes) |
//   CRC (2, high byte first) | STP FF
// ADD is the 10-bit site address over the 6-bit encoder address. The CRC is
// CRC-16 with polynomial 0x1021 (x^16 + x^12 + x^5 + 1), preset 0xFFFF, not
// reflected, inverted at the end, over ADD..message. Between STA and STP
// every FD, FE and FF is sent as FD 00, FD 01 and FD 02.
//
// A message element starts with its code (MEC); most then carry the data set
// (DSN) and programme service (PSN) numbers they apply to.
//
// Checked against public descriptions of the UECP standard:
// - the frame fields, the 10/6-bit address split, the stuffing pairs (the
//   page prints FE's pair as FE 01, a slip: FE may not appear inside a
//   frame) and the CRC polynomial, preset and extent
//   (https://radiospurs.uk/RDS/RDSFrameFormat);
// - the element codes PI 01, PS 02, TA/TP 03, PTY 07, RT 0A and message
//   acknowledgement 18 (https://radiospurs.uk/RDS/RDSMECCommands);
// - the PS element, MEC DSN PSN and eight characters without a length byte
//   (https://radiospurs.uk/RDS/RDSMessageFormat);
// - in the RT configuration byte, bit 0 separate from bits 1..7 and buffer
//   configuration in bits 6-5 (an encoder maker's UECP notes,
//   https://www.easymanua.ls/fmuser/rds-c/manual?p=45);
// - the RT+ group 11A bits (item toggle, item running, two tags of content
//   type, start and length) and the 3A group announcing AID 4BD7 on 11A (the
//   same notes, p=52).
// Not confirmed there, taken from the team's notes: the CRC's final
// inversion and byte order (the frame page says "reverse byte order"; the
// reference frame FE 00 00 00 02 1E 01 AF D2 FF sends the high byte first),
// the number of transmissions in bits 4-1 of the RT configuration byte, the
// numbering of the acknowledgement codes, and the layouts of the two ODA
// elements (configuration 40 and data 46, see rtPlusSetupElement).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace varnok::uecp {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStart = 0xFE;
inline constexpr std::uint8_t kStop = 0xFF;
inline constexpr std::uint8_t kEscape = 0xFD;
inline constexpr std::size_t kMaxMessage = 255;
// ADD, SQC, MFL, the longest message and the CRC, before stuffing.
inline constexpr std::size_t kMaxContent = 2 + 1 + 1 + kMaxMessage + 2;
// The longest frame on the wire: every content byte stuffed, STA and STP.
inline constexpr std::size_t kMaxFrameBytes = 2 * kMaxContent + 2;

std::uint16_t crc(std::span<const std::uint8_t> bytes);

// The ADD field for a site (0..1023) and an encoder at it (0..63).
Result<std::uint16_t> address(unsigned site, unsigned encoder);

// The frame for one message, stuffed, STA to STP; a message longer than
// kMaxMessage is refused.
Result<Bytes> frame(std::uint16_t address, std::uint8_t sequence,
                    std::span<const std::uint8_t> message);

struct Frame {
  std::uint16_t address = 0;
  std::uint8_t sequence = 0;
  Bytes message;
  bool operator==(const Frame&) const = default;
};

// The acknowledgement codes (MEC 18), in the order of the UECP standard. The
// reader reports its own faults with the code that names them.
enum class AckCode : std::uint8_t {
  Ok = 0,
  CrcError = 1,
  Incomplete = 2,  // message not received completely
  UnknownMessage = 3,
  DsnError = 4,
  PsnError = 5,
  OutOfRange = 6,
  ElementLength = 7,
  FieldLength = 8,
  NotAcceptable = 9,
  EndMissing = 10,
  BufferOverflow = 11,
  BadStuffing = 12,
  UnexpectedEnd = 13,
};

// What an acknowledgement code means, for the log; unknown codes say so.
std::string_view ackMeaning(int code);

// Finds frames in what an encoder sends: bytes before an STA are dropped,
// each STA..STP is unstuffed and checked. Feed what arrives, then call next()
// until it gives nullopt; after that at most one frame in progress stays
// buffered (kMaxFrameBytes), so a flood of garbage cannot grow memory.
//
// Faults come back as an Error whose code is the AckCode naming them: bad
// stuffing (FD before anything but 00, 01, 02, or before STP), a CRC error,
// a field length that is not the message's (or a frame too short to hold
// the fields), a frame cut by a new STA (which starts the next frame) and
// more bytes after an STA than any frame has (a buffer overflow; the rest up
// to the next STA is dropped).
class FrameReader {
 public:
  void feed(std::span<const std::uint8_t> bytes);
  // The next frame or fault; nullopt until more bytes arrive.
  std::optional<Result<Frame>> next();
  // Bytes kept for a frame not yet complete.
  std::size_t buffered() const { return buffer_.size() - head_; }

 private:
  void compact();

  Bytes buffer_;
  std::size_t head_ = 0;  // where unread bytes start in buffer_
};

// Message elements, MEC first. Texts are in the RDS character set, one byte
// a character. Refusals, here as in address() and frame(), carry error
// code 0.
Bytes piElement(std::uint8_t dsn, std::uint8_t psn, std::uint16_t pi);
// Space-padded to 8 characters; longer is refused.
Result<Bytes> psElement(std::uint8_t dsn, std::uint8_t psn, std::string_view name);
Bytes taTpElement(std::uint8_t dsn, std::uint8_t psn, bool tp, bool ta);
// 0..31, else refused.
Result<Bytes> ptyElement(std::uint8_t dsn, std::uint8_t psn, int pty);

inline constexpr std::size_t kMaxRadioText = 64;

// How the encoder is to take a radio text (the RT configuration byte). The
// buffer is always flushed and loaded with this text (bits 6-5 = 00).
struct RadioTextMode {
  int transmissions = 0;  // 0..15, 0 for the encoder's default
  bool toggleAb = true;   // bit 0: toggle the A/B flag, as a new text needs
};

// MEC DSN PSN MEL, the configuration byte, then the text; MEL counts the
// configuration byte and the text. Up to kMaxRadioText characters.
Result<Bytes> radioTextElement(std::uint8_t dsn, std::uint8_t psn, std::string_view text,
                               RadioTextMode mode = {});

// A message acknowledgement (MEC 18, code, and the sequence counter of the
// frame it answers where the encoder sends one).
struct Acknowledgement {
  int code = 0;
  std::optional<std::uint8_t> sequence;
  bool operator==(const Acknowledgement&) const = default;
};

// The acknowledgement a message field holds; anything else is refused.
Result<Acknowledgement> parseAcknowledgement(std::span<const std::uint8_t> message);

// The command dialect (one line without its CR) as one element.

// Turns a command's text into RDS bytes (see nowplaying/rds_charset.h); the
// encoder library cannot call the converter itself, as the now-playing
// library sits above it.
using TextToRds = std::function<Result<std::string>(std::string_view text)>;

struct Params {
  std::uint8_t dsn = 0;
  std::uint8_t psn = 0;
  // Without one, texts are taken as RDS bytes already.
  TextToRds toRds;
};

// What the dialect sets one at a time but one element carries together (TP
// and TA), and what an encoder was last given, for the flags that mark
// something new (the radio text's A/B flag, the RT+ item toggle).
struct DialectState {
  bool tp = false;
  bool ta = false;
  std::optional<std::string> radioText;   // the last radio text, in RDS bytes
  std::optional<std::string> taggedText;  // the radio text when tags last came
  bool itemToggle = false;
  bool operator==(const DialectState&) const = default;
};

// RT+ (the ODA with AID 4BD7, carried in group 11A): two tags over the radio
// text, each a content type (0..63), a start (0..63) and a length marker
// (the length less one: 0..63 for the first tag, 0..31 for the second).
inline constexpr std::uint16_t kRtPlusAid = 0x4BD7;
struct RtPlusTags {
  int type1 = 0, start1 = 0, length1 = 0;
  int type2 = 0, start2 = 0, length2 = 0;
  bool operator==(const RtPlusTags&) const = default;
};

// The "c1,s1,l1,c2,s2,l2" form; anything else or out of range is refused.
Result<RtPlusTags> parseRtPlusTags(std::string_view text);

// ODA configuration (MEC 40): AID, the application group type code (11A),
// and the 16 message bits of the 3A group (0 for RT+). Sent once per
// connection before the first RT+ data.
Bytes rtPlusSetupElement();
// ODA data (MEC 46): AID, a configuration byte (0), then the 37 bits of the
// 11A group: 5 of block B (item toggle, item running, the first tag's type
// high bits), block C and block D.
Bytes rtPlusDataElement(const RtPlusTags& tags, bool itemToggle, bool itemRunning);
// Whether an element is RT+ data, which needs the setup on its connection.
bool isRtPlusData(std::span<const std::uint8_t> element);

// PS= (up to 8 characters, padded), RT=, RT1= and TEXT= (up to 64; the A/B
// flag toggled when the text differs from the last one), PI= (4 hex
// digits), PTY= (0..31), TP= and TA= (0 or 1; the element carries both, the
// other from `state`), RTP= (RT+ tags; the item runs while a tag has a
// content type, and its toggle flips when the radio text has changed since
// the last tags), UECP= (one element as pairs of hex digits, white space
// between pairs, sent as given). A success updates `state`. Anything else
// is refused with an error that names the key.
Result<Bytes> elementFor(std::string_view line, const Params& params, DialectState& state);

}  // namespace varnok::uecp
