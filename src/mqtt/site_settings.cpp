#include "mqtt/site_settings.h"

#include <algorithm>

#include "platform/ascii_text.h"
#include "platform/secret_file.h"

namespace varnok::mqtt {
namespace {

std::string resolvePath(const std::string& path, const std::string& programFolder) {
  return !path.empty() && path.front() == '/' ? path : programFolder + path;
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    const std::string part(trimmed(std::string_view(list).substr(start, comma - start)));
    if (!part.empty()) parts.push_back(part);
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

std::vector<std::string> levels(const std::string& topic) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = topic.find('/', start);
    out.push_back(topic.substr(start, slash - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

}  // namespace

bool filterMatches(const std::string& filter, const std::string& topic) {
  const std::vector<std::string> f = levels(filter), t = levels(topic);
  if (!topic.empty() && topic.front() == '$' && !filter.empty() &&
      (filter.front() == '+' || filter.front() == '#')) {
    return false;
  }
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (f[i] == "#") return true;
    if (i >= t.size()) return false;
    if (f[i] != "+" && f[i] != t[i]) return false;
  }
  return f.size() == t.size();
}

Route routeOf(const std::string& topic, const std::string& nowPlayingTopic) {
  if (!nowPlayingTopic.empty() && topic == nowPlayingTopic) return {Route::Kind::NowPlaying, {}};
  // The level is a word of the scheme, so its letter case does not matter;
  // the name after it is the encoder's, whole. An empty name names nobody:
  // it must not fall through to every encoder.
  static const std::string kEncoder = "/encoder/";
  const std::size_t at = lowerAscii(topic).rfind(kEncoder);
  if (at != std::string::npos) {
    const std::string name = topic.substr(at + kEncoder.size());
    if (name.find('/') == std::string::npos) return {Route::Kind::Encoder, name};
  }
  return {Route::Kind::Everyone, {}};
}

SiteSettings readSiteSettings(const IniFile& ini, const std::string& programFolder,
                              const std::string& hostName) {
  constexpr std::string_view kSection = "MQTT";
  SiteSettings s;
  const auto log = [&s](std::string line) { s.problem = std::move(line); };
  s.broker = ini.readString(kSection, "Broker", "");
  if (s.broker.empty()) return s;
  s.port = ini.readInteger(kSection, "Port", 1883);
  if (s.port < 1 || s.port > 65535) {
    log("MQTT off - Port " + std::to_string(s.port) + " is not a TCP port");
    return s;
  }
  std::string folderName = programFolder;
  while (!folderName.empty() && folderName.back() == '/') folderName.pop_back();
  folderName = folderName.substr(folderName.rfind('/') + 1);
  s.clientId = ini.readString(kSection, "ClientId", "varnok-" + hostName + "-" + folderName);
  s.username = ini.readString(kSection, "Username", "");
  const std::string passwordFile = ini.readString(kSection, "PasswordFile", "");
  if (!passwordFile.empty()) {
    const std::string path = resolvePath(passwordFile, programFolder);
    s.passwordFile = path;
    const SecretFile file = readSecretFile(path);
    switch (file.status) {
      case SecretFile::Status::CannotRead:
        log("MQTT off - password file cannot be read (" + path + ")");
        return s;
      case SecretFile::Status::OthersMayRead:
        log("MQTT off - password file refused, group or others can read it (" + path + ")");
        return s;
      case SecretFile::Status::Read:
        s.password = file.firstLine;
        break;
    }
  }
  s.caFile = ini.readString(kSection, "CAFile", "");
  s.certFile = ini.readString(kSection, "CertFile", "");
  s.keyFile = ini.readString(kSection, "KeyFile", "");
  for (std::string* file : {&s.caFile, &s.certFile, &s.keyFile}) {
    if (!file->empty()) *file = resolvePath(*file, programFolder);
  }
  s.topics = split(ini.readString(kSection, "Topics", "varnok/command/#"));
  s.qos = std::clamp(ini.readInteger(kSection, "QoS", 1), 0, 2);
  s.keepAlive = std::max(ini.readInteger(kSection, "KeepAlive", 30), 5);
  s.statusTopic = ini.readString(kSection, "StatusTopic", "varnok/status/" + s.clientId);
  s.nowPlayingTopic = ini.readString(kSection, "NowPlayingTopic", "");
  if (!s.nowPlayingTopic.empty()) s.topics.push_back(s.nowPlayingTopic);
  for (const std::string& filter : s.topics) {
    if (filterMatches(filter, s.statusTopic)) {
      log("MQTT off - StatusTopic " + s.statusTopic + " is matched by the subscription " + filter +
          ": the site would feed on its own status");
      return s;
    }
  }
  s.enabled = true;
  return s;
}

}  // namespace varnok::mqtt
