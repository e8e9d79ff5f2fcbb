// Starts a program under the restrictions that a systemd unit puts on its
// service, for machines whose PID 1 is not systemd (containers, build
// machines), so that tests can run the real program as the service runs it:
//
//   restricted_launcher [--refuse=kill] UNIT PROGRAM [ARGUMENT...]
//
// From the unit's [Service] section it applies, as systemd does:
//   LimitNOFILE=                  RLIMIT_NOFILE
//   ProtectProc=, ProcSubset=     a private mount namespace with its own /proc
//                                 (only where one can be made, i.e. as root)
//   NoNewPrivileges=              prctl(PR_SET_NO_NEW_PRIVS)
//   SystemCallArchitectures=      native only: a call of another ABI kills
//   RestrictAddressFamilies=, RestrictNamespaces=, RestrictRealtime=,
//   MemoryDenyWriteExecute=, LockPersonality=
//                                 seccomp filters on the calls' arguments
//   SystemCallFilter=, SystemCallErrorNumber=
//                                 the allow (or deny) list, its groups read
//                                 from "systemd-analyze syscall-filter", so
//                                 they are systemd's own; refused calls fail
//                                 with the unit's errno or kill the program
// Each protection is a filter of its own; the kernel takes the strictest
// answer of all of them. --refuse=kill makes a refused call kill the program
// whatever the unit says, so a test sees every call the filter refuses.
//
// Restrictions it cannot apply here (cgroup limits, the other mount
// namespaces, users and capabilities, ...) are named on standard error. A
// value it cannot read ends it with status 125 before the program runs: a
// test must not pass under weaker rules than the unit's. 127: exec failed.
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kLauncherFailed = 125;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool boolean(const std::string& key, const std::string& value) {
  for (const char* yes : {"yes", "true", "on", "1"})
    if (value == yes) return true;
  for (const char* no : {"no", "false", "off", "0"})
    if (value == no) return false;
  throw Failure(key + "=" + value + " is not a boolean");
}

// The [Service] assignments of a unit file, in order (continuation lines
// joined, comments dropped).
std::vector<std::pair<std::string, std::string>> serviceSettings(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw Failure("cannot read " + path);
  std::vector<std::pair<std::string, std::string>> out;
  std::string section, line, pending;
  while (std::getline(in, line)) {
    line = trim(line);
    if (pending.empty() && (line.empty() || line[0] == '#' || line[0] == ';')) continue;
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1) + " ";
      continue;
    }
    line = pending + line;
    pending.clear();
    if (line.front() == '[') {
      section = line;
      continue;
    }
    const auto eq = line.find('=');
    if (section == "[Service]" && eq != std::string::npos)
      out.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
  }
  return out;
}

// systemd's system call groups, as "systemd-analyze syscall-filter" lists
// them: "@name" at the start of a line, its members indented below it.
std::map<std::string, std::vector<std::string>> systemdGroups() {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen("systemd-analyze syscall-filter --no-pager 2>/dev/null", "r"), pclose);
  if (!pipe) throw Failure("cannot run systemd-analyze");
  std::map<std::string, std::vector<std::string>> groups;
  std::string current;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe.get())) {
    const std::string line = buf, item = trim(line);
    if (line[0] == '@') {
      current = item;
      groups[current];
    } else if (line[0] != ' ') {
      current.clear();  // the lists of ungrouped calls that close the output
    } else if (!current.empty() && !item.empty() && item[0] != '#') {
      groups[current].push_back(item);
    }
  }
  if (groups.count("@system-service") == 0 || groups.count("@default") == 0)
    throw Failure("systemd-analyze syscall-filter lists no @system-service group");
  return groups;
}

int errnoNumber(const std::string& name) {
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
    return std::stoi(name);
  for (int e = 1; e < 4096; ++e) {
    const char* known = strerrorname_np(e);
    if (known && name == known) return e;
  }
  throw Failure("unknown errno name " + name);
}

struct NamedFlag {
  const char* name;
  unsigned long value;
};
constexpr NamedFlag kNamespaces[] = {{"cgroup", CLONE_NEWCGROUP}, {"ipc", CLONE_NEWIPC},
                                     {"net", CLONE_NEWNET},       {"mnt", CLONE_NEWNS},
                                     {"pid", CLONE_NEWPID},       {"user", CLONE_NEWUSER},
                                     {"uts", CLONE_NEWUTS}};
constexpr NamedFlag kFamilies[] = {{"AF_UNIX", AF_UNIX},           {"AF_LOCAL", AF_LOCAL},
                                   {"AF_INET", AF_INET},           {"AF_INET6", AF_INET6},
                                   {"AF_NETLINK", AF_NETLINK},     {"AF_PACKET", AF_PACKET},
                                   {"AF_BLUETOOTH", AF_BLUETOOTH}, {"AF_CAN", AF_CAN},
                                   {"AF_VSOCK", AF_VSOCK},         {"AF_ALG", AF_ALG}};

