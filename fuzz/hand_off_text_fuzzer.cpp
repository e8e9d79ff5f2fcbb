// The text a second copy builds from its arguments. The input is the
// argument vector, arguments separated by NUL bytes (which no argument can
// hold); whatever text comes out must also cross the channel intact.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "instance/channel.h"
#include "instance/hand_off_text.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    for (std::string_view arg : varnok::fuzz::splitAt(varnok::fuzz::asText(data, size), '\0')) {
      args.emplace_back(arg);
    }
  }
  const std::string text = varnok::buildHandOffText(args);

  // Arguments up to the last one that names a program (".EXE" in any letter
  // case) are dropped; the rest is joined with a space after each one.
  std::string expected;
  for (const std::string& arg : args) {
    if (varnok::upperAscii(arg).find(".EXE") != std::string::npos) {
      expected.clear();
    } else {
      expected.append(arg).push_back(' ');
    }
  }
  if (expected.empty()) expected = "NULL";
  VARNOK_FUZZ_CHECK(text == expected);

  // What a second copy would send, read back as the running copy reads it.
  if (text.size() <= varnok::kMaxHandOffText) {
    const std::string title = "Varnok (fuzz)";
    const std::string frame = varnok::channel::encodeFrame(title, text);
    varnok::channel::FrameParser parser;
    VARNOK_FUZZ_CHECK(parser.feed(frame.data(), frame.size()) ==
                      varnok::channel::FrameParser::State::Complete);
    VARNOK_FUZZ_CHECK(parser.title() == title && parser.text() == text);
  }
  return 0;
}
