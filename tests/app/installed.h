#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace varnok::testing {

// A copy of the program in a fresh folder (the folder gives the title and
// holds the configuration), with a runtime directory of its own so that its
// hand-off channel meets no other test's.
class Installed {
 public:
  explicit Installed(const std::string& ini, const std::string& name = "Station") {
    folder = dir.folder() + name + "/";
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(dir.folder() + "run");
    chmod((dir.folder() + "run").c_str(), 0700);
    std::filesystem::copy_file(VARNOK_BINARY, program());
    write("varnok.ini", ini);
  }
  std::string program() const { return folder + "varnok"; }
  void write(const std::string& file, const std::string& content) const {
    std::ofstream(folder + file, std::ios::binary) << content;
  }
  std::vector<std::string> env() const {
    return {"VARNOK_HEADLESS=1", "XDG_RUNTIME_DIR=" + dir.folder() + "run"};
  }
  // Starts the program from its folder with the given arguments.
  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args = {}) const {
    return std::make_unique<ChildProcess>(program(), args, folder, env());
  }

  TempDir dir;
  std::string folder;
};

}  // namespace varnok::testing
