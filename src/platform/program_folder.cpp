#include "platform/program_folder.h"

#include <climits>
#include <cstdlib>

namespace varnok {

std::string folderOf(const std::string& filePath) {
  const std::size_t slash = filePath.rfind('/');
  if (slash == std::string::npos) return "./";
  return filePath.substr(0, slash + 1);
}

std::string programFolder() {
  char resolved[PATH_MAX];
  if (!realpath("/proc/self/exe", resolved)) return {};
  return folderOf(resolved);
}

std::string applicationTitle(const std::string& folder) {
  if (folder.empty()) return "Varnok";
  std::string name = folder;
  if (!name.empty() && name.back() == '/') name.pop_back();
  const std::size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  // In the root folder nothing remains; the title names the root instead.
  if (name.empty()) name.push_back('/');
  std::string title = "Varnok (";
  title.append(name).append(")");
  return title;
}

}  // namespace varnok
