// The console on the status server, on loopback in virtual time: sign-in,
// sessions, the CSRF token and the Origin check, roles, and the event
// stream's bounds with readers in threads of their own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "dispatcher/dispatcher_fixture.h"
#include "http_client.h"
#include "status/status_http.h"
#include "status/users.h"
#include "support/child_process.h"

namespace varnok::testing {
namespace {

class ConsoleTest : public DispatcherTest {
 protected:
  void SetUp() override {
    start({{"Studio A", closedPort()}}, "ErrorLimit=1\nSuspendForMinutes=60\n");
    for (const auto& [name, role] : {std::pair{"alice", status::Role::Operator},
                                     {"vera", status::Role::Viewer},
                                     {"adam", status::Role::Admin}}) {
      ASSERT_TRUE(status::UsersFile::addUser(dir.folder() + "varnok.users", name, role, "secret"));
    }
  }
  // The window and its console on a port the system picks.
  void open(bool tls = false) {
    auto console = std::make_unique<status::Console>(
        loop, status::Console::Settings{dir.folder() + "varnok.users", tls, {}},
        [this](const std::string& who, const std::string& verb, const std::string& target,
               const std::string& text) -> Result<std::string> {
          const std::size_t action = actionOf(verb);
          if (action == kControlActions) return Error{1, "unknown action " + verb};
          return dispatcher->control(
              ControlRequest{static_cast<ControlAction>(action), who, target, text});
        },
        [this] { return status::renderConsoleState(*dispatcher, "Varnok (Test)"); },
        dispatcher->logView());
    server = std::make_unique<status::StatusServer>(
        loop, [this] { return status::takeSnapshot(*dispatcher); });
    // 127.0.0.5 stands for a reverse proxy.
    server->setConsole(std::move(console), "127.0.0.5");
    if (tls) {
      ChildProcess openssl(
          "/usr/bin/openssl",
          {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-subj", "/CN=127.0.0.1", "-days", "1", "-keyout", dir.folder() + "key.pem", "-out",
           dir.folder() + "cert.pem"});
      ASSERT_EQ(openssl.wait(), 0) << openssl.err();
      const auto pem = [&](const char* name) {
        std::ifstream in(dir.folder() + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
      };
      server->setTls(pem("cert.pem"), pem("key.pem"));
    }
    ASSERT_EQ(server->start("127.0.0.1", 0), 0);
    port = server->port();
  }
  // Runs the loop, a millisecond of virtual time a turn, until done.
  bool until(const std::function<bool()>& done, int realMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      time.advance(1);
      loop.runOnce(2);
    }
    return true;
  }
  HttpAnswer post(const std::string& path, const std::string& body, const std::string& headers,
                  const char* from = "127.0.0.1") {
    const std::string request =
        "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
        headers + "\r\n" + body;
    return ask(request, from);
  }
  HttpAnswer ask(const std::string& request, const char* from = "127.0.0.1") {
    std::atomic<bool> done{false};
    std::string reply;
    std::thread client([&] {
      reply = httpExchange(port, request, from);
      done = true;
    });
    until([&] { return done.load(); });
    client.join();
    return parseHttp(reply);
  }
  std::string origin() const { return "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n"; }
  // Signs in: the Cookie and X-CSRF-Token header lines.
  std::string signIn(const std::string& name) {
    const HttpAnswer a =
        post("/console/signin", "{\"name\":\"" + name + "\",\"password\":\"secret\"}",
             origin() + "Content-Type: application/json\r\n");
    EXPECT_EQ(a.status, 200) << a.body;
    const std::size_t at = a.head.find("varnok_session=");
    const std::string cookie = a.head.substr(at, a.head.find(';', at) - at);
    const std::size_t csrf = a.body.find("\"csrf\":\"") + 8;
    return "Cookie: " + cookie + "\r\nX-CSRF-Token: " + a.body.substr(csrf, 64) + "\r\n";
  }

