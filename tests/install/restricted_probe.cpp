// Makes one call that the service's unit refuses and prints how it went:
// "ok", or the errno's name ("EPERM"). Run with and without
// restricted_launcher, it shows that the launcher really applies the unit.
//   restricted_probe WHAT
#include <sched.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

int main(int argc, char** argv) {
  const auto failed = [](bool bad) { return bad ? errno : 0; };
  const std::map<std::string, std::function<int()>> probes = {
      {"unshare-user", [&] { return failed(unshare(CLONE_NEWUSER) != 0); }},
      // An invalid size: EINVAL from the kernel, ENOSYS from the filter.
      {"clone3", [&] { return failed(syscall(SYS_clone3, nullptr, 0) != 0); }},
      {"mmap-wx",
       [&] {
         return failed(mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED);
       }},
      {"mprotect-x",
       [&] {
         void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         return failed(p == MAP_FAILED || mprotect(p, 4096, PROT_READ | PROT_EXEC) != 0);
       }},
      {"netlink", [&] { return failed(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, 0) < 0); }},
      {"personality", [&] { return failed(personality(PER_LINUX32) == -1); }},
      {"realtime",
       [&] {
         const sched_param p{1};
         return failed(sched_setscheduler(0, SCHED_FIFO, &p) != 0);
       }},
      // @resources, taken out of the list: even pinning to the CPUs it has.
      {"affinity",
       [&] {
         cpu_set_t cpus;
         return failed(sched_getaffinity(0, sizeof cpus, &cpus) != 0 ||
                       sched_setaffinity(0, sizeof cpus, &cpus) != 0);
       }},
      // @privileged, taken out of the list: even becoming oneself.
      {"setuid", [&] { return failed(setuid(getuid()) != 0); }},
      {"proc-sys", [&] { return failed(access("/proc/sys/kernel/osrelease", R_OK) != 0); }},
      // The x32 ABI of an x86-64 kernel: another architecture's call.
      {"x32", [&] { return failed(syscall(0x40000000 | SYS_getpid) < 0); }},
  };
  if (argc == 2 && std::strcmp(argv[1], "nofile") == 0) {
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    std::printf("%llu:%llu\n", static_cast<unsigned long long>(r.rlim_cur),
                static_cast<unsigned long long>(r.rlim_max));
    return 0;
  }
  const auto probe = argc == 2 ? probes.find(argv[1]) : probes.end();
  if (probe == probes.end()) {
    std::fprintf(stderr, "usage: restricted_probe nofile|unshare-user|clone3|...\n");
    return 2;
  }
  const int err = probe->second();
  std::printf("%s\n", err == 0 ? "ok" : strerrorname_np(err));
  return 0;
}
