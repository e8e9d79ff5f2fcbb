#include "status/console.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <nlohmann/json.hpp>

#include "dispatcher/dispatcher.h"
#include "dispatcher/log_view.h"

namespace varnok::status {
namespace {

using nlohmann::json;

std::string dumped(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorJson(const std::string& why) {
  return dumped(json{{"error", why}});
}

// A secret of 32 random bytes, in hex.
std::string randomHex() {
  std::array<unsigned char, 32> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) out += {kHex[b >> 4], kHex[b & 15]};
  return out;
}

bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// What each role may do besides watching.
bool allowed(Role role, std::string_view verb) {
  static constexpr std::array<std::string_view, 8> kOperator = {
      "send", "clear", "suspend", "resume", "off", "on", "override", "cancel"};
  static constexpr std::array<std::string_view, 3> kAdmin = {"refuse", "allow", "reload"};
  if (role == Role::Viewer) return false;
  if (std::find(kOperator.begin(), kOperator.end(), verb) != kOperator.end()) return true;
  return role == Role::Admin && std::find(kAdmin.begin(), kAdmin.end(), verb) != kAdmin.end();
}

std::string clockTime(std::int64_t utcMs) {
  const std::time_t seconds = static_cast<std::time_t>(utcMs / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

Console::Console(EventLoop& loop, Settings settings, Act act, std::function<std::string()> state,
                 const LogView& log)
    : loop_(loop),
      settings_(std::move(settings)),
      act_(std::move(act)),
      state_(std::move(state)),
      log_(log),
      checker_(loop),
      timer_(loop) {
  timer_.setInterval(kTickMs);
  timer_.setOnTimer([this] { tick(); });
  std::weak_ptr<std::deque<std::string>> lines = newLines_;
  log_.addObserver({[lines](const std::string& line) {
                      if (auto held = lines.lock(); held && held->size() < 1000)
                        held->push_back(line);
                    },
                    {}});
}

Console::~Console() = default;

Console::Session* Console::session(std::string_view cookieHeader) {
  const std::string key = std::string(kCookie) + "=";
  std::size_t at = 0;
  std::string_view id;
  while ((at = cookieHeader.find(key, at)) != std::string_view::npos) {
    if (at == 0 || cookieHeader[at - 1] == ' ' || cookieHeader[at - 1] == ';') {
      id = cookieHeader.substr(at + key.size());
      id = id.substr(0, id.find(';'));
      break;
    }
    at += key.size();
  }
  if (id.empty()) return nullptr;
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  expireSessions(nowMs);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return nullptr;
  found->second.usedMs = nowMs;
  return &found->second;
}

void Console::expireSessions(std::int64_t nowMs) {
  std::erase_if(sessions_, [nowMs](const auto& entry) {
    const Session& s = entry.second;
    return nowMs - s.usedMs > kSessionIdleMs || nowMs - s.startedMs > kSessionLongestMs;
  });
}

bool Console::csrfMatches(const Session& session, std::string_view token) const {
  return sameText(token, session.csrf);
}

Console::Reply Console::sessionReply(const Session& session) const {
  return {200,
          dumped(json{{"name", session.name},
                      {"role", std::string(roleName(session.role))},
                      {"csrf", session.csrf}}),
          {}};
}

std::optional<Console::Reply> Console::signIn(const std::string& address, std::string_view body,
                                              std::function<void(Reply)> done) {
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  if (nowMs / 60000 != attemptsMinute_) {
    attemptsMinute_ = nowMs / 60000;
    attempts_.clear();
  }
  int& tries = attempts_[address];
  if (tries >= kSignInsPerMinute) {
    return Reply{429, errorJson("too many sign-in attempts - wait a minute"), {}};
  }
  ++tries;
  const json j = json::parse(body, nullptr, false);
  if (!j.is_object() || !j.contains("name") || !j.contains("password") ||
      !j.at("name").is_string() || !j.at("password").is_string()) {
    return Reply{400, errorJson("sign in with {\"name\":...,\"password\":...}"), {}};
  }
  const std::string name = j.at("name").get<std::string>();
  std::string password = j.at("password").get<std::string>();
  if (password.size() > UsersFile::kMaxPassword) {
    return Reply{401, errorJson("wrong name or password"), {}};
  }
  // Read at each sign-in: a user added or removed counts from the next one.
  Result<UsersFile> users = UsersFile::read(settings_.usersPath);
  if (!users) {
    if (settings_.log) settings_.log("Console sign-in not possible - " + users.error().message);
    return Reply{503, errorJson("the users file cannot be read"), {}};
  }
  const User* user = users.value().find(name);
  const std::optional<Role> role = user ? std::optional<Role>(user->role) : std::nullopt;
  // An unknown name is hashed all the same (an empty hash), so that it
  // takes as long as a known one.
  const std::string hash = user ? user->hash : std::string();
  const bool queued =
      checker_.check(hash, std::move(password), [this, name, role, address, done](bool matches) {
        if (!matches || !role) {
          done(Reply{401, errorJson("wrong name or password"), {}});
          return;
        }
        const std::int64_t now = loop_.clock().monotonicMs();
        expireSessions(now);
        if (sessions_.size() >= kMaxSessions) {
          const auto oldest = std::min_element(
              sessions_.begin(), sessions_.end(),
              [](const auto& a, const auto& b) { return a.second.usedMs < b.second.usedMs; });
          sessions_.erase(oldest);
        }
        Session s{randomHex(), name, randomHex(), *role, now, now};
        const std::string id = s.id;
        Reply reply = sessionReply(s);
        reply.cookie =
            std::string(kCookie) + "=" + id + "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
            std::to_string(kSessionLongestMs / 1000) + (settings_.secure ? "; Secure" : "");
        sessions_.emplace(id, std::move(s));
        if (settings_.log) {
          settings_.log("Console sign-in - " + name + " (" + std::string(roleName(*role)) +
                        ") from " + address);
        }
        done(std::move(reply));
      });
  if (!queued) return Reply{503, errorJson("busy - try again"), {}};
  return std::nullopt;
}

Console::Reply Console::signOut(const Session& session) {
  const std::string id = session.id;
  sessions_.erase(id);
  return {200, "{}",
          std::string(kCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0" +
              (settings_.secure ? "; Secure" : "")};
}

Console::Reply Console::act(const Session& session, std::string_view body) {
  const json j = json::parse(body, nullptr, false);
  const auto field = [&](const char* key) -> std::optional<std::string> {
    if (!j.is_object() || !j.contains(key)) return std::string();
    if (!j.at(key).is_string()) return std::nullopt;
    return j.at(key).get<std::string>();
  };
  const std::optional<std::string> verb = field("action"), target = field("target"),
                                   text = field("text");
  if (!j.is_object() || !verb || !target || !text || verb->empty()) {
    return {400, errorJson("an action is {\"action\":...,\"target\":...,\"text\":...}"), {}};
  }
  if (!allowed(session.role, *verb)) {
    return {403,
            errorJson(std::string(roleName(session.role)) + "s may not " +
                      (verb->size() > 32 ? std::string("do that") : *verb)),
            {}};
  }
  const Result<std::string> done = act_(session.name, *verb, *target, *text);
  if (!done) return {409, errorJson(done.error().message), {}};
  return {200, dumped(json{{"answer", done.value()}}), {}};
}

Console::Viewer* Console::addViewer(const std::string& address, const Session& session) {
  if (viewers_.size() >= kMaxViewers) return nullptr;
  const auto fromThere = std::count_if(viewers_.begin(), viewers_.end(),
                                       [&](const Viewer& v) { return v.address == address; });
  if (static_cast<std::size_t>(fromThere) >= kMaxViewersPerAddress) return nullptr;
  Viewer& v = viewers_.emplace_back();
  v.address = address;
  v.session = session.id;
  if (lastState_.empty()) lastState_ = state_();
  v.buffer = "retry: 2000\n\nevent: status\ndata: " + lastState_ + "\n\n";
  for (const std::string& line : log_.lines()) {
    v.buffer += "event: log\ndata: " + dumped(json(line)) + "\n\n";
  }
  if (!timer_.enabled()) {
    newLines_->clear();  // what came before is in the recent lines
    lastSentMs_ = loop_.clock().monotonicMs();
    timer_.setEnabled(true);
  }
  return &v;
}

void Console::removeViewer(Viewer* viewer) {
  viewers_.remove_if([viewer](const Viewer& v) { return &v == viewer; });
  if (viewers_.empty()) timer_.setEnabled(false);
}

void Console::send(const std::string& event) {
  lastSentMs_ = loop_.clock().monotonicMs();
  for (Viewer& v : viewers_) {
    if (v.dropped) continue;
    if (v.buffer.size() + event.size() > kViewerBuffer) {
      v.dropped = true;
      v.buffer.clear();
    } else {
      v.buffer += event;
    }
    if (v.wake) v.wake();
  }
}

void Console::tick() {
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  expireSessions(nowMs);
  for (Viewer& v : viewers_) {
    const auto session = sessions_.find(v.session);
    if (session != sessions_.end()) {
      session->second.usedMs = nowMs;
    } else if (!v.dropped) {
      v.dropped = true;
      v.buffer.clear();
      if (v.wake) v.wake();
    }
  }
  std::string state = state_();
  if (state != lastState_) {
    lastState_ = std::move(state);
    send("event: status\ndata: " + lastState_ + "\n\n");
  }
  while (!newLines_->empty()) {
    std::string event = "event: log\ndata: " + dumped(json(newLines_->front())) + "\n\n";
    newLines_->pop_front();
    send(event);
  }
  if (loop_.clock().monotonicMs() - lastSentMs_ >= kKeepAliveMs) send(": keep-alive\n\n");
}

std::string renderConsoleState(const Dispatcher& d, const std::string& title) {
  const std::int64_t nowMs = d.loop().clock().monotonicMs();
  const std::int64_t utcMs = d.loop().clock().utcMs();
  json encoders = json::array();
  for (std::size_t i = 0; i < d.encoders().size(); ++i) {
    const Encoder& e = d.encoders()[i];
    const int index = static_cast<int>(i);
    std::string thread;
    for (const SenderSlot& slot : d.senderSlots()) {
      if (slot.connected() && slot.encoder() == index) thread = slot.traits().thread;
    }
    const auto& queue = d.queues().queue(index);
    const bool serial = e.transport == Transport::Serial;
    json row{{"name", e.name},
             {"host", serial ? e.device : e.host},
             {"port", std::to_string(serial ? e.baud : e.port)},
             {"queue", queue.size()},
             {"oldestSeconds", queue.empty() ? 0 : (nowMs - queue.front().queuedAtMs) / 1000},
             {"thread", thread},
             {"errors", std::to_string(e.errors)},
             {"state", !e.enabled ? "off" : (e.active ? "active" : "suspended")},
             {"confirms", !e.replyOk.empty() || e.confirmUecp},
             {"lastPs", e.lastPs},
             {"lastRt", e.lastRt}};
    if (e.enabled && !e.active) {
      const std::int64_t untilMs =
          e.suspendedAtMs + std::int64_t{d.config().suspendForMinutes} * 60000;
      row["suspendedUntil"] = clockTime(utcMs + std::max<std::int64_t>(untilMs - nowMs, 0));
    }
    encoders.push_back(std::move(row));
  }
  std::map<std::string, int> byAddress;
  for (const std::string& a : d.producerAddresses()) ++byAddress[a];
  json producers = json::array();
  for (const auto& [address, count] : byAddress) {
    producers.push_back({{"address", address}, {"connections", count}});
  }
  const TrafficCounters& t = d.counters();
  return dumped(json{{"title", title},
                     {"encoders", encoders},
                     {"producers", producers},
                     {"totals",
                      {{"queued", t.queued},
                       {"delivered", t.delivered},
                       {"expired", t.expired},
                       {"failedSends", t.failedSends},
                       {"replaced", t.replaced},
                       {"cleared", t.cleared}}}});
}

}  // namespace varnok::status