template <std::size_t N>
unsigned long flagNamed(const NamedFlag (&table)[N], const std::string& name) {
  for (const NamedFlag& f : table)
    if (name == f.name) return f.value;
  throw Failure("unknown name " + name);
}

// A list setting whose first assignment decides whether it allows (the
// names listed) or denies ("~" and the names); later assignments of the
// same kind add names, of the other kind take them away; an empty one
// starts again.
template <typename T>
struct ListSetting {
  std::optional<bool> allow;
  std::set<T> items;
  template <typename Expand>
  void assign(const std::string& value, Expand expand) {
    if (value.empty()) {
      allow.reset();
      items.clear();
      return;
    }
    const bool invert = value[0] == '~';
    if (!allow) allow = !invert;
    for (const std::string& w : words(invert ? value.substr(1) : value)) {
      for (const T& item : expand(w)) {
        if (invert != *allow)
          items.insert(item);
        else
          items.erase(item);
      }
    }
  }
};

struct Plan {
  std::optional<rlimit> nofile;
  std::string procOptions;  // hidepid=...,subset=... for a private /proc
  bool noNewPrivileges = false;
  bool nativeOnly = false;
  ListSetting<int> syscalls;
  std::uint32_t refusal = SCMP_ACT_KILL_PROCESS;
  ListSetting<scmp_datum_t> families;
  std::optional<unsigned long> namespacesKept;
  bool realtime = true, writeExecute = true, personalityFree = true;
  std::set<std::string> notApplied;
};

// Settings of the unit that restrict the service but that this launcher
// cannot apply; they are named so that nobody takes a run here for the
// whole of them.
constexpr const char* kNotAppliedHere =
    "User Group DynamicUser AmbientCapabilities CapabilityBoundingSet MemoryMax MemoryHigh "
    "TasksMax CPUQuota ProtectSystem ProtectHome PrivateTmp PrivateDevices DevicePolicy "
    "ProtectKernelTunables ProtectKernelModules ProtectKernelLogs ProtectControlGroups "
    "ProtectClock ProtectHostname RestrictSUIDSGID RemoveIPC PrivateNetwork PrivateUsers "
    "IPAddressDeny IPAddressAllow ReadWritePaths UMask";

Plan readPlan(const std::string& unit) {
  Plan plan;
  const std::vector<std::string> notHere = words(kNotAppliedHere);
  std::map<std::string, std::vector<std::string>> groups;
  std::string hidepid, subset;
  // Names one call or a group: a group's members, recursively, as systemd
  // expands them; names unknown on this architecture are skipped, as
  // systemd skips them.
  std::function<std::set<int>(const std::string&)> calls = [&](const std::string& name) {
    std::set<int> out;
    if (name.find(':') != std::string::npos) throw Failure("per-call errno not supported: " + name);
    if (name[0] == '@') {
      if (groups.empty()) groups = systemdGroups();
      const auto found = groups.find(name);
      if (found == groups.end()) throw Failure("unknown system call group " + name);
      for (const std::string& member : found->second) out.merge(calls(member));
    } else if (const int nr = seccomp_syscall_resolve_name(name.c_str()); nr >= 0) {
      out.insert(nr);
    }
    return out;
  };
  for (const auto& [key, value] : serviceSettings(unit)) {
    if (key == "LimitNOFILE") {
      const auto colon = value.find(':');
      const auto limit = [&](const std::string& v) -> rlim_t {
        return v == "infinity" ? RLIM_INFINITY : std::stoull(v);
      };
      plan.nofile = rlimit{limit(value.substr(0, colon)),
                           limit(colon == std::string::npos ? value : value.substr(colon + 1))};
    } else if (key == "ProtectProc") {
      hidepid = value == "default" ? "" : value;
    } else if (key == "ProcSubset") {
      subset = value == "all" ? "" : value;
    } else if (key == "NoNewPrivileges") {
      plan.noNewPrivileges = boolean(key, value);
    } else if (key == "SystemCallArchitectures") {
      if (value != "native") throw Failure("only SystemCallArchitectures=native is supported");
      plan.nativeOnly = true;
    } else if (key == "SystemCallFilter") {
      const bool first = !plan.syscalls.allow && !value.empty();
      plan.syscalls.assign(value, calls);
      // An allow list always holds what every program needs (systemd's rule).
      if (first && *plan.syscalls.allow) plan.syscalls.items.merge(calls("@default"));
    } else if (key == "SystemCallErrorNumber") {
      plan.refusal = value == "kill" ? SCMP_ACT_KILL_PROCESS : SCMP_ACT_ERRNO(errnoNumber(value));
    } else if (key == "RestrictAddressFamilies") {
      if (value == "none") {
        plan.families.allow = true;
        plan.families.items.clear();
      } else {
        plan.families.assign(value, [](const std::string& w) {
          return std::set<scmp_datum_t>{flagNamed(kFamilies, w)};
        });
      }
    } else if (key == "RestrictNamespaces") {
      unsigned long kept = 0;
      if (value == "yes" || value == "true" || value == "no" || value == "false") {
        kept = boolean(key, value) ? 0 : ~0UL;
      } else {
        const bool invert = !value.empty() && value[0] == '~';
        for (const std::string& w : words(invert ? value.substr(1) : value))
          kept |= flagNamed(kNamespaces, w);
        if (invert) kept = ~kept;
      }
      plan.namespacesKept = kept;
    } else if (key == "RestrictRealtime") {
      plan.realtime = !boolean(key, value);
    } else if (key == "MemoryDenyWriteExecute") {
      plan.writeExecute = !boolean(key, value);
    } else if (key == "LockPersonality") {
      plan.personalityFree = !boolean(key, value);
    } else if (std::find(notHere.begin(), notHere.end(), key) != notHere.end()) {
      plan.notApplied.insert(key + "=" + value);
    }
  }
  if (!hidepid.empty() || !subset.empty()) {
    plan.procOptions = hidepid.empty() ? "" : "hidepid=" + hidepid;
    if (!subset.empty()) plan.procOptions += (hidepid.empty() ? "" : ",") + ("subset=" + subset);
  }
  if (plan.syscalls.allow && !plan.nativeOnly)
    throw Failure("a system call filter needs SystemCallArchitectures=native here");
  return plan;
}

