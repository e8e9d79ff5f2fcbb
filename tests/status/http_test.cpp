// The status window's HTTP side on loopback: the server on the test's loop in
// this thread, every client in a thread of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "dispatcher/dispatcher_fixture.h"
#include "http_client.h"
#include "status/status_http.h"

namespace varnok::testing {
namespace {

status::Snapshot fakeSnapshot() {
  status::Snapshot s;
  s.title = "Varnok (Test)";
  s.log = {"<2026-12-06 12:00:00> Configuration file loaded"};
  return s;
}

// Serves while a client thread makes one exchange; the raw answer.
std::string exchange(EventLoop& loop, std::uint16_t port, const std::string& text,
                     const char* from = "127.0.0.1") {
  std::atomic<bool> done{false};
  std::string reply;
  std::thread client([&] {
    reply = httpExchange(port, text, from);
    done = true;
  });
  runLoopUntil(
      loop, [&] { return done.load(); }, 10000);
  client.join();
  return reply;
}

int listeningSocket(std::uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopbackAddress("127.0.0.1", 0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 1);
  *port = localPort(fd);
  return fd;
}

class StatusHttpTest : public ::testing::Test {
 protected:
  void serve(status::StatusServer::Limits limits = {}) {
    server = std::make_unique<status::StatusServer>(
        loop, [this] { return ++renders, fakeSnapshot(); }, limits);
    ASSERT_EQ(server->start("127.0.0.1", 0), 0);
    port = server->port();
  }
  HttpAnswer ask(const std::string& method, const std::string& path, const std::string& extra = "",
                 const char* from = "127.0.0.1") {
    return parseHttp(exchange(loop, port, httpRequest(method, path, extra), from));
  }
  SystemClock clock;
  Application app;
  EventLoop loop{clock, app};
  std::unique_ptr<status::StatusServer> server;
  std::uint16_t port = 0;
  int renders = 0;
};

TEST_F(StatusHttpTest, ServesThreePagesAndRefusesTheRestWithoutRendering) {
  serve();
  const struct {
    const char* path;
    const char* type;
    std::string body;
  } pages[] = {{"/", "text/html; charset=utf-8", status::renderPage(fakeSnapshot())},
               {"/status?x=1", "application/json", status::renderJson(fakeSnapshot())},
               {"/metrics", "text/plain; version=0.0.4; charset=utf-8",
                status::renderMetrics(fakeSnapshot())}};
  for (const auto& page : pages) {
    const HttpAnswer get = ask("GET", page.path);
    EXPECT_EQ(get.status, 200) << page.path;
    EXPECT_TRUE(get.hasHeader(std::string("Content-Type: ") + page.type)) << get.head;
    EXPECT_EQ(get.body, page.body);
    const HttpAnswer head = ask("HEAD", page.path);
    EXPECT_TRUE(head.hasHeader("Content-Length: " + std::to_string(page.body.size())));
    EXPECT_EQ(head.body, "");
  }
  EXPECT_EQ(renders, 6);
  for (const char* path : {"/index.html", "/status/", "/metrics/x"}) {
    EXPECT_EQ(ask("GET", path).status, 404) << path;
  }
  for (const char* method : {"POST", "PUT", "DELETE", "BREW"}) {
    const HttpAnswer refused = ask(method, "/status", "Content-Length: 2\r\n\r\nab");
    EXPECT_EQ(refused.status, 405) << method;
    EXPECT_TRUE(refused.hasHeader("Allow: GET, HEAD")) << refused.head;
  }
  EXPECT_EQ(renders, 6);
}

TEST_F(StatusHttpTest, OversizedAndCrowdingClientsAreTurnedAwayAndOthersServed) {
  serve({.connections = 8, .perAddress = 2, .idleSeconds = 30, .memoryPerConnection = 32 * 1024});
  const int longLine = ask("GET", "/" + std::string(200000, 'a')).status;
  EXPECT_TRUE(longLine == 414 || longLine == 431) << longLine;
  std::string headers;
  for (int i = 0; i < 5000; ++i) headers += "X-Filler-" + std::to_string(i) + ": yes\r\n";
  EXPECT_EQ(ask("GET", "/", headers).status, 431);

  // Two requests that never end hold 127.0.0.1's share.
  int held[2];
  for (int& fd : held) {
    fd = httpClientSocket(port);
    ASSERT_GT(::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 0);
  }
  runLoopUntil(
      loop, [] { return false; }, 200);
  // While they wait, the library's deadline is on the loop's timer.
  EXPECT_GT(server->armedTimeoutMs(), 0);
  EXPECT_LE(server->armedTimeoutMs(), 30 * 1000);
  EXPECT_EQ(exchange(loop, port, httpRequest("GET", "/")), "");  // closed unanswered
  EXPECT_EQ(ask("GET", "/", "", "127.0.0.2").status, 200);
  for (const int fd : held) ::close(fd);
  EXPECT_TRUE(runLoopUntil(
      loop, [&] { return server->armedTimeoutMs() == -1; }, 3000));
  EXPECT_EQ(ask("GET", "/").status, 200);
}

using StatusWindowTest = DispatcherTest;

TEST_F(StatusWindowTest, TheConfigurationOpensTheWindowOrLogsWhyNot) {
  std::uint16_t taken = 0;
  const int holder = listeningSocket(&taken);
  const std::string where = "127.0.0.1:" + std::to_string(taken);
  const auto open = [&](const std::string& status) {
    create(
        "[General]\nEncoderCount=1\n[Encoder1]\nName=Studio \"A\"\nPort=1\n"
        "[Inputs]\nSocket=0\n[Status]\n" +
        status);
    return status::openStatusWindow(*dispatcher);
  };
  for (const char* off : {"", "HttpPort=0\n", "HttpPort=70000\n", "HttpPort=-1\n"}) {
    EXPECT_EQ(open(off), nullptr) << off;
    EXPECT_EQ(logTexts().back(), "Configuration file loaded") << off;
  }
  EXPECT_EQ(open("HttpPort=" + std::to_string(taken) + "\n"), nullptr);
  EXPECT_EQ(logTexts().back(),
            "Socket Error 10048 - Address already in use (status page " + where + ")");
  EXPECT_EQ(open("HttpPort=" + std::to_string(taken) + "\nHttpAddress=status.local\n"), nullptr);
  EXPECT_EQ(logTexts().back(), "Socket Error 10014 - Bad address (status page status.local:" +
                                   std::to_string(taken) + ")");
  ::close(holder);

  const std::uint16_t free = closedPort();
  const auto window = open("HttpPort=" + std::to_string(free) + "\nHttpAddress= 127.0.0.1 \n");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(logTexts().back(), "Status page on http://127.0.0.1:" + std::to_string(free) + "/");
  dispatcher->queueCommand("RT=x\r");
  const std::string body = parseHttp(exchange(loop, free, httpRequest("GET", "/status"))).body;
  EXPECT_NE(
      body.find("\"name\":\"Studio \\\"A\\\"\",\"host\":\"127.0.0.1\",\"port\":1,\"queue\":1"),
      std::string::npos)
      << body;
}

}  // namespace
}  // namespace varnok::testing
