#include "support/process.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace velmora::testing {
namespace {

void make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

// The peak resident memory of a running process (VmHWM of /proc/<pid>/status), 0 when it cannot be read.
long peak_kb_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// State and parent of a process, from /proc/<pid>/stat; nothing when it has gone.
std::optional<std::pair<char, pid_t>> state_and_parent(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  const std::size_t close = text.rfind(')');  // the program's name may hold blanks and parentheses
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(close + 1));
  char state = 0;
  pid_t parent = 0;
  if (!(rest >> state >> parent)) return std::nullopt;
  return std::pair{state, parent};
}

}  // namespace

std::vector<pid_t> descendants(pid_t ancestor) {
  std::multimap<pid_t, pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    const auto sp = state_and_parent(pid);
    if (sp && sp->first != 'Z') children.emplace(sp->second, pid);
  }
  std::vector<pid_t> out;
  std::vector<pid_t> todo = {ancestor};
  while (!todo.empty()) {
    const pid_t p = todo.back();
    todo.pop_back();
    for (auto [it, end] = children.equal_range(p); it != end; ++it) {
      out.push_back(it->second);
      todo.push_back(it->second);
    }
  }
  return out;
}

pid_t newcomer_with_id(pid_t pid) {
  if (const char* alone = std::getenv("VELMORA_TEST_ALONE"); alone && std::string(alone) == "0") {
    throw std::logic_error(
        "a test that forces process ids must run alone: end its suite's name in PidReuse (see velmora_test in "
        "cmake/VelmoraTargets.cmake)");
  }
  for (int attempt = 0; attempt < 200; ++attempt) {
    {
      std::ofstream last("/proc/sys/kernel/ns_last_pid");
      last << pid - 1 << std::flush;
      if (!last) return -1;
    }
    const pid_t child = ::fork();
    if (child < 0) return 0;
    if (child == 0) {
      ::setsid();
      for (;;) ::pause();
    }
    if (child == pid) {
      while (::getpgid(child) != child) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // its setsid()
      return child;
    }
    // Another process came first: it may not keep the id long.
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

const char* name_of(Handling h) {
  switch (h) {
    case Handling::sigchld_default: return "SIGCHLD default";
    case Handling::sigchld_ignored: return "SIGCHLD ignored";
    case Handling::no_child_wait: return "SA_NOCLDWAIT";
    case Handling::reaping_handler: return "a SIGCHLD handler that reaps every child";
    case Handling::reaping_thread: return "a thread that reaps every child";
  }
  return "";
}

namespace {

void reap_every_child(int) {
  const int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

}  // namespace

ApplicationChildren::ApplicationChildren(Handling h) {
  struct sigaction now {};
  now.sa_handler = h == Handling::sigchld_ignored ? SIG_IGN : h == Handling::reaping_handler ? reap_every_child : SIG_DFL;
  now.sa_flags = h == Handling::no_child_wait ? SA_NOCLDWAIT : 0;
  sigemptyset(&now.sa_mask);
  ::sigaction(SIGCHLD, &now, &before_);
  if (h == Handling::reaping_thread) {
    reaper_ = std::jthread([](std::stop_token stop) {
      while (!stop.stop_requested()) {
        // Not blocking, so that the scope can end while children run.
        if (::waitpid(-1, nullptr, WNOHANG) <= 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
}

ApplicationChildren::~ApplicationChildren() {
  reaper_ = {};
  ::sigaction(SIGCHLD, &before_, nullptr);
}

const char* name_of(Pidfds p) {
  switch (p) {
    case Pidfds::as_here: return "pidfds as this system offers them";
    case Pidfds::none: return "no pidfds";
    case Pidfds::no_group_signals: return "pidfds without group signals (before 6.9)";
    case Pidfds::no_info: return "pidfds without PIDFD_GET_INFO (before 6.13)";
    case Pidfds::as_on_debian_12: return "pidfds as on Debian 12's Linux 6.1";
  }
  return "";
}

bool refuse_pidfds(Pidfds offered) {
  if (offered == Pidfds::as_here) return true;
#if defined(__x86_64__)
  const bool none = offered == Pidfds::none;
  const bool no_group = offered == Pidfds::no_group_signals || offered == Pidfds::as_on_debian_12;
  const bool no_info = offered == Pidfds::no_info || offered == Pidfds::as_on_debian_12;
  std::vector<sock_filter> filter = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  // Call `nr` fails with `error`.
  const auto refuse = [&](unsigned nr, unsigned error) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error));
  };
  // Call `nr` fails with `error` when the low half of its argument `arg`, masked by `mask`, passes `test`
  // (BPF_JEQ or BPF_JSET) against `value`.
  const auto refuse_when = [&](unsigned nr, int arg, unsigned mask, unsigned short test, unsigned value,
                               unsigned error) {
    const bool masked = mask != ~0u;
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, static_cast<unsigned char>(masked ? 5 : 4)));
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(offsetof(seccomp_data, args) + sizeof(std::uint64_t) * arg)));
    if (masked) filter.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, mask));
    filter.push_back(BPF_JUMP(BPF_JMP | test | BPF_K, value, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  };
  if (none) {
    refuse(SYS_pidfd_open, ENOSYS);
    refuse(SYS_pidfd_send_signal, ENOSYS);
    refuse(SYS_clone3, ENOSYS);
    refuse_when(SYS_clone, 0, ~0u, BPF_JSET, CLONE_PIDFD, EINVAL);  // the low half of the flags
  }
  if (no_group) refuse_when(SYS_pidfd_send_signal, 3, ~0u, BPF_JSET, ~0u, EINVAL);  // any flag
  if (no_info) {
    // PIDFD_GET_INFO of any size: _IOWR(0xFF, 11, n).
    constexpr unsigned SIZE_BITS = _IOC_SIZEMASK << _IOC_SIZESHIFT;
    refuse_when(SYS_ioctl, 1, ~SIZE_BITS, BPF_JEQ, _IOC(_IOC_READ | _IOC_WRITE, 0xFF, 11, 0), ENOTTY);
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
#else
  (void)offered;
  return false;
#endif
}

bool store_statuses_late(std::chrono::milliseconds late) {
#if defined(__x86_64__)
  constexpr unsigned SIZE_BITS = _IOC_SIZEMASK << _IOC_SIZESHIFT;
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(offsetof(seccomp_data, args) + sizeof(std::uint64_t))),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~SIZE_BITS),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, _IOC(_IOC_READ | _IOC_WRITE, 0xFF, 11, 0), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  const int listener = static_cast<int>(
      ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
  if (listener < 0) return false;
  // The asks are this process's own, so their answers are written into its memory directly.
  std::thread([listener, late] {
    std::map<ino_t, std::chrono::steady_clock::time_point> first_ask;  // by pidfd
    for (;;) {
      seccomp_notif request{};
      if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
        if (errno == EINTR || errno == ENOENT) continue;
        return;
      }
      seccomp_notif_resp response{};
      response.id = request.id;
      response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
      struct stat pidfd {};
      if (::fstat(static_cast<int>(request.data.args[0]), &pidfd) == 0) {
        const auto now = std::chrono::steady_clock::now();
        const auto first = first_ask.emplace(pidfd.st_ino, now).first->second;
        if (now - first < late) {
          *reinterpret_cast<std::uint64_t*>(request.data.args[2]) = 0;  // the answer's mask: nothing known
          response.flags = 0;
        }
      }
      ::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
  }).detach();
  return true;
#else
  (void)late;
  return false;
#endif
}

bool statuses_kept(Pidfds offered) {
  if (offered != Pidfds::as_here && offered != Pidfds::no_group_signals) return false;
  static const bool kept = [] {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) ::_exit(7);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ::waitpid(pid, nullptr, 0);
    if (pidfd < 0) return false;
    // PIDFD_GET_INFO's first version, asking for the exit code (PIDFD_INFO_EXIT).
    struct {
      std::uint64_t mask, cgroupid;
      std::uint32_t ids[11];
      std::int32_t exit_code;
    } info{};
    info.mask = 1u << 3;
    const bool got = ::ioctl(pidfd, _IOWR(0xFF, 11, decltype(info)), &info) == 0 && (info.mask & (1u << 3)) &&
                     WIFEXITED(info.exit_code) && WEXITSTATUS(info.exit_code) == 7;
    ::close(pidfd);
    return got;
  }();
  return kept;
}

