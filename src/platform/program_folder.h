#pragma once

#include <string>

namespace varnok {

// The folder of the running executable, symbolic links resolved, with a
// trailing "/". Empty when it cannot be determined.
std::string programFolder();

// The folder part of a path to a file, with a trailing "/".
std::string folderOf(const std::string& filePath);

// "Varnok (" + last folder name + ")"; the root folder gives "Varnok (/)".
std::string applicationTitle(const std::string& folder);

}  // namespace varnok
