#include "encoder/uecp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "nowplaying/text.h"

namespace varnok::uecp {
namespace {

using Lines = std::vector<std::string>;

std::string hexOf(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, out.empty() ? "%02X" : " %02X", b);
    out += digits;
  }
  return out;
}

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes bigEndian(unsigned value) {
  return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

bool reserved(std::uint8_t b) {
  return b >= 0xFD;
}

std::string describe(const Frame& f) {
  return "ok " + hexOf(bigEndian(f.address)) + " " + hexOf(Bytes{f.sequence}) + " / " +
         hexOf(f.message);
}

// Everything the reader gives now; what stays buffered must stay in bounds.
Lines drain(FrameReader& reader) {
  Lines out;
  while (auto next = reader.next()) {
    out.push_back(*next ? describe(next->value()) : "error " + std::to_string(next->error().code));
  }
  EXPECT_LE(reader.buffered(), kMaxFrameBytes);
  return out;
}

TEST(UecpTest, CrcAddressReferenceFrameAndAcknowledgements) {
  const std::string digits = "123456789";
  EXPECT_EQ(crc(Bytes(digits.begin(), digits.end())), 0xD64E);
  EXPECT_EQ(hexOf(frame(0, 0, Bytes{0x1E, 0x01}).value()), "FE 00 00 00 02 1E 01 AF D2 FF");
  EXPECT_FALSE(frame(0, 0, Bytes(256, 0x41)).ok());
  EXPECT_EQ(address(1023, 63).value(), 0xFFFF);
  EXPECT_EQ(address(5, 2).value(), 0x0142);
  EXPECT_FALSE(address(1024, 0).ok() || address(0, 64).ok());

  EXPECT_EQ(parseAcknowledgement(Bytes{0x18, 0x00}).value(), (Acknowledgement{0, std::nullopt}));
  EXPECT_EQ(parseAcknowledgement(Bytes{0x18, 0x0C, 0x07}).value(), (Acknowledgement{12, 7}));
  for (const Bytes& bad : {Bytes{0x18}, Bytes{0x0A, 0x00}, Bytes{0x18, 0x00, 0x01, 0x02}}) {
    EXPECT_FALSE(parseAcknowledgement(bad).ok()) << hexOf(bad);
  }
  EXPECT_EQ(ackMeaning(0), "acknowledged");
  EXPECT_EQ(ackMeaning(2), "message not received completely");
  EXPECT_EQ(ackMeaning(13), "unexpected end of message");
  EXPECT_EQ(ackMeaning(14), "unknown acknowledgement code");
  EXPECT_EQ(ackMeaning(-1), "unknown acknowledgement code");
}

TEST(UecpTest, StuffsEveryReservedByteInEveryFieldAndReadsItBack) {
  struct Case {
    std::uint16_t address;
    std::uint8_t sequence;
    Bytes message;
    std::size_t at;  // where the reserved byte is among the unstuffed bytes
  };
  for (const std::uint8_t v : {0xFD, 0xFE, 0xFF}) {
    std::vector<Case> cases = {{static_cast<std::uint16_t>(v << 8 | 1), 0, {0x41}, 0},
                               {static_cast<std::uint16_t>(0x0100 | v), 0, {0x41}, 1},
                               {0, v, {0x41}, 2},
                               {0, 0, Bytes(v, 0x41), 3},
                               {0, 0, {0x41, v}, 5}};
    for (const std::size_t half : {0u, 1u}) {  // a message whose CRC has v high, then low
      unsigned n = 0;
      while (n < 0xFFFF && bigEndian(crc(Bytes{0, 0, 0, 2} + bigEndian(n)))[half] != v) ++n;
      cases.push_back({0, 0, bigEndian(n), 6 + half});
    }
    for (const Case& c : cases) {
      Bytes content = bigEndian(c.address) +
                      Bytes{c.sequence, static_cast<std::uint8_t>(c.message.size())} + c.message;
      content = content + bigEndian(crc(content));
      SCOPED_TRACE("byte " + std::to_string(c.at) + " of " + hexOf(content));
      ASSERT_EQ(content[c.at], v);
      const auto stuffedBefore = [&](std::size_t end) {
        return static_cast<std::size_t>(
            std::count_if(content.begin(), content.begin() + end, reserved));
      };
      const Bytes wire = frame(c.address, c.sequence, c.message).value();
      ASSERT_EQ(wire.size(), 2 + content.size() + stuffedBefore(content.size()));
      const std::size_t at = 1 + c.at + stuffedBefore(c.at);
      EXPECT_EQ(hexOf({wire.begin() + at, 2}),
                hexOf(Bytes{0xFD, static_cast<std::uint8_t>(v - 0xFD)}));
      EXPECT_EQ(std::count_if(wire.begin() + 1, wire.end() - 1, [](auto b) { return b >= 0xFE; }),
                0);
      FrameReader reader;
      reader.feed(wire);
      EXPECT_EQ(drain(reader), Lines{describe({c.address, c.sequence, c.message})});
    }
  }
}

TEST(UecpTest, ReaderFindsFramesAndFaultsHoweverTheBytesArrive) {
  const Bytes a = frame(0x0142, 7, Bytes{0x18, 0x00}).value();
  const Bytes b = frame(0x0001, 0xFE, Bytes{0xFD, 0xFF, 0x0A}).value();  // stuffed throughout
  const std::string okA = "ok 01 42 07 / 18 00", okB = "ok 00 01 FE / FD FF 0A";
  Bytes badCrc = a, badStuffing = b;
  badCrc[5] ^= 0x01;
  ASSERT_EQ(badStuffing[3], 0xFD);
  badStuffing[4] = 0x03;
  const Bytes mfl3 = {0x00, 0x01, 0x00, 0x03, 0x1E, 0x01};  // MFL 3 for two bytes
  const Bytes longField = Bytes{0xFE} + mfl3 + bigEndian(crc(mfl3)) + Bytes{0xFF};
  ASSERT_FALSE(reserved(longField[7]) || reserved(longField[8]));
  const struct {
    std::string name;
    Bytes input;
    Lines expected;
  } rows[] = {
      {"two frames in one chunk", a + b, {okA, okB}},
      {"garbage before STA", Bytes{'j', 0xFF, 0xFD, 0x00} + a, {okA}},
      {"CRC error", badCrc + b, {"error 1", okB}},
      {"bad stuffing", badStuffing + a, {"error 12", okA}},
      {"stuffing at the last byte", Bytes{0xFE, 0, 1, 0, 0, 0xFD, 0xFF} + a, {"error 12", okA}},
      {"field length not the message's", longField + a, {"error 8", okA}},
      {"too short for the fields", Bytes{0xFE, 0x00, 0xFF} + b, {"error 8", okB}},
      {"cut by a new STA", Bytes{0xFE, 0x00, 0x01, 0x00} + a, {"error 2", okA}},
      {"flood after an STA", Bytes{0xFE} + Bytes(3 * kMaxFrameBytes, 0x41) + a, {"error 11", okA}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (std::size_t split = 0; split <= row.input.size(); ++split) {  // every cut into two
      FrameReader reader;
      reader.feed(std::span(row.input).first(split));
      Lines got = drain(reader);
      reader.feed(std::span(row.input).subspan(split));
      got = got + drain(reader);
      ASSERT_EQ(got, row.expected) << "split at " << split;
      EXPECT_EQ(reader.buffered(), 0u);
    }
    FrameReader reader;
    Lines got;
    for (const std::uint8_t byte : row.input) {
      reader.feed(std::span(&byte, 1));
      got = got + drain(reader);
    }
    EXPECT_EQ(got, row.expected) << "byte by byte";
  }
}

TEST(UecpTest, DialectLinesBecomeElements) {
  Params params{0x01, 0x02, [](std::string_view text) -> Result<std::string> {
                  return nowplaying::encodeText(text, nowplaying::Charset::Rds).bytes();
                }};
  DialectState state;
  const std::string x64(64, 'x');
  std::string x64Bytes;
  for (int i = 0; i < 64; ++i) x64Bytes += " 78";
  // In order: TP and TA take the other flag from the rows before, the A/B
  // flag and the RT+ item toggle what the radio text was.
  const std::pair<std::string, std::string> rows[] = {
      {"PS=RADIO 1", "02 01 02 52 41 44 49 4F 20 31 20"},
      {"PS=\u00c4\u00d6\u00dc\u00e4\u00f6\u00fc\u00df\u00e9", "02 01 02 D1 D7 D9 91 97 99 8D 82"},
      {"RT=Hi", "0A 01 02 03 01 48 69"},
      {"RT1=\u20ac5", "0A 01 02 03 01 A9 35"},
      {"TEXT=" + x64, "0A 01 02 41 01" + x64Bytes},
      {"TEXT=" + x64, "0A 01 02 41 00" + x64Bytes},
      // The published RT+ example: title at 9 (17 long), artist at 0 (6 long).
      {"RTP=1,9,16,4,0,5", "46 08 4B D7 00 08 24 A0 20 05"},
      {"RT=Hi", "0A 01 02 03 01 48 69"},
      {"RTP=1,9,16,4,0,5", "46 08 4B D7 00 18 24 A0 20 05"},
      {"RTP=0,0,0,0,0,0", "46 08 4B D7 00 10 00 00 00 00"},
      {"RTP=63,63,63,63,63,31", "46 08 4B D7 00 1F FF FF FF FF"},
      {"RTP=1,2,3", "! RTP= takes c1,s1,l1,c2,s2,l2"},
      {"RTP=1,0,0,1,0,32", "! RTP= out of range: types, starts and lengths 0..63, l2 0..31"},
      {"PI=C2f1", "01 01 02 C2 F1"},
      {"PTY=31", "07 01 02 1F"},
      {"TP=1", "03 01 02 02"},
      {"TA=1", "03 01 02 03"},
      {"TA=2", "! TA= takes 0 or 1"},
      {"TP=0", "03 01 02 01"},
      {"UECP=0a 00\t00 03 01 48 69", "0A 00 00 03 01 48 69"},
      {"PS=NINE CHRS", "! PS of 9 characters: at most 8"},
      {"RT=" + x64 + "x", "! RT of 65 characters: at most 64"},
      {"PI=C2FG", "! PI= takes 4 hex digits"},
      {"PI=C2F", "! PI= takes 4 hex digits"},
      {"PTY=32", "! PTY 32 out of range 0..31"},
      {"PTY=-1", "! PTY= takes a number 0..31"},
      {"UECP=0A 0", "! UECP= needs pairs of hex digits (character 4)"},
      {"DPS=Hello", "! no UECP element for DPS"},
  };
  for (const auto& [line, expected] : rows) {
    const Result<Bytes> element = elementFor(line, params, state);
    EXPECT_EQ(element ? hexOf(element.value()) : "! " + element.error().message, expected) << line;
  }
  // Without a converter the text is taken as RDS bytes; a converter's refusal passes through.
  EXPECT_EQ(hexOf(elementFor("PS=A$", Params{}, state).value()),
            "02 00 00 41 24 20 20 20 20 20 20");
  params.toRds = [](std::string_view) -> Result<std::string> { return Error{0, "no RDS code"}; };
  EXPECT_EQ(elementFor("RT=x", params, state).error().message, "no RDS code");
  EXPECT_EQ(hexOf(radioTextElement(0, 0, "", {15, false}).value()), "0A 00 00 01 1E");
  EXPECT_FALSE(radioTextElement(0, 0, "x", {16, true}).ok());
  // The 3A group of the same example: 11A carries AID 4BD7, message bits 0.
  EXPECT_EQ(hexOf(rtPlusSetupElement()), "40 05 4B D7 16 00 00");
}

}  // namespace
}  // namespace varnok::uecp
