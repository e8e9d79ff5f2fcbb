#pragma once

#include <string>
#include <vector>

namespace varnok {

// The vip or ban list: producer addresses, one per line. An entry is an
// exact address, or a prefix followed by "*" (anything after the star is
// ignored). Lines of 16 characters or more are not addresses and are
// skipped.
class AccessList {
 public:
  // Replaces the entries by those of the file at path; a missing or
  // unreadable file (or anything but a regular file) gives an empty list, a
  // failed read keeps the lines before it.
  void load(const std::string& path);
  bool matches(const std::string& address) const;

  const std::vector<std::string>& entries() const { return entries_; }
  void clear() { entries_.clear(); }
  void add(std::string entry) { entries_.push_back(std::move(entry)); }

 private:
  std::vector<std::string> entries_;
};

}  // namespace varnok