  std::unique_ptr<status::StatusServer> server;
  std::uint16_t port = 0;
};

TEST_F(ConsoleTest, OnlyASignedInUserOfTheRightRoleActsFromTheConsolesOwnPage) {
  open();
  const std::string alice = signIn("alice"), vera = signIn("vera"), adam = signIn("adam");
  const std::string json = "Content-Type: application/json\r\n";
  const std::string clear = R"({"action":"clear","target":"Studio A"})";
  const struct {
    std::string headers, body;
    int status;
    std::string answer;
  } steps[] = {
      {origin() + json, R"({"name":"alice","password":"wrong"})", 401, "wrong name or password"},
      {alice + origin() + json, R"({"action":"send","target":"Studio A","text":"PS=X"})", 200,
       "1 queued"},
      {alice + json, clear, 403, "did not come from the console"},
      {alice + "Origin: http://evil.example\r\n" + json, clear, 403, "did not come"},
      {alice + origin() + "Sec-Fetch-Site: cross-site\r\n" + json, clear, 403, "did not come"},
      {alice + origin() + "Content-Type: text/plain\r\n", clear, 415, "application/json"},
      {alice.substr(0, alice.find("X-CSRF")) + origin() + json, clear, 403, "CSRF"},
      {alice.substr(0, alice.find("X-CSRF")) + "X-CSRF-Token: 00\r\n" + origin() + json, clear, 403,
       "CSRF"},
      {origin() + json, clear, 401, "not signed in"},
      {vera + origin() + json, clear, 403, "viewers may not clear"},
      {alice + origin() + json, R"({"action":"refuse","target":"10.0.0.1"})", 403,
       "operators may not refuse"},
      {adam + origin() + json, R"({"action":"refuse","target":"10.0.0.1"})", 200, "done"},
      {alice + origin() + json, R"({"action":"clear","target":"Nobody"})", 409, "no encoder named"},
      {alice + origin() + json, clear, 200, "1 cleared"},
  };
  for (const auto& step : steps) {
    const bool signingIn = step.body.find("password") != std::string::npos;
    const HttpAnswer a =
        post(signingIn ? "/console/signin" : "/console/action", step.body, step.headers);
    EXPECT_EQ(a.status, step.status) << step.body << " " << a.body;
    EXPECT_NE(a.body.find(step.answer), std::string::npos) << a.body;
  }
  EXPECT_EQ(dispatcher->counters().cleared, 1u);
  EXPECT_TRUE(logged("Operator alice cleared the queue of Studio A - 1 commands"));

  // Signed out, the session is gone; an idle one expires.
  const std::string cookieOnly =
      "GET /console/session HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
  EXPECT_EQ(post("/console/signout", "{}", vera + origin() + json).status, 200);
  EXPECT_EQ(ask(cookieOnly + vera + "\r\n").status, 401);
  EXPECT_EQ(ask(cookieOnly + alice + "\r\n").status, 200);
  time.advance(status::Console::kSessionIdleMs + 1000);
  EXPECT_EQ(ask(cookieOnly + alice + "\r\n").status, 401);
  // Sign-ins are counted per address before anything else is looked at.
  for (int i = 0; i < status::Console::kSignInsPerMinute; ++i) {
    EXPECT_EQ(post("/console/signin", "{}", origin() + json, "127.0.0.9").status, 400);
  }
  EXPECT_EQ(post("/console/signin", "{}", origin() + json, "127.0.0.9").status, 429);
  EXPECT_EQ(post("/console/signin", "{}", origin() + json, "127.0.0.10").status, 400);
  // Behind the proxy each client counts apart; a forwarded address from
  // anyone else counts for nothing.
  const std::string behind = origin() + json + "X-Forwarded-For: 10.1.1.1, 10.0.0.9\r\n";
  for (int i = 0; i < status::Console::kSignInsPerMinute; ++i) {
    EXPECT_EQ(post("/console/signin", "{}", behind, "127.0.0.5").status, 400);
  }
  EXPECT_EQ(post("/console/signin", "{}", behind, "127.0.0.5").status, 429);
  EXPECT_EQ(
      post("/console/signin", "{}", origin() + json + "X-Forwarded-For: 10.0.0.8\r\n", "127.0.0.5")
          .status,
      400);
  EXPECT_EQ(post("/console/signin", "{}", behind, "127.0.0.9").status, 429);
}

// A flood of connections and of sign-ins takes only its share: new
// connections a tenth of a second, password checks a second.
TEST_F(ConsoleTest, NewConnectionsAndPasswordChecksArePaced) {
  open();
  std::atomic<bool> release{false};
  std::atomic<int> opened{0};
  std::thread flood([&] {
    std::vector<int> fds;
    for (int i = 0; i < 40; ++i) {
      if (const int fd = httpClientSocket(port, "127.0.0.3"); fd >= 0) fds.push_back(fd);
    }
    opened = static_cast<int>(fds.size());
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const int fd : fds) ::close(fd);
  });
  // Within one tenth of a second of virtual time, a bounded number taken.
  runLoopUntil(
      loop, [&] { return opened.load() == 40; }, 10000);
  for (int i = 0; i < 20; ++i) loop.runOnce(2);
  EXPECT_LE(server->connectionCount(), 24u);
  release = true;
  flood.join();