// One seccomp filter for the native architecture, loaded when complete.
class Filter {
 public:
  explicit Filter(std::uint32_t defaultAction, std::uint32_t badArch = SCMP_ACT_ALLOW)
      : ctx_(seccomp_init(defaultAction)) {
    if (!ctx_) throw Failure("seccomp_init failed");
    // NoNewPrivileges is the unit's choice, set on its own.
    check(seccomp_attr_set(ctx_, SCMP_FLTATR_CTL_NNP, 0), "seccomp attribute");
    check(seccomp_attr_set(ctx_, SCMP_FLTATR_ACT_BADARCH, badArch), "seccomp attribute");
  }
  ~Filter() { seccomp_release(ctx_); }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  template <typename... Conditions>
  Filter& rule(std::uint32_t action, int call, Conditions... conditions) {
    const scmp_arg_cmp args[] = {conditions..., {}};
    check(seccomp_rule_add_array(ctx_, action, call, sizeof...(conditions), args),
          "rule for call " + std::to_string(call));
    return *this;
  }
  void load() { check(seccomp_load(ctx_), "seccomp_load"); }

 private:
  static void check(int rc, const std::string& what) {
    if (rc < 0) throw Failure(what + ": " + std::strerror(-rc));
  }
  scmp_filter_ctx ctx_;
};

constexpr std::uint32_t kEperm = SCMP_ACT_ERRNO(EPERM);

