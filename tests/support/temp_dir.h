#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace varnok::testing {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/varnok-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder with a trailing "/".
  std::string folder() const { return path_ + "/"; }
  const std::string& path() const { return path_; }
  // Replaces the file's content; returns its full name.
  std::string write(const std::string& name, std::string_view content) const {
    const std::string file = folder() + name;
    // A new file rather than a truncated one: some file systems flush a file
    // that was truncated and written again when it is closed, which would
    // make a fuzz target wait for the disk on every input.
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

}  // namespace varnok::testing