  const std::string wrong = R"({"name":"alice","password":"wrong"})";
  const std::string headers = origin() + "Content-Type: application/json\r\n";
  const std::string request =
      "POST /console/signin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nConnection: close\r\nContent-Length: " + std::to_string(wrong.size()) + "\r\n" +
      headers + "\r\n" + wrong;
  // Six at once from as many addresses: four checked, the rest refused.
  std::vector<std::thread> clients;
  std::array<std::atomic<int>, 6> answers{};
  for (int i = 0; i < 6; ++i) {
    clients.emplace_back([&, i] {
      const std::string from = "127.0.1." + std::to_string(i + 1);
      answers[static_cast<std::size_t>(i)] =
          parseHttp(httpExchange(port, request, from.c_str())).status;
    });
  }
  const auto count = [&](int status) {
    return std::count_if(answers.begin(), answers.end(),
                         [&](const auto& a) { return a == status; });
  };
  until([&] { return count(0) == 0; });
  for (std::thread& t : clients) t.join();
  // (A slow machine may spread them over more than a quarter of a second,
  // which lets one more begin.)
  EXPECT_GE(count(401), status::PasswordChecker::kChecksPerSecond);
  EXPECT_GE(count(503), 1);
  EXPECT_EQ(count(401) + count(503), 6);
  time.advance(1000);
  EXPECT_EQ(post("/console/signin", wrong, headers, "127.0.0.4").status, 401);
}

// Over TLS the same console answers, and its cookie is for HTTPS alone.
TEST_F(ConsoleTest, OverTlsTheSessionCookieIsSecure) {
  open(true);
  const auto curl = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-s", "-i", "-k", "--max-time", "10"};
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess p("/usr/bin/curl", all);
    std::optional<int> status;
    until([&] { return (status = p.wait(0)).has_value(); });
    return p.out();
  };
  const std::string base = "https://127.0.0.1:" + std::to_string(port);
  EXPECT_NE(curl({base + "/console/session"}).find("401"), std::string::npos);
  const std::string signedIn =
      curl({"-H", "Content-Type: application/json", "-H", "Origin: " + base, "--data",
            R"({"name":"alice","password":"secret"})", base + "/console/signin"});
  EXPECT_NE(signedIn.find("HttpOnly; SameSite=Strict; Path=/; Max-Age=43200; Secure"),
            std::string::npos)
      << signedIn;
}

