#pragma once

#include <exception>
#include <functional>
#include <string>

namespace varnok {

// The silent abort: an exception kind that the dispatch point discards without
// any report. Error handlers raise it after they have logged, to abandon the
// operation that was running.
class SilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

// The application object: its title and the central exception hook. Every
// callback that the event loop runs passes through dispatch(), so an exception
// never ends the process.
class Application {
 public:
  using ExceptionHandler = std::function<void(const std::exception&)>;

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  // Installs the handler that receives every exception except the silent
  // abort. Without one, the message goes to standard error.
  void setOnException(ExceptionHandler handler) { onException_ = std::move(handler); }

  // Runs fn to its end; a silent abort is dropped, any other exception goes to
  // the installed handler. Never throws.
  void dispatch(const std::function<void()>& fn) noexcept;

  // Reports an exception that a caller caught itself, as dispatch() would.
  void handleException(std::exception_ptr error) noexcept;

 private:
  std::string title_;
  ExceptionHandler onException_;
};

}  // namespace varnok
