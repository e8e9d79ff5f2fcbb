// Now playing: the input is what a playout system or an HTTP client may
// send. Its first byte picks the format (JSON, form, line or XML file) and
// the file encoding; the rest is parsed, and whatever update comes out is
// rendered for every charset. The same bytes are also read as a radio-text
// template and as a command template. Whatever the input, rendering keeps
// its promises: at most 64 characters of radio text, valid UTF-8 for UTF-8
// encoders, and no field that splits a command.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "nowplaying/metadata.h"
#include "nowplaying/render.h"
#include "nowplaying/templates.h"
#include "nowplaying/text.h"

namespace {

using namespace varnok::nowplaying;

bool validUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

Parsed<Update> parse(std::uint8_t pick, std::string_view body) {
  const auto encoding = static_cast<FileEncoding>((pick >> 2) % 3);
  switch (pick & 3) {
    case 0:
      return parseJson(body);
    case 1:
      return parseForm(body);
    case 2:
      return parseFile(body, FileFormat::Line, encoding);
    default:
      return parseFile(body, FileFormat::Xml, encoding);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 4096) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const RadioTextTemplate radioText;
  static const RadioTextTemplate idleText("Idle %ALBUM%");
  static const CommandTemplate commands[] = {CommandTemplate("RT=%RT%|%ARTIST%|%TITLE%|%ALBUM%"),
                                             CommandTemplate("RTP=%RTPLUS%")};
  const Parsed<Update> parsed = parse(data[0], body);
  VARNOK_FUZZ_CHECK(parsed.ok() != !parsed.error.empty());
  if (parsed.ok()) {
    for (const Charset charset : {Charset::Utf8, Charset::Rds, Charset::Ascii}) {
      const Rendering r = render(*parsed.value, radioText, idleText, charset, commands);
      VARNOK_FUZZ_CHECK(r.radioText.size() <= kRadioTextLimit);
      VARNOK_FUZZ_CHECK(r.commands.size() == (r.kind == Rendering::Kind::Nothing ? 0u : 2u));
      for (const std::string& command : r.commands) {
        for (const char c : command)
          VARNOK_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        if (charset == Charset::Utf8) VARNOK_FUZZ_CHECK(validUtf8(command));
        if (charset == Charset::Ascii) {
          for (const char c : command) VARNOK_FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);
        }
      }
    }
    for (const char c : logText(*parsed.value)) {
      VARNOK_FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    }
  }
  // The same bytes as templates: read or refused, never anything else.
  try {
    const RadioTextTemplate t(body);
    Fields fields{EncodedText(Charset::Rds), EncodedText(Charset::Rds), EncodedText(Charset::Rds)};
    (void)t.fill(fields, Charset::Rds);
  } catch (const TemplateError&) {
  }
  try {
    const CommandTemplate t(body);
    (void)t.render({"rt", "a", "t", "al", "0,0,0,0,0,0"});
  } catch (const TemplateError&) {
  }
  return 0;
}