// Readers of the event stream, each in a thread of this: connected from
// the given addresses, they read up to the first status event and then
// hold their connections (reading on, or not at all) until released.
class Viewers {
 public:
  Viewers(std::uint16_t port, const std::string& cookie, std::vector<std::string> from, bool read)
      : thread_([=, this] {
          std::vector<int> fds;
          for (const std::string& address : from) {
            const int fd = httpClientSocket(port, address.c_str());
            if (fd < 0) continue;
            if (!read) {
              const int small = 4096;
              ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            }
            const std::string request =
                "GET /console/events HTTP/1.1\r\nHost: x\r\n" + cookie + "\r\n";
            (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            std::string got;
            char buf[4096];
            while (read && got.find("event: status") == std::string::npos &&
                   got.find("503") == std::string::npos) {
              const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
              if (n <= 0) break;
              got.append(buf, static_cast<std::size_t>(n));
            }
            if (got.find("event: status") != std::string::npos) ++streaming;
            if (got.find(" 503 ") != std::string::npos) ++refused;
            fds.push_back(fd);
          }
          ready = true;
          while (!release) {
            for (const int fd : fds) {
              char buf[4096];
              if (read) (void)!::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          for (const int fd : fds) ::close(fd);
        }) {}
  ~Viewers() {
    release = true;
    thread_.join();
  }
  std::atomic<int> streaming{0}, refused{0};
  std::atomic<bool> ready{false}, release{false};

 private:
  std::thread thread_;
};

TEST_F(ConsoleTest, EventStreamReadersAreBoundedApartAndOneThatNeverReadsIsDropped) {
  open();
  const std::string alice = signIn("alice");
  const std::string cookie = alice.substr(0, alice.find("X-CSRF"));
  // 200 readers over 25 addresses; one more from each of two of them.
  std::vector<std::string> from;
  for (int a = 1; a <= 25; ++a) {
    for (std::size_t i = 0; i < status::Console::kMaxViewersPerAddress; ++i) {
      from.push_back("127.0.0." + std::to_string(a));
    }
  }
  from.push_back("127.0.0.1");
  from.push_back("127.0.0.30");
  {
    Viewers many(port, cookie, from, true);
    ASSERT_TRUE(until([&] { return many.ready.load(); }, 60000));
    EXPECT_EQ(many.streaming, 200);
    EXPECT_EQ(many.refused, 2);
    EXPECT_EQ(server->console()->viewerCount(), 200u);
    // The page is not starved by them.
    EXPECT_EQ(ask(httpRequest("GET", "/status")).status, 200);
    many.release = true;
  }
  // Parked readers that went away are found out at the next keep-alive.
  time.advance(status::Console::kKeepAliveMs);
  ASSERT_TRUE(until([&] { return server->console()->viewerCount() == 0; }));

  // Signing out ends the session's streams.
  {
    Viewers reading(port, cookie, {"127.0.0.3"}, true);
    ASSERT_TRUE(until([&] { return reading.ready.load(); }));
    EXPECT_EQ(
        post("/console/signout", "{}", alice + origin() + "Content-Type: application/json\r\n")
            .status,
        200);
    time.advance(status::Console::kTickMs);
    ASSERT_TRUE(until([&] { return server->console()->viewerCount() == 0; }));
    reading.release = true;
  }
  const std::string adam = signIn("adam");
  const std::string adamCookie = adam.substr(0, adam.find("X-CSRF"));

  // One that never reads is let go once what waits for it passes its bound.
  Viewers stalled(port, adamCookie, {"127.0.0.2"}, false);
  ASSERT_TRUE(until([&] { return server->console()->viewerCount() == 1; }));
  const std::string line(1000, 'x');
  ASSERT_TRUE(until([&] {
    dispatcher->log(line);
    return server->console()->viewerCount() == 0;
  }));
}

TEST(UsersFile, TakenOnlyWhenSafeAndWellFormed) {
  TempDir dir;
  const std::string path = dir.folder() + "varnok.users";
  const std::string hash = status::hashPassword("pw").value();
  const struct {
    std::string text;
    mode_t mode;
    std::string error;  // empty: taken
  } cases[] = {
      {"# users\nana:admin:" + hash + "\n", 0600, ""},
      {"ana:admin:" + hash + "\n", 0644, "mode 600"},
      {"ana:boss:" + hash + "\n", 0600, "line 1: the role"},
      {"ana:admin:$2y$10$abc\n", 0600, "not Argon2id"},
      {"a b:admin:" + hash + "\n", 0600, "the name"},
      {"ana:admin:" + hash + "\nana:viewer:" + hash + "\n", 0600, "line 2: ana is there twice"},
  };
  for (const auto& c : cases) {
    dir.write("varnok.users", c.text);
    ::chmod(path.c_str(), c.mode);
    const Result<status::UsersFile> read = status::UsersFile::read(path);
    if (c.error.empty()) {
      ASSERT_TRUE(read) << read.error().message;
      EXPECT_TRUE(status::passwordMatches(read.value().find("ana")->hash, "pw"));
      EXPECT_FALSE(status::passwordMatches(read.value().find("ana")->hash, "pW"));
    } else {
      ASSERT_FALSE(read) << c.text;
      EXPECT_NE(read.error().message.find(c.error), std::string::npos) << read.error().message;
    }
  }
  // A hash asking for more work than the interactive limits is not run.
  EXPECT_FALSE(
      status::passwordMatches("$argon2id$v=19$m=4194304,t=100,p=1$c2FsdHNhbHRzYWx0$aGFzaA", "pw"));
}

}  // namespace
}  // namespace varnok::testing
