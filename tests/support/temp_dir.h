#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

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
  std::string write(const std::string& name, const std::string& content) const {
    const std::string file = folder() + name;
    std::ofstream out(file, std::ios::binary);
    out << content;
    return file;
  }

 private:
  std::string path_;
};

}  // namespace varnok::testing
