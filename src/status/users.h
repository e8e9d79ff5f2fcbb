#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace varnok::status {

// What a signed-in user may do on the console: watch; act on encoders
// (send, clear, suspend, resume, off, on); and also refuse or allow
// producers.
enum class Role { Viewer, Operator, Admin };
std::string_view roleName(Role role);
std::optional<Role> roleNamed(std::string_view name);

struct User {
  std::string name;
  Role role = Role::Viewer;
  std::string hash;  // Argon2id, in its own encoded form
};

// varnok.users: one user a line, "name:role:hash"; blank lines and lines
// starting with "#" are left alone. The file holds password hashes: it is
// taken only when it belongs to the user running the program and nobody
// else may read or write it (mode 600), else refused with the reason.
class UsersFile {
 public:
  static constexpr std::size_t kMaxName = 64;
  static constexpr std::size_t kMaxPassword = 1024;
  static constexpr std::size_t kMaxBytes = 1 << 20;

  // The users of path; an error when it is missing, unsafe or malformed
  // (naming the line).
  static Result<UsersFile> read(const std::string& path);
  const std::vector<User>& users() const { return users_; }
  const User* find(std::string_view name) const;

  // Adds the user or gives an existing one a new role and password, and
  // writes the file (mode 600, replaced whole). The hash takes a moment and
  // some memory (the interactive limits of Argon2id).
  static Result<> addUser(const std::string& path, const std::string& name, Role role,
                          const std::string& password);

 private:
  std::vector<User> users_;
};

// Argon2id with the interactive limits: the encoded hash of password, or
// why there is none (out of memory).
Result<std::string> hashPassword(const std::string& password);
// Whether password matches the encoded hash; runs as long as the hash.
bool passwordMatches(const std::string& hash, const std::string& password);

}  // namespace varnok::status
