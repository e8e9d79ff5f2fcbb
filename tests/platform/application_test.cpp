#include "platform/application.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace varnok {
namespace {

TEST(Application, DispatchRoutesExceptionsAndDropsTheSilentAbort) {
  Application app;
  std::vector<std::string> reported;
  app.setOnException([&](const std::exception& e) {
    reported.push_back(e.what());
    throw SilentAbort();  // the installed handler ends like this by design
  });
  bool ran = false;
  app.dispatch([&] { ran = true; });
  app.dispatch([] { throw SilentAbort(); });
  app.dispatch([] { throw std::runtime_error("Division by zero"); });
  app.dispatch([] { throw 42; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(reported, (std::vector<std::string>{"Division by zero", "Unknown exception"}));
}

TEST(Application, HandlerThatThrowsSomethingElseDoesNotEscape) {
  Application app;
  app.setOnException([](const std::exception&) { throw std::logic_error("again"); });
  EXPECT_NO_THROW(app.dispatch([] { throw std::runtime_error("first"); }));
}

}  // namespace
}  // namespace varnok
