#pragma once

#include <unistd.h>

#include <utility>

namespace varnok {

// Owns one descriptor and closes it exactly once: when the owner is
// destroyed, reset, or assigned another descriptor. Move-only; an owner that
// was moved from holds nothing and closes nothing. -1 means "no descriptor",
// so the result of a failed open(), socket() or accept() can be wrapped as
// it is and tested with operator bool.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());  // safe on self-assignment: release() leaves -1 behind
    return *this;
  }
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it; the caller owns it now.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes fd instead. A failing
  // close() is not retried: on Linux the descriptor is gone either way.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

}  // namespace varnok
