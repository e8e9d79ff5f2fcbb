#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ascii_text.h"

namespace varnok {

// A read-only INI file with the private-profile reading rules the dispatcher
// relies on: section and key names match without regard to ASCII letter
// case, blanks around a value are not part of it, a value is at most 2047
// characters, and a missing file, section or key yields the caller's default.
// Comments (";" lines) are skipped; quotes are kept as written. The first
// occurrence of a key wins. The file is read once, in the constructor.
class IniFile {
 public:
  static constexpr std::size_t kMaxValue = 2047;
  // Larger files are read up to this size; the rest is not looked at.
  static constexpr std::size_t kMaxBytes = 32u << 20;

  IniFile() = default;
  explicit IniFile(const std::string& path);

  // Whether a regular file could be opened and read.
  bool loaded() const { return loaded_; }

  std::string readString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // Decimal with optional sign, or hexadecimal after "0x", "0X" or "$"; an
  // empty, unreadable or out-of-range (signed 32-bit) value yields def.
  std::int32_t readInteger(std::string_view section, std::string_view key, std::int32_t def) const;
  // Read as an integer: 0 is off, any other number on, anything else def.
  bool readBool(std::string_view section, std::string_view key, bool def) const;

  // The names of the keys of a section, upper-cased, in no particular order.
  std::vector<std::string> keyNames(std::string_view section) const;

  static std::optional<std::int32_t> parseInteger(std::string_view text);
  // Parses INI text as the constructor does with a file's content.
  static IniFile fromText(std::string_view text);

 private:
  void parse(std::string_view text);
  const std::string* find(std::string_view section, std::string_view key) const;

  bool loaded_ = false;
  // Keyed by upper-cased section, "\n", upper-cased key.
  std::unordered_map<std::string, std::string> values_;
};

}  // namespace varnok
