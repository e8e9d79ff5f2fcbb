#include "status/users.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace varnok::status {
namespace {

constexpr std::array<std::string_view, 3> kRoleNames = {"viewer", "operator", "admin"};

bool sodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Names are what a person types and the log shows: letters, digits and a
// few marks, no separator of the file.
bool plainName(std::string_view name) {
  if (name.empty() || name.size() > UsersFile::kMaxName) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == '@';
  });
}

}  // namespace

std::string_view roleName(Role role) {
  return kRoleNames[static_cast<std::size_t>(role)];
}

std::optional<Role> roleNamed(std::string_view name) {
  for (std::size_t i = 0; i < kRoleNames.size(); ++i) {
    if (kRoleNames[i] == name) return static_cast<Role>(i);
  }
  return std::nullopt;
}

Result<UsersFile> UsersFile::read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Error{errno, path + ": " + std::strerror(errno)};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Error{EINVAL, path + " is not a regular file"};
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
    ::close(fd);
    return Error{EPERM, path + " must belong to the user running Varnok and have mode 600"};
  }
  if (static_cast<std::size_t>(st.st_size) > kMaxBytes) {
    ::close(fd);
    return Error{EFBIG, path + " is larger than 1 MiB"};
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  const ssize_t got = ::read(fd, text.data(), text.size());
  ::close(fd);
  if (got < 0) return Error{errno, path + ": " + std::strerror(errno)};
  text.resize(static_cast<std::size_t>(got));

  UsersFile file;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    const auto bad = [&](const std::string& why) {
      return Error{EINVAL, path + " line " + std::to_string(number) + ": " + why};
    };
    if (second == std::string::npos) return bad("not name:role:hash");
    User user{line.substr(0, first), Role::Viewer, line.substr(second + 1)};
    const std::optional<Role> role = roleNamed(line.substr(first + 1, second - first - 1));
    if (!plainName(user.name)) return bad("the name may hold letters, digits, . - _ @");
    if (!role) return bad("the role is viewer, operator or admin");
    if (!user.hash.starts_with("$argon2id$")) return bad("the hash is not Argon2id");
    if (file.find(user.name) != nullptr) return bad(user.name + " is there twice");
    user.role = *role;
    file.users_.push_back(std::move(user));
  }
  return file;
}

const User* UsersFile::find(std::string_view name) const {
  for (const User& u : users_) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

Result<> UsersFile::addUser(const std::string& path, const std::string& name, Role role,
                            const std::string& password) {
  if (!plainName(name)) return Error{EINVAL, "the name may hold letters, digits, . - _ @"};
  if (password.empty() || password.size() > kMaxPassword) {
    return Error{EINVAL, "the password must have 1 to 1024 characters"};
  }
  std::vector<User> users;
  if (::access(path.c_str(), F_OK) == 0) {
    Result<UsersFile> existing = read(path);
    if (!existing) return existing.error();
    users = existing.value().users();
  }
  Result<std::string> hash = hashPassword(password);
  if (!hash) return hash.error();
  const auto same =
      std::find_if(users.begin(), users.end(), [&](const User& u) { return u.name == name; });
  if (same != users.end()) {
    same->role = role;
    same->hash = hash.value();
  } else {
    users.push_back(User{name, role, hash.value()});
  }
  std::string text = "# Varnok's console users: name:role:Argon2id hash (varnokctl --add-user)\n";
  for (const User& u : users) {
    text += u.name + ":" + std::string(roleName(u.role)) + ":" + u.hash + "\n";
  }
  // Written beside the file and renamed over it, so that a reader never
  // sees half of it; created with mode 600 from the start.
  const std::string fresh = path + ".new";
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Error{errno, fresh + ": " + std::strerror(errno)};
  const bool written = ::fchmod(fd, 0600) == 0 &&
                       ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (!written || ::rename(fresh.c_str(), path.c_str()) != 0) {
    ::unlink(fresh.c_str());
    return Error{written ? errno : err, path + ": " + std::strerror(written ? errno : err)};
  }
  return {};
}

Result<std::string> hashPassword(const std::string& password) {
  if (!sodiumReady()) return Error{ENOSYS, "libsodium could not start"};
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, password.data(), password.size(),
                            crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return Error{ENOMEM, "no memory for the password hash"};
  }
  return std::string(out);
}

bool passwordMatches(const std::string& hash, const std::string& password) {
  if (!sodiumReady() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  // Bounded work: a hash asking for more than the interactive limits (a
  // tampered file) is not run.
  unsigned long memoryKiB = 0, passes = 0, lanes = 0;
  if (std::sscanf(hash.c_str(), "$argon2id$v=19$m=%lu,t=%lu,p=%lu$", &memoryKiB, &passes, &lanes) !=
          3 ||
      memoryKiB > crypto_pwhash_MEMLIMIT_INTERACTIVE / 1024 ||
      passes > crypto_pwhash_OPSLIMIT_INTERACTIVE || lanes != 1) {
    return false;
  }
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

}  // namespace varnok::status
