#include "platform/ini_file.h"

#include <limits>

#include "platform/regular_file.h"

namespace varnok {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string makeKey(std::string_view section, std::string_view key) {
  std::string k = upperAscii(trim(section));
  k += '\n';
  k += upperAscii(trim(key));
  return k;
}

}  // namespace

IniFile::IniFile(const std::string& path) {
  const std::optional<std::string> content = readRegularFile(path, kMaxBytes);
  if (!content) return;
  loaded_ = true;
  parse(*content);
}

IniFile IniFile::fromText(std::string_view text) {
  IniFile ini;
  ini.loaded_ = true;
  ini.parse(text);
  return ini;
}

void IniFile::parse(std::string_view text) {
  std::string section;
  bool inSection = false;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    line = trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      section = std::string(line.substr(1, close - 1));
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, eq));
    if (key.empty()) continue;
    std::string_view value = trim(line.substr(eq + 1));
    if (value.size() > kMaxValue) value = trim(value.substr(0, kMaxValue));
    values_.try_emplace(makeKey(section, key), value);
  }
}

const std::string* IniFile::find(std::string_view section, std::string_view key) const {
  auto it = values_.find(makeKey(section, key));
  return it == values_.end() ? nullptr : &it->second;
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                const std::string& def) const {
  const std::string* v = find(section, key);
  return v ? *v : def;
}

std::vector<std::string> IniFile::keyNames(std::string_view section) const {
  const std::string prefix = makeKey(section, "");
  std::vector<std::string> names;
  for (const auto& [key, value] : values_) {
    if (key.compare(0, prefix.size(), prefix) == 0) names.push_back(key.substr(prefix.size()));
  }
  return names;
}

std::optional<std::int32_t> IniFile::parseInteger(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text.front() == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > std::int64_t{1} << 32) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::int32_t IniFile::readInteger(std::string_view section, std::string_view key,
                                  std::int32_t def) const {
  const std::string* v = find(section, key);
  if (!v) return def;
  return parseInteger(*v).value_or(def);
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def) const {
  const std::string* v = find(section, key);
  if (!v) return def;
  const auto n = parseInteger(*v);
  return n ? *n != 0 : def;
}

}  // namespace varnok
