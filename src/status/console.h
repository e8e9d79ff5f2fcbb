#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/result.h"
#include "status/password_checker.h"
#include "status/users.h"

namespace varnok {
class Dispatcher;
class LogView;
}  // namespace varnok

namespace varnok::status {

// The operator's console behind the status page: sign-in against
// varnok.users, sessions with their CSRF tokens, the operator's actions by
// role, and the live viewers of the event stream. Knows nothing of HTTP
// beyond the status and JSON of each answer: the server carries them.
//
// Ownership: owns the sessions, the viewers' buffers, the password checker
// and its timer; the loop, the log view and the callbacks outlive it.
class Console {
 public:
  static constexpr std::size_t kMaxViewers = 200;
  static constexpr std::size_t kMaxViewersPerAddress = 8;
  // What one viewer may have waiting unread before it is dropped.
  static constexpr std::size_t kViewerBuffer = 64 * 1024;
  static constexpr int kKeepAliveMs = 5000;     // well under the 10 s idle timeout
  static constexpr int kTickMs = 500;           // the state is looked at this often
  static constexpr int kSignInsPerMinute = 10;  // per address
  static constexpr std::int64_t kSessionIdleMs = 30 * 60 * 1000;
  static constexpr std::int64_t kSessionLongestMs = 12 * 3600 * 1000;
  static constexpr std::size_t kMaxSessions = 256;
  static constexpr std::size_t kMaxBody = 16 * 1024;
  static constexpr char kCookie[] = "varnok_session";

  // An operator's action, as the control socket takes it.
  using Act =
      std::function<Result<std::string>(const std::string& who, const std::string& verb,
                                        const std::string& target, const std::string& text)>;
  struct Settings {
    std::string usersPath;
    bool secure = false;                               // served over TLS: the cookie says Secure
    std::function<void(const std::string& line)> log;  // sign-ins, for the operator's log
  };
  struct Reply {
    unsigned status = 200;
    std::string json;
    std::string cookie;  // a Set-Cookie value, when there is one
  };
  struct Session {
    std::string id, name, csrf;
    Role role = Role::Viewer;
    std::int64_t startedMs = 0, usedMs = 0;  // monotonic
  };
  // One reader of the event stream: what it has not taken yet, and how to
  // get its connection going again once there is more.
  struct Viewer {
    std::string address;
    std::string session;  // whose: the stream ends with the session
    std::string buffer;
    bool dropped = false;  // it did not read, or its session ended: its connection is to end
    std::function<void()> wake;
  };

  Console(EventLoop& loop, Settings settings, Act act, std::function<std::string()> state,
          const LogView& log);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // The session a Cookie header names, when it is still good (its use is
  // noted); nullptr otherwise.
  Session* session(std::string_view cookieHeader);
  bool csrfMatches(const Session& session, std::string_view token) const;
  Reply sessionReply(const Session& session) const;
  // A sign-in from address with a JSON body {"name","password"}: an answer
  // now, or nullopt when the password is being checked and done will get it.
  std::optional<Reply> signIn(const std::string& address, std::string_view body,
                              std::function<void(Reply)> done);
  Reply signOut(const Session& session);
  // A JSON body {"action","target","text"} done for the session's user.
  Reply act(const Session& session, std::string_view body);

  // A new viewer gets the state and the recent log at once; nullptr when
  // the viewers' bounds (in all, per address) are reached.
  // A session with a stream open counts as used; one signed out or past
  // its longest life ends its streams.
  Viewer* addViewer(const std::string& address, const Session& session);
  void removeViewer(Viewer* viewer);
  std::size_t viewerCount() const { return viewers_.size(); }
  std::size_t sessionCount() const { return sessions_.size(); }

 private:
  void tick();
  void send(const std::string& event);
  void expireSessions(std::int64_t nowMs);

  EventLoop& loop_;
  Settings settings_;
  Act act_;
  std::function<std::string()> state_;
  const LogView& log_;
  PasswordChecker checker_;
  std::map<std::string, Session, std::less<>> sessions_;
  // Sign-in attempts per address in the current minute.
  std::map<std::string, int> attempts_;
  std::int64_t attemptsMinute_ = 0;
  std::list<Viewer> viewers_;
  std::string lastState_;
  // Log lines added since the last tick; the log view's observer holds a
  // weak reference, as it cannot be taken off the view.
  std::shared_ptr<std::deque<std::string>> newLines_ = std::make_shared<std::deque<std::string>>();
  std::int64_t lastSentMs_ = 0;
  Timer timer_;
};

// The console's state: encoders with what they were given last, their
// queues and the age of their oldest entry, suspension, confirmation; the
// producers connected; the totals.
std::string renderConsoleState(const Dispatcher& dispatcher, const std::string& title);

}  // namespace varnok::status
