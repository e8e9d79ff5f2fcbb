// The INI reader on arbitrary file content: read from a real file and from
// memory, every section and key the text names is looked up with each of the
// reading functions.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/ini_file.h"

namespace {

using varnok::IniFile;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The integer a value means, worked out with the standard library: an
// optional sign, then decimal digits, or hexadecimal ones after "0x", "0X"
// or "$", and nothing else; the result must fit 32 signed bits.
std::optional<std::int32_t> referenceInteger(std::string_view text) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.substr(0, 1) == "$") {
    base = 16;
    text.remove_prefix(1);
  } else if (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X") {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  // Leading zeros do not change the value but would overflow the parse.
  const std::size_t firstDigit = std::min(text.find_first_not_of('0'), text.size() - 1);
  text.remove_prefix(firstDigit);
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (magnitude > limit) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                            : static_cast<std::int64_t>(magnitude));
}

// The section names and key names the text mentions, as written; a few dozen
// of each, so that an input of many short lines does not take a square of
// its length in look-ups.
void collectNames(std::string_view text, std::set<std::string>& sections,
                  std::set<std::string>& keys) {
  constexpr std::size_t kMostSections = 32;
  constexpr std::size_t kMostKeys = 64;
  for (std::string_view line : varnok::fuzz::splitAt(text, '\n')) {
    line = trimmed(line);
    if (!line.empty() && line[0] == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos && sections.size() < kMostSections) {
        sections.emplace(line.substr(1, close - 1));
      }
    } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
      if (keys.size() < kMostKeys) keys.emplace(line.substr(0, eq));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const varnok::fuzz::ScratchFolder scratch;
  const std::string_view text = varnok::fuzz::asText(data, size);

  const IniFile fromFile(scratch.write("fuzz.ini", text));
  const IniFile fromText = IniFile::fromText(text);
  VARNOK_FUZZ_CHECK(fromFile.loaded());

  std::set<std::string> sections;
  std::set<std::string> keys;
  collectNames(text, sections, keys);
  // A marker no value can equal: values are trimmed of blanks at both ends.
  const std::string missing = " missing ";
  for (const std::string& section : sections) {
    std::vector<std::string> names = fromText.keyNames(section);
    std::vector<std::string> namesFromFile = fromFile.keyNames(section);
    std::sort(names.begin(), names.end());
    std::sort(namesFromFile.begin(), namesFromFile.end());
    VARNOK_FUZZ_CHECK(names == namesFromFile);
    VARNOK_FUZZ_CHECK(std::adjacent_find(names.begin(), names.end()) == names.end());
    for (const std::string& name : names) {
      VARNOK_FUZZ_CHECK(varnok::upperAscii(name) == name);
      // Every key a section lists can be read back, by its listed name.
      VARNOK_FUZZ_CHECK(fromText.readString(section, name, missing) != missing);
    }
    for (const std::string& key : keys) {
      const std::string value = fromText.readString(section, key, missing);
      VARNOK_FUZZ_CHECK(value == fromFile.readString(section, key, missing));
      const bool found = value != missing;
      // Looked up by a name it lists, in any letter case.
      VARNOK_FUZZ_CHECK(found == std::binary_search(names.begin(), names.end(),
                                                    varnok::upperAscii(trimmed(key))));
      if (!found) {
        VARNOK_FUZZ_CHECK(fromText.readInteger(section, key, -7) == -7);
        continue;
      }
      VARNOK_FUZZ_CHECK(value.size() <= IniFile::kMaxValue);
      VARNOK_FUZZ_CHECK(value.empty() || (!isBlank(value.front()) && !isBlank(value.back())));
      const std::optional<std::int32_t> number = referenceInteger(value);
      VARNOK_FUZZ_CHECK(IniFile::parseInteger(value) == number);
      VARNOK_FUZZ_CHECK(fromText.readInteger(section, key, -7) == number.value_or(-7));
      VARNOK_FUZZ_CHECK(fromText.readBool(section, key, true) == (number ? *number != 0 : true));
      VARNOK_FUZZ_CHECK(fromText.readBool(section, key, false) == (number ? *number != 0 : false));
    }
  }
  // The integer parser on its own, on the raw text as one value.
  if (size <= 64) VARNOK_FUZZ_CHECK(IniFile::parseInteger(text) == referenceInteger(text));
  return 0;
}
