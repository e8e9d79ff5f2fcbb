#pragma once

// Case and blanks in the ASCII sense, for keys, names, header values and
// list items: only the letters a to z and A to Z change case, so that the
// bytes of other letters, in whatever code page a text was written, stay as
// they are.

#include <algorithm>
#include <string>
#include <string_view>

namespace varnok {

constexpr char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string upperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upperAscii(c);
  return out;
}

inline std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return upperAscii(x) == upperAscii(y);
         });
}

// text without the blanks at either end.
inline std::string_view trimmed(std::string_view text, std::string_view blanks = " \t\r") {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace varnok
