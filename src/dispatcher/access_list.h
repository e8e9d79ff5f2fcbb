#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnok {

// The vip or ban list: producer addresses, one per line. An entry is an
// exact address, or a prefix followed by "*" (anything after the star is
// ignored; "*" alone names every address). Lines of 16 characters or more
// are not addresses and are skipped.
//
// Every chunk a producer sends is checked against both lists, so a check
// must not cost more for a longer list: exact entries and prefixes are kept
// in hash indexes, and a check probes the address whole and each of its
// beginnings whose length some pattern has (addresses are short).
class AccessList {
 public:
  // Replaces the entries by those of the file at path; a missing or
  // unreadable file (or anything but a regular file) gives an empty list, a
  // failed read keeps the lines before it.
  void load(const std::string& path);
  bool matches(std::string_view address) const;

  // In file order, duplicates included.
  const std::vector<std::string>& entries() const { return entries_; }
  void clear();
  void add(std::string entry);

 private:
  // Positions in entries_, looked up by a key taken from the entry: the
  // whole entry, or what comes before its star. Open addressing with linear
  // probing; positions are 32 bits, as entries of at most 15 bytes a line
  // could only pass that count with a list file of tens of gigabytes.
  class Index {
   public:
    explicit Index(bool prefixes) : prefixes_(prefixes) {}
    void clear();
    // Adds entries[position], unless an entry with the same key is in.
    void insert(const std::vector<std::string>& entries, std::size_t position);
    bool contains(const std::vector<std::string>& entries, std::string_view key) const;

   private:
    std::string_view keyOf(const std::string& entry) const;
    void grow(const std::vector<std::string>& entries);

    bool prefixes_;
    // Position + 1 of an entry, 0 for a free slot. The size is a power of
    // two and at most half of the slots are taken, so that a probe ends soon.
    std::vector<std::uint32_t> slots_;
    std::size_t used_ = 0;
  };

  std::vector<std::string> entries_;
  Index exact_{false};
  Index prefixes_{true};
  // prefixLengths_[n]: some pattern has a prefix of n characters.
  std::vector<bool> prefixLengths_;
};

}  // namespace varnok
