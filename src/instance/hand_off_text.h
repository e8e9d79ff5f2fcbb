#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnok {

// The longest text a second copy may hand over. Longer texts are refused
// with a message instead of being lost on the way.
constexpr std::size_t kMaxHandOffText = 255;

// The one line of text that a second copy hands to the running copy, built
// from its arguments (the program name is not among them): each argument is
// appended followed by one space; whenever the text so far, upper-cased
// (a to z only), contains ".EXE", it is emptied. An empty result is "NULL".
// The bytes of the arguments are kept as they are.
std::string buildHandOffText(const std::vector<std::string>& args);

}  // namespace varnok