bool process_ended(pid_t pid) {
  const auto sp = state_and_parent(pid);
  return !sp || sp->first == 'Z' || sp->first == 'X';
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input,
                          const ProcessOptions& options) {
  int in[2], out[2], err[2];
  make_pipe(in), make_pipe(out), make_pipe(err);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (const int fd : options.closed) posix_spawn_file_actions_addclose(&actions, fd);

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const auto eq = kv.find('=');
    env[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) {
    if (v)
      env[k] = *v;
    else
      env.erase(k);
  }
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  pid_t pid = 0;
  // The limit is inherited at the spawn; ours goes back right after.
  rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  if (options.file_size_limit) {
    rlimit lowered = saved;
    lowered.rlim_cur = *options.file_size_limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  if (options.file_size_limit) ::setrlimit(RLIMIT_FSIZE, &saved);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]), ::close(out[1]), ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]), ::close(out[0]), ::close(err[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  ProcessResult result;
  int fd_in = in[1], fd_out = out[0], fd_err = err[0];
  if (options.close_stdout_early) ::close(fd_out), fd_out = -1;
  bool signalled = options.signal == 0;
  std::string seen;  // the end of the child's standard output, searched for signal_after
  if (input.empty() && signalled) ::close(fd_in), fd_in = -1;
  // Our writes must never block: a full pipe to a child that is itself blocked writing its output (which we
  // would read next) would otherwise stall both sides.
  if (fd_in >= 0) ::fcntl(fd_in, F_SETFL, ::fcntl(fd_in, F_GETFL) | O_NONBLOCK);
  std::size_t sent = 0;
  // Our side must not die of SIGPIPE when the child stops reading.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  // Large reads: a child's frame records come through a pipe of a megabyte or more.
  std::vector<char> buffer(std::size_t{1} << 20);
  char* buf = buffer.data();
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  while ((fd_in >= 0 && sent < input.size()) || fd_out >= 0 || fd_err >= 0) {
    if (fd_in >= 0 && sent == input.size() && signalled) ::close(fd_in), fd_in = -1;
    pollfd p[3];
    int n = 0;
    if (fd_in >= 0 && sent < input.size()) p[n++] = {fd_in, POLLOUT, 0};
    if (fd_out >= 0) p[n++] = {fd_out, POLLIN, 0};
    if (fd_err >= 0) p[n++] = {fd_err, POLLIN, 0};
    int wait_ms = -1;
    if (options.sample_memory) {
      result.sampled_peak_kb = std::max(result.sampled_peak_kb, peak_kb_of(pid));
      wait_ms = 5;
    }
    if (options.timeout_seconds > 0) {
      const double left = options.timeout_seconds - std::chrono::duration<double>(Clock::now() - started).count();
      if (left <= 0 && !result.timed_out) {
        ::kill(pid, SIGKILL);
        result.timed_out = true;
      }
      if (!result.timed_out && wait_ms < 0) wait_ms = static_cast<int>(left * 1000) + 1;
    }
    const int ready = ::poll(p, n, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) continue;
    for (int i = 0; i < n; ++i) {
      if (p[i].revents == 0) continue;
      if (p[i].fd == fd_in) {
        const ssize_t w = ::write(fd_in, input.data() + sent, std::min<std::size_t>(input.size() - sent, buffer.size()));
        if (w > 0) sent += static_cast<std::size_t>(w);
        if (w < 0 && errno != EINTR && errno != EAGAIN) sent = input.size();
      } else {
        const ssize_t r = ::read(p[i].fd, buf, buffer.size());
        if (r > 0) {
          const std::string_view got(buf, static_cast<std::size_t>(r));
          if (p[i].fd == fd_out && options.on_out)
            options.on_out(got);
          else
            (p[i].fd == fd_out ? result.out : result.err).append(got);
          if (!signalled && p[i].fd == fd_out) {
            // The new bytes after the few before them that could start a match: each byte is searched once.
            seen.append(got);
            if (seen.find(options.signal_after) != std::string::npos) {
              ::kill(pid, options.signal);
              signalled = true;
            } else if (seen.size() >= options.signal_after.size()) {
              seen.erase(0, seen.size() - (options.signal_after.size() - 1));
            }
          }
        } else if (r == 0 || errno != EINTR) {
          ::close(p[i].fd);
          (p[i].fd == fd_out ? fd_out : fd_err) = -1;
        }
      }
    }
  }
  if (fd_in >= 0) ::close(fd_in);
  ::sigaction(SIGPIPE, &old, nullptr);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.max_rss_kb = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace velmora::testing