void restrict(const Plan& plan, bool killOnRefusal) {
  if (plan.nofile && setrlimit(RLIMIT_NOFILE, &*plan.nofile) != 0)
    throw Failure(std::string("LimitNOFILE: ") + std::strerror(errno));
  if (!plan.procOptions.empty()) {
    // A slave of the system's mounts, not a peer: the new /proc stays in
    // the new namespace.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              plan.procOptions.c_str()) != 0) {
      if (errno != EPERM) throw Failure("private /proc: " + std::string(std::strerror(errno)));
      std::fprintf(stderr, "restricted_launcher: not applied here (no mount namespace): %s\n",
                   plan.procOptions.c_str());
    }
  }
  // Without CAP_SYS_ADMIN, seccomp takes filters only with no_new_privs.
  const bool filtering = plan.nativeOnly || plan.syscalls.allow || plan.families.allow ||
                         plan.namespacesKept || !plan.realtime || !plan.writeExecute ||
                         !plan.personalityFree;
  if (plan.noNewPrivileges || (filtering && geteuid() != 0)) {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) throw Failure("PR_SET_NO_NEW_PRIVS failed");
  }
  if (plan.nativeOnly) Filter(SCMP_ACT_ALLOW, SCMP_ACT_KILL_PROCESS).load();
  if (plan.families.allow) {
    constexpr std::uint32_t refuse = SCMP_ACT_ERRNO(EAFNOSUPPORT);
    Filter f(SCMP_ACT_ALLOW);
    const std::set<scmp_datum_t>& listed = plan.families.items;
    if (!*plan.families.allow) {
      for (scmp_datum_t af : listed) f.rule(refuse, SCMP_SYS(socket), SCMP_A0(SCMP_CMP_EQ, af));
    } else if (listed.empty()) {
      f.rule(refuse, SCMP_SYS(socket));
    } else {
      f.rule(refuse, SCMP_SYS(socket), SCMP_A0(SCMP_CMP_LT, *listed.begin()));
      f.rule(refuse, SCMP_SYS(socket), SCMP_A0(SCMP_CMP_GT, *listed.rbegin()));
      for (scmp_datum_t af = *listed.begin() + 1; af < *listed.rbegin(); ++af)
        if (!listed.count(af)) f.rule(refuse, SCMP_SYS(socket), SCMP_A0(SCMP_CMP_EQ, af));
    }
    f.load();
  }
  unsigned long every = 0;
  for (const NamedFlag& ns : kNamespaces) every |= ns.value;
  if (plan.namespacesKept && (*plan.namespacesKept & every) != every) {
    const unsigned long kept = *plan.namespacesKept & every;
    Filter f(SCMP_ACT_ALLOW);
    // clone3 hides its flags in memory: refused as if the kernel lacked it,
    // so the C library falls back to clone, whose flags can be checked.
    f.rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3));
    if (kept == 0)
      f.rule(kEperm, SCMP_SYS(setns));
    else
      f.rule(kEperm, SCMP_SYS(setns), SCMP_A1(SCMP_CMP_EQ, 0));
    for (const NamedFlag& ns : kNamespaces) {
      if (kept & ns.value) continue;
      f.rule(kEperm, SCMP_SYS(unshare), SCMP_A0(SCMP_CMP_MASKED_EQ, ns.value, ns.value));
      f.rule(kEperm, SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, ns.value, ns.value));
      if (kept) f.rule(kEperm, SCMP_SYS(setns), SCMP_A1(SCMP_CMP_MASKED_EQ, ns.value, ns.value));
    }
    f.load();
  }
  if (!plan.realtime) {
    // Only SCHED_OTHER (0), SCHED_BATCH (3) and SCHED_IDLE (5).
    Filter f(SCMP_ACT_ALLOW);
    for (scmp_datum_t policy : {SCHED_FIFO, SCHED_RR, 4})
      f.rule(kEperm, SCMP_SYS(sched_setscheduler), SCMP_A1(SCMP_CMP_EQ, policy));
    f.rule(kEperm, SCMP_SYS(sched_setscheduler), SCMP_A1(SCMP_CMP_GT, SCHED_IDLE));
    f.load();
  }
  if (!plan.writeExecute) {
    constexpr int wx = PROT_WRITE | PROT_EXEC;
    Filter f(SCMP_ACT_ALLOW);
    f.rule(kEperm, SCMP_SYS(mmap), SCMP_A2(SCMP_CMP_MASKED_EQ, wx, wx));
    f.rule(kEperm, SCMP_SYS(mprotect), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC));
    f.rule(kEperm, SCMP_SYS(pkey_mprotect), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC));
    f.rule(kEperm, SCMP_SYS(shmat), SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC));
    f.load();
  }
  if (!plan.personalityFree) {
    const unsigned long current = static_cast<unsigned>(personality(0xffffffff));
    Filter(SCMP_ACT_ALLOW)
        .rule(kEperm, SCMP_SYS(personality), SCMP_A0(SCMP_CMP_NE, current))
        .load();
  }
  // Last: once loaded, seccomp() itself is refused.
  if (plan.syscalls.allow) {
    const std::uint32_t refusal = killOnRefusal ? SCMP_ACT_KILL_PROCESS : plan.refusal;
    Filter f(*plan.syscalls.allow ? refusal : SCMP_ACT_ALLOW);
    for (int nr : plan.syscalls.items) f.rule(*plan.syscalls.allow ? SCMP_ACT_ALLOW : refusal, nr);
    f.load();
  }
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool killOnRefusal = argc > 1 && std::strcmp(argv[1], "--refuse=kill") == 0;
  if (killOnRefusal) ++first;
  if (argc - first < 2) {
    std::fprintf(stderr, "usage: restricted_launcher [--refuse=kill] UNIT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  try {
    const Plan plan = readPlan(argv[first]);
    if (!plan.notApplied.empty()) {
      std::string names;
      for (const std::string& s : plan.notApplied) names += " " + s;
      std::fprintf(stderr, "restricted_launcher: not applied here:%s\n", names.c_str());
    }
    restrict(plan, killOnRefusal);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "restricted_launcher: %s\n", e.what());
    return kLauncherFailed;
  }
  execv(argv[first + 1], argv + first + 1);
  std::fprintf(stderr, "restricted_launcher: cannot run %s: %s\n", argv[first + 1],
               std::strerror(errno));
  return 127;
}
