#pragma once

// Helpers shared by the fuzz targets.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace varnok::fuzz {

// A broken property is reported like a crash, so that libFuzzer keeps the
// input that broke it.
[[noreturn]] inline void checkFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define VARNOK_FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::varnok::fuzz::checkFailed(#cond, __FILE__, __LINE__))

// A program folder of its own under /tmp for one fuzzing process, removed
// with everything in it when the process ends normally.
using ScratchFolder = varnok::testing::TempDir;

// The pieces of data between separators; n separators give n + 1 pieces.
inline std::vector<std::string_view> splitAt(std::string_view data, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t at = data.find(separator);
    pieces.push_back(data.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    data.remove_prefix(at + 1);
  }
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace varnok::fuzz
