// The status window's HTTP side on loopback: the server on the test's loop in
// this thread, every client in a thread of its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatcher/dispatcher_fixture.h"
#include "http_client.h"
#include "status/status_http.h"
#include "support/descriptor_fill.h"

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

// Idle connections opened by a thread of their own, `each` from every one of
// the first `addresses` loopback addresses, held silent until close().
class IdleFlood {
 public:
  IdleFlood(std::uint16_t port, int addresses, int each)
      : thread_([this, port, addresses, each] {
          std::vector<int> fds;
          for (int a = 1; a <= addresses; ++a) {
            const std::string from = "127.0.0." + std::to_string(a);
            for (int i = 0; i < each; ++i) {
              if (const int fd = httpClientSocket(port, from.c_str()); fd >= 0) fds.push_back(fd);
            }
          }
          std::unique_lock lock(mutex_);
          opened_ = static_cast<int>(fds.size());
          wake_.wait_for(lock, std::chrono::seconds(60), [this] { return release_; });
          for (const int fd : fds) ::close(fd);
        }) {}
  ~IdleFlood() { close(); }
  int opened() {
    std::lock_guard lock(mutex_);
    return opened_;
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      release_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool release_ = false;
  int opened_ = -1;
  std::thread thread_;
};

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

TEST_F(StatusHttpTest, TheWindowAnswersWithinASecondOfAFloodAtItsLimitEnding) {
  // 32 idle connections, 8 from each of four addresses: the whole limit, yet
  // within every address's share. They end from the clients' side, or by
  // the library's idle timeout, which runs on its own clock.
  for (const unsigned idleSeconds : {30u, 1u}) {
    const bool clientsClose = idleSeconds == 30;
    SCOPED_TRACE(clientsClose ? "closed by the clients" : "closed by the idle timeout");
    serve({.connections = 32,
           .perAddress = 8,
           .idleSeconds = idleSeconds,
           .memoryPerConnection = 32 * 1024});
    IdleFlood flood(port, 4, 8);
    ASSERT_TRUE(runLoopUntil(
        loop, [&] { return flood.opened() == 32 && server->connectionCount() == 32; }, 5000));
    if (clientsClose) {
      flood.close();
    } else {
      ASSERT_TRUE(runLoopUntil(
          loop, [&] { return server->connectionCount() == 0; }, 5000));
    }
    std::atomic<bool> done{false};
    std::string reply;
    std::thread client([&] {
      reply = httpExchange(port, httpRequest("GET", "/status"), "127.0.0.5");
      done = true;
    });
    EXPECT_TRUE(runLoopUntil(
        loop, [&] { return done.load(); }, 1000));
    runLoopUntil(
        loop, [&] { return done.load(); }, 10000);
    client.join();
    EXPECT_EQ(parseHttp(reply).status, 200) << reply;
  }
}

TEST_F(StatusHttpTest, NowPlayingIsCheckedInOrderBeforeItsBodyIsRead) {
  serve();
  // Without a token the path does not exist, and the rest stays read-only.
  EXPECT_EQ(ask("POST", "/nowplaying", "Content-Length: 2\r\n\r\n{}").status, 404);
  using Endpoint = status::NowPlayingEndpoint;
  std::vector<std::string> posted;  // "door kind text"
  const auto endpoint = [&](bool allowGet) {
    return Endpoint{"s3cret", allowGet,
                    [&](Endpoint::Door door, Endpoint::Body kind, const std::string& text) {
                      posted.push_back(std::to_string(static_cast<int>(door)) + " " +
                                       std::to_string(static_cast<int>(kind)) + " " + text);
                      return Endpoint::Answer{200, "{\"ok\":true}"};
                    }};
  };
  server->setNowPlaying(endpoint(false));
  const std::string auth = "Authorization: Bearer s3cret\r\n";
  const std::string json = "Content-Type: application/json; charset=utf-8\r\n";
  const std::string big(16 * 1024 + 1, 'a');
  const struct {
    const char* method;
    const char* path;
    std::string headers;
    int status;
  } cases[] = {
      {"GET", "/nowplaying", auth, 405},
      {"PUT", "/nowplaying", auth + json + "Content-Length: 2\r\n\r\n{}", 405},
      {"POST", "/status", auth + json + "Content-Length: 2\r\n\r\n{}", 405},
      {"POST", "/nowplaying", json + "Content-Length: 2\r\n\r\n{}", 401},
      {"POST", "/nowplaying", "Authorization: Bearer s3cre\r\n" + json, 401},
      {"POST", "/nowplaying", "Authorization: Basic s3cret\r\n" + json, 401},
      {"POST", "/nowplaying", auth + "Content-Type: image/png\r\nContent-Length: 1\r\n\r\nx", 415},
      {"GET", "/admin/metadata?mode=updinfo&song=x", "", 401},
      {"GET", "/admin/metadata?mode=updinfo&song=x", "Authorization: Basic dTpzM2NyZQ==\r\n", 401},
      {"POST", "/nowplaying", auth + "Content-Length: 1\r\n\r\nx", 415},
      {"POST", "/nowplaying", auth + json + "Content-Length: 16385\r\n\r\n", 413},
      {"POST", "/nowplaying",
       auth + json + "Transfer-Encoding: chunked\r\n\r\n4001\r\n" + big + "\r\n0\r\n\r\n", 413},
      {"POST", "/nowplaying", auth + json + "Content-Length: 13\r\n\r\n{\"title\":\"x\"}", 200},
      {"POST", "/nowplaying",
       "authorization:  bearer s3cret \r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 7\r\n\r\ntitle=y",
       200},
  };
  for (const auto& c : cases) {
    const HttpAnswer answer = ask(c.method, c.path, c.headers);
    EXPECT_EQ(answer.status, c.status)
        << c.method << " " << c.path << " " << c.headers.substr(0, 80);
    if (c.status == 401) {
      const bool basic = std::string(c.path).starts_with("/admin/");
      EXPECT_TRUE(answer.hasHeader(basic ? "WWW-Authenticate: Basic realm=\"Varnok\""
                                         : "WWW-Authenticate: Bearer"));
    }
    if (c.status != 200 && std::string(c.path) == "/nowplaying") {
      EXPECT_EQ(answer.body.rfind("{\"error\":", 0), 0u) << answer.body;
    }
  }
  // Only the two accepted bodies reached the handler, whole.
  EXPECT_EQ(posted, (std::vector<std::string>{"0 0 {\"title\":\"x\"}", "0 1 title=y"}));
  EXPECT_EQ(ask("GET", "/status").status, 200);

  // The doors for playout systems that only GET: plain text, GET with the
  // token as a parameter (once allowed), and the metadata update with Basic
  // authentication (user "u", password "s3cret"), its song in Latin-1.
  posted.clear();
  server->setNowPlaying(endpoint(true));
  const std::string basic = "Authorization: Basic dTpzM2NyZXQ=\r\n";
  const struct {
    std::string path, headers;
    int status;
  } doors[] = {
      {"/nowplaying", auth + "Content-Type: text/plain\r\nContent-Length: 5\r\n\r\nA - B", 200},
      {"/nowplaying?artist=A+B&title=C%26D&token=s3cret", "", 200},
      {"/nowplaying?title=x&token=wrong", "", 401},
      {"/admin/metadata?mount=/live&mode=updinfo&song=Caf%E9%20-%20X&charset=ISO-8859-1", basic,
       200},
      {"/admin/metadata?mode=updinfo&song=x&charset=koi8", basic, 400},
      {"/admin/metadata?mode=other&song=x", basic, 400},
  };
  for (const auto& d : doors) {
    const bool post = d.headers.find("Content-Length") != std::string::npos;
    EXPECT_EQ(ask(post ? "POST" : "GET", d.path, d.headers).status, d.status) << d.path;
  }
  EXPECT_EQ(posted, (std::vector<std::string>{"0 2 A - B", "1 1 artist=A%20B&title=C%26D",
                                              "2 2 Caf\xc3\xa9 - X"}));
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
    return status::openStatusWindow(*dispatcher,
                                    status::readPageSettings(readConfigurationFile(dir.folder())));
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

TEST_F(StatusWindowTest, OutOfDescriptorsThePageNeitherSpinsNorFloodsTheLog) {
  const std::uint16_t port = closedPort();
  create(
      "[General]\nEncoderCount=1\n[Encoder1]\nName=A\nPort=1\n[Inputs]\nSocket=0\n"
      "[Status]\nHttpPort=" +
      std::to_string(port) + "\n");
  const auto window = status::openStatusWindow(
      *dispatcher, status::readPageSettings(readConfigurationFile(dir.folder())));
  ASSERT_NE(window, nullptr);
  // Clients' sockets made while there are descriptors, connected after.
  std::vector<int> knocking;
  for (int i = 0; i < 20; ++i) knocking.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const std::size_t linesBefore = logTexts().size();
  const Knocked knocked = knockWhileFull(loop, port, knocking);
  for (int fd : knocking) ::close(fd);
  EXPECT_LE(knocked.busy, 1);
  EXPECT_EQ(knocked.turnedAway, 20);
  const std::vector<std::string> lines = logTexts();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(linesBefore), lines.end()),
            std::vector<std::string>{"Socket Error 10024 - Too many open files (status page "
                                     "127.0.0.1:" +
                                     std::to_string(port) + ")"});
  // Descriptors are back: the page answers without anyone's help.
  EXPECT_EQ(parseHttp(exchange(loop, port, httpRequest("GET", "/status"))).status, 200);
}

}  // namespace
}  // namespace varnok::testing
