#include "platform/application.h"

#include <cstdio>
#include <stdexcept>

namespace varnok {

void Application::dispatch(const std::function<void()>& fn) noexcept {
  try {
    fn();
  } catch (const SilentAbort&) {
  } catch (...) {
    handleException(std::current_exception());
  }
}

void Application::handleException(std::exception_ptr error) noexcept {
  try {
    try {
      std::rethrow_exception(error);
    } catch (const SilentAbort&) {
      return;
    } catch (const std::exception& e) {
      if (onException_) {
        onException_(e);
      } else {
        std::fprintf(stderr, "%s\n", e.what());
      }
    } catch (...) {
      const std::runtime_error unknown("Unknown exception");
      if (onException_) {
        onException_(unknown);
      } else {
        std::fprintf(stderr, "%s\n", unknown.what());
      }
    }
  } catch (const SilentAbort&) {
    // The handler ends with the silent abort by design.
  } catch (...) {
    // A handler that fails itself must not end the process either.
    std::fprintf(stderr, "exception in the exception handler\n");
  }
}

}  // namespace varnok
