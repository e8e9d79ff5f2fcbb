#pragma once

// How a step that can fail says so: it returns its value, or the error that
// stopped it, and the caller checks. Handlers and steps never throw to
// abandon their caller; an exception is for what nobody can handle here (out
// of memory), caught once by the application's guard.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace varnok {

// Why something could not be done: a number (a socket error number, an
// errno, or 0 where none fits) and the text that the log shows for it.
struct Error {
  int code = 0;
  std::string message;
};

template <class T = void>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT: a value is a success
  Result(Error error) : state_(std::move(error)) {}  // NOLINT: as is an error a failure

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  const T& value() const { return std::get<0>(state_); }
  T& value() { return std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// A step that gives nothing back but whether it could be done.
template <>
class Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: an error is a failure

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace varnok
