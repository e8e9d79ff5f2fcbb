#include "dispatcher/access_list.h"

#include <algorithm>
#include <functional>

#include "platform/regular_file.h"

namespace varnok {

void AccessList::load(const std::string& path) {
  clear();
  std::string line;
  bool longLine = false;
  auto endLine = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!longLine && !line.empty() && line.size() < 16) add(line);
    line.clear();
    longLine = false;
  };
  // Only a regular file is read (a FIFO or a device in its place must not
  // block), piece by piece: a huge list costs no more memory than a short one.
  readRegularFileInPieces(path, [&](std::string_view piece) {
    for (const char c : piece) {
      if (c == '\n') {
        endLine();
      } else if (line.size() <= 16) {
        line.push_back(c);
      } else {
        longLine = true;  // a list line is short; drop the rest unread
      }
    }
    return true;
  });
  endLine();
}

void AccessList::clear() {
  entries_.clear();
  exact_.clear();
  prefixes_.clear();
  prefixLengths_.clear();
}

void AccessList::add(std::string entry) {
  const std::size_t star = entry.find('*');
  entries_.push_back(std::move(entry));
  const std::size_t position = entries_.size() - 1;
  if (star == std::string::npos) {
    exact_.insert(entries_, position);
    return;
  }
  prefixes_.insert(entries_, position);
  if (prefixLengths_.size() <= star) prefixLengths_.resize(star + 1);
  prefixLengths_[star] = true;
}

bool AccessList::matches(std::string_view address) const {
  if (exact_.contains(entries_, address)) return true;
  const std::size_t longest = std::min(address.size() + 1, prefixLengths_.size());
  for (std::size_t n = 0; n < longest; ++n) {
    if (prefixLengths_[n] && prefixes_.contains(entries_, address.substr(0, n))) return true;
  }
  return false;
}

void AccessList::Index::clear() {
  slots_.clear();
  used_ = 0;
}

std::string_view AccessList::Index::keyOf(const std::string& entry) const {
  const std::string_view whole(entry);
  return prefixes_ ? whole.substr(0, whole.find('*')) : whole;
}

void AccessList::Index::insert(const std::vector<std::string>& entries, std::size_t position) {
  if ((used_ + 1) * 2 > slots_.size()) grow(entries);
  const std::string_view key = keyOf(entries[position]);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = std::hash<std::string_view>{}(key)&mask;; i = (i + 1) & mask) {
    if (slots_[i] == 0) {
      slots_[i] = static_cast<std::uint32_t>(position + 1);
      ++used_;
      return;
    }
    if (keyOf(entries[slots_[i] - 1]) == key) return;
  }
}

bool AccessList::Index::contains(const std::vector<std::string>& entries,
                                 std::string_view key) const {
  if (used_ == 0) return false;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = std::hash<std::string_view>{}(key)&mask;; i = (i + 1) & mask) {
    if (slots_[i] == 0) return false;
    if (keyOf(entries[slots_[i] - 1]) == key) return true;
  }
}

void AccessList::Index::grow(const std::vector<std::string>& entries) {
  std::vector<std::uint32_t> old(std::max<std::size_t>(16, slots_.size() * 2), 0);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const std::uint32_t taken : old) {
    if (taken == 0) continue;
    std::size_t i = std::hash<std::string_view>{}(keyOf(entries[taken - 1])) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = taken;
  }
}

}  // namespace varnok
