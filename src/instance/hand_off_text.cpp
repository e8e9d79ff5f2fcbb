#include "instance/hand_off_text.h"

#include "platform/ini_file.h"

namespace varnok {
namespace {

bool containsExe(const std::string& text) {
  static constexpr char kExe[] = ".EXE";
  if (text.size() < 4) return false;
  for (std::size_t i = 0; i + 4 <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < 4 && upperAscii(text[i + k]) == kExe[k]) ++k;
    if (k == 4) return true;
  }
  return false;
}

}  // namespace

std::string buildHandOffText(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) {
    text.append(arg).push_back(' ');
    // Drops a program path given as an argument together with everything
    // before it. A match never spans two arguments: a space is not in ".EXE".
    if (containsExe(text)) text.clear();
  }
  if (text.empty()) text = "NULL";
  return text;
}

}  // namespace varnok
