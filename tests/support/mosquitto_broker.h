#pragma once

// A real mosquitto broker for tests: our own process with our own
// configuration, on free loopback ports, in a temporary folder. Never the
// system's service. Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace varnok::testing {

// A test CA with a broker certificate for "localhost" and "broker.test" (no
// IP address in it), and an unrelated CA that signed nothing of the broker's.
// Made once per test process with the openssl tool.
class TestCertificates {
 public:
  static const TestCertificates& get() {
    static TestCertificates certs;
    return certs;
  }
  std::string caFile() const { return dir_.folder() + "ca.crt"; }
  std::string wrongCaFile() const { return dir_.folder() + "wrong-ca.crt"; }
  std::string serverCert() const { return dir_.folder() + "server.crt"; }
  std::string serverKey() const { return dir_.folder() + "server.key"; }

 private:
  TestCertificates() {
    dir_.write("san.ext", "subjectAltName=DNS:localhost,DNS:broker.test\n");
    const std::string f = dir_.folder();
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
    auto req = [&](std::vector<std::string> args) {
      args.insert(args.begin() + 1, ec.begin(), ec.end());
      run(args);
    };
    req({"req", "-x509", "-keyout", f + "ca.key", "-out", f + "ca.crt", "-days", "2", "-subj",
         "/CN=Varnok Test CA"});
    req({"req", "-x509", "-keyout", f + "wrong-ca.key", "-out", f + "wrong-ca.crt", "-days", "2",
         "-subj", "/CN=Varnok Other CA"});
    req({"req", "-keyout", f + "server.key", "-out", f + "server.csr", "-subj", "/CN=localhost"});
    run({"x509", "-req", "-in", f + "server.csr", "-CA", f + "ca.crt", "-CAkey", f + "ca.key",
         "-CAcreateserial", "-out", f + "server.crt", "-days", "2", "-extfile", f + "san.ext"});
  }
  static void run(const std::vector<std::string>& args) {
    ChildProcess p("/usr/bin/openssl", args);
    if (p.wait(20000) != 0) throw std::runtime_error("openssl failed: " + p.err());
  }
  TempDir dir_;
};

struct BrokerOptions {
  bool persistence = false;
  std::vector<std::pair<std::string, std::string>> users;  // password file; no anonymous
  std::string acl;                                         // ACL file content
  bool tls = false;                                        // a second listener with TLS
  int maxQueuedMessages = 0;                               // 0: mosquitto's default
};

class MosquittoBroker {
 public:
  explicit MosquittoBroker(BrokerOptions options = {}) : options_(std::move(options)) {
    port_ = freePort();
    if (options_.tls) tlsPort_ = freePort();
    writeConfig();
  }
  ~MosquittoBroker() {
    if (process_) {
      resume();
      process_->killHard();
    }
  }
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }
  const TempDir& dir() const { return dir_; }
  // The broker's log file, for failure messages.
  std::string log() const {
    std::ifstream in(dir_.folder() + "broker.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Starts the broker and waits until its listeners accept; false after 10 s.
  bool start() {
    process_ = std::make_unique<ChildProcess>(
        "/usr/sbin/mosquitto", std::vector<std::string>{"-c", dir_.folder() + "conf"});
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      if (process_->waitLeavingOutput(0)) return false;  // ended at once: bad configuration
      if (accepts(port_) && (tlsPort_ == 0 || accepts(tlsPort_))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // SIGTERM: the broker saves its persistence file on the way out.
  void stop() {
    if (!process_) return;
    resume();
    process_->signal(SIGTERM);
    if (!process_->wait(10000)) process_->killHard();
    process_.reset();
  }
  void kill() {
    if (!process_) return;
    process_->killHard();
    process_.reset();
  }
  bool restart() {
    stop();
    return start();
  }
  void pause() {
    if (process_) process_->signal(SIGSTOP);
    paused_ = process_ != nullptr;
  }
  void resume() {
    if (process_ && paused_) process_->signal(SIGCONT);
    paused_ = false;
  }

  // mosquitto_pub: one message per line (payloads without line breaks).
  bool publish(const std::string& topic, const std::vector<std::string>& lines, int qos = 1,
               bool retained = false, const std::string& user = "",
               const std::string& password = "") const {
    std::vector<std::string> argv = {"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p",
                                     std::to_string(port_),    "-t", topic,       "-q",
                                     std::to_string(qos),      "-l"};
    if (retained) argv.push_back("-r");
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
    ChildProcess p(argv);
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    p.writeStdin(text);
    p.closeStdin();
    return p.wait(10000) == 0;
  }

  // mosquitto_sub: up to count messages of filter within timeoutS seconds,
  // each "topic payload".
  std::vector<std::string> receive(const std::string& filter, int count, int timeoutS,
                                   const std::string& user = "",
                                   const std::string& password = "") const {
    std::vector<std::string> args = {
        "-h", "127.0.0.1",           "-p", std::to_string(port_),    "-t", filter,
        "-C", std::to_string(count), "-W", std::to_string(timeoutS), "-v"};
    if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
    ChildProcess p("/usr/bin/mosquitto_sub", args);
    p.wait((timeoutS + 5) * 1000);
    std::vector<std::string> lines;
    std::size_t start = 0;
    const std::string& out = p.out();
    for (std::size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(out.substr(start, nl - start));
    }
    return lines;
  }

 private:
  // mosquitto started as root switches to the user named here.
  static std::string currentUser() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? pw->pw_name : "root";
  }

  static int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(s);
      throw std::runtime_error("no free port");
    }
    ::close(s);
    return ntohs(a.sin_port);
  }

  static bool accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
  }

  void writeConfig() {
    const std::string f = dir_.folder();
    // The log goes to a file: a pipe nobody reads would fill and stop the broker.
    std::string conf =
        "user " + currentUser() + "\nlog_dest file " + f + "broker.log\nlog_type all\n";
    conf += "listener " + std::to_string(port_) + " 127.0.0.1\n";
    if (options_.persistence) {
      conf += "persistence true\npersistence_location " + f + "\nautosave_interval 1\n";
    }
    if (options_.maxQueuedMessages > 0) {
      conf += "max_queued_messages " + std::to_string(options_.maxQueuedMessages) + "\n";
    }
    if (options_.users.empty()) {
      conf += "allow_anonymous true\n";
    } else {
      const std::string pw = f + "passwd";
      dir_.write("passwd", "");
      for (const auto& [user, password] : options_.users) {
        ChildProcess p("/usr/bin/mosquitto_passwd", {"-b", pw, user, password});
        if (p.wait(10000) != 0) throw std::runtime_error("mosquitto_passwd failed: " + p.err());
      }
      conf += "allow_anonymous false\npassword_file " + pw + "\n";
    }
    if (!options_.acl.empty()) conf += "acl_file " + dir_.write("acl", options_.acl) + "\n";
    if (options_.tls) {
      const TestCertificates& c = TestCertificates::get();
      conf += "listener " + std::to_string(tlsPort_) + " 127.0.0.1\n";
      conf += "cafile " + c.caFile() + "\ncertfile " + c.serverCert() + "\nkeyfile " +
              c.serverKey() + "\n";
    }
    dir_.write("conf", conf);
  }

  BrokerOptions options_;
  TempDir dir_;
  int port_ = 0;
  int tlsPort_ = 0;
  bool paused_ = false;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace varnok::testing
