#include "nowplaying/dls_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#include "nowplaying/text.h"
#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace varnok::nowplaying {
namespace {

constexpr int kMaxTags = 4;
constexpr int kMaxContentType = 63;  // six bits on air

bool equalsLower(std::string_view value, std::string_view lower) {
  if (value.size() != lower.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Cuts a text over the limit at the last space at or before the limit (the
// character just past it may be that space) or at the limit when there is
// none, then removes the trailing spaces. A space counts only after some
// other character, so that the cut leaves some text.
void cutToLimit(EncodedText& text) {
  if (text.size() <= kMaxDlsCharacters) return;
  const bool utf8 = text.charset() == Charset::Utf8;
  const std::string& bytes = text.bytes();
  std::optional<std::size_t> lastSpace;
  bool seenText = false;
  std::size_t character = 0;
  for (std::size_t i = 0; i < bytes.size() && character <= kMaxDlsCharacters; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (utf8 && (byte & 0xC0) == 0x80) continue;  // inside a character
    if (byte != ' ') {
      seenText = true;
    } else if (seenText) {
      lastSpace = character;
    }
    ++character;
  }
  text.truncate(lastSpace.value_or(kMaxDlsCharacters));
  // A space is one byte and one character in either charset.
  const std::size_t kept = text.bytes().find_last_not_of(' ');
  const std::size_t trailing = text.bytes().size() - (kept == std::string::npos ? 0 : kept + 1);
  text.truncate(text.size() - trailing);
}

bool fits(const DlsTag& tag, std::size_t characters) {
  if (tag.contentType < 1 || tag.contentType > kMaxContentType) return false;
  if (tag.start < 0 || tag.lengthMinusOne < 0) return false;
  return static_cast<std::size_t>(tag.start) + static_cast<std::size_t>(tag.lengthMinusOne) + 1 <=
         characters;
}

Error failure(int code, const std::string& what, const std::string& path) {
  return Error{code, "cannot " + what + " the DLS file " + path + ": " + std::strerror(code)};
}

// Writes all of bytes to fd, however many calls that takes.
bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<DlsCharset> parseDlsCharset(std::string_view value) {
  if (equalsLower(value, "utf-8") || equalsLower(value, "utf8")) return DlsCharset::Utf8;
  if (equalsLower(value, "ebu")) return DlsCharset::EbuLatin;
  return std::nullopt;
}

std::string renderDls(const DlsLabel& label, DlsCharset charset) {
  EncodedText text =
      encodeText(label.text, charset == DlsCharset::Utf8 ? Charset::Utf8 : Charset::Rds);
  cutToLimit(text);

  std::vector<DlsTag> tags;
  for (const DlsTag& tag : label.tags) {
    if (tags.size() == kMaxTags) break;
    if (fits(tag, text.size())) tags.push_back(tag);
  }

  std::string out = text.bytes();
  out += '\n';
  if (tags.empty() && !label.itemRunning) return out;
  out += "##### parameters { #####\n";
  out += "DL_PLUS=1\n";
  out += label.itemToggle ? "DL_PLUS_ITEM_TOGGLE=1\n" : "DL_PLUS_ITEM_TOGGLE=0\n";
  out += label.itemRunning ? "DL_PLUS_ITEM_RUNNING=1\n" : "DL_PLUS_ITEM_RUNNING=0\n";
  for (const DlsTag& tag : tags) {
    out += "DL_PLUS_TAG=" + std::to_string(tag.contentType) + ' ' + std::to_string(tag.start) +
           ' ' + std::to_string(tag.lengthMinusOne) + '\n';
  }
  out += "##### parameters } #####\n";
  return out;
}

std::vector<DlsTag> tagsFromRtPlus(std::string_view rtPlus) {
  constexpr std::size_t kFields = 6;
  int fields[kFields] = {};
  std::size_t count = 0;
  const char* at = rtPlus.data();
  const char* const end = rtPlus.data() + rtPlus.size();
  while (count < kFields) {
    if (at == end || *at < '0' || *at > '9') return {};  // from_chars would take a '-'
    const auto [next, error] = std::from_chars(at, end, fields[count]);
    if (error != std::errc()) return {};
    ++count;
    at = next;
    if (count < kFields) {
      if (at == end || *at != ',') return {};
      ++at;
    }
  }
  if (at != end) return {};

  std::vector<DlsTag> tags;
  for (std::size_t i = 0; i < kFields; i += 3) {
    if (fields[i] != 0) tags.push_back(DlsTag{fields[i], fields[i + 1], fields[i + 2]});
  }
  return tags;
}

Result<bool> writeDlsFile(const std::string& path, const std::string& bytes) {
  // One byte more than expected, so that a longer file is not taken for the same.
  if (const std::optional<std::string> current = readRegularFile(path, bytes.size() + 1)) {
    if (*current == bytes) return false;
  }

  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = folder + "." + name + ".XXXXXX";
  const UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return failure(errno, "create a temporary file for", path);

  const char* step = nullptr;
  if (::fchmod(fd.get(), 0644) != 0) {
    step = "set the mode of";
  } else if (!writeAll(fd.get(), bytes)) {
    step = "write";
  } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
    step = "replace";
  }
  if (step == nullptr) return true;
  const int code = errno;
  ::unlink(temporary.c_str());
  return failure(code, step, path);
}

}  // namespace varnok::nowplaying
