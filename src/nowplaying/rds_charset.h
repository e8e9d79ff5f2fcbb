#pragma once

#include <cstdint>
#include <optional>

namespace varnok::nowplaying {

// The basic character set of RDS texts (the G0 code table): one byte per
// character. Codes 0x20..0x7D are ASCII except 0x24 (currency sign ¤), 0x5E
// (horizontal bar ―), 0x60 (double vertical line ‖) and 0x7E (macron ¯); the
// dollar sign lives at 0xAB. The upper half holds accented letters and
// symbols. Codes 0x00..0x1F (control codes), 0x7F and 0xFF have no character.

// What a code shows, as a Unicode code point; nullopt for a code without a
// character.
std::optional<char32_t> rdsCharacter(std::uint8_t code);

// The code of a character; nullopt when the set has none (the character is
// compared as it stands: "e" + combining acute is not "é").
std::optional<std::uint8_t> rdsCode(char32_t character);

}  // namespace varnok::nowplaying
