#pragma once

// Helpers shared by the fuzz targets.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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
class ScratchFolder {
 public:
  ScratchFolder() {
    char tmpl[] = "/tmp/varnok-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder with a trailing "/", as the dispatcher wants its program folder.
  std::string folder() const { return path_ + "/"; }
  // Replaces the file's content; returns its full name.
  std::string write(const std::string& name, std::string_view content) const {
    const std::string file = folder() + name;
    // A new file rather than a truncated one: some file systems flush a file
    // that was truncated and written again when it is closed, which would
    // make every input wait for the disk.
    ::unlink(file.c_str());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
  }

 private:
  std::string path_;
};

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
