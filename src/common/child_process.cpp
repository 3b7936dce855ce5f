#include "common/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

extern char** environ;

namespace velmora {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// A close-on-exec pipe whose two ends are above the standard descriptors, so that the child's dup2 onto
// 0, 1 or 2 always makes a fresh, inheritable descriptor.
void make_pipe(Fd& read_end, Fd& write_end) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) fail(errno, "pipe");
  Fd ends[2] = {Fd(p[0]), Fd(p[1])};
  for (auto& e : ends) {
    if (e.get() <= 2) {
      const int moved = ::fcntl(e.get(), F_DUPFD_CLOEXEC, 3);
      if (moved < 0) fail(errno, "fcntl");
      e = Fd(moved);
    }
  }
  read_end = std::move(ends[0]);
  write_end = std::move(ends[1]);
}

struct SpawnSettings {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
};

// Whether a process that is not a zombie has the process group `pgid`, as /proc shows. Asked only while the
// group's leader is unreaped, which keeps the id from being given to another process.
bool live_member_of(pid_t pgid) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name[0] < '0' || name[0] > '9') continue;
    char stat[512];
    FILE* f = std::fopen((entry.path() / "stat").c_str(), "re");
    if (!f) continue;  // ended meanwhile
    const std::size_t n = std::fread(stat, 1, sizeof stat - 1, f);
    std::fclose(f);
    // "pid (comm) state ppid pgrp ...": the name may hold blanks and parentheses, so fields count from the last ')'.
    const std::string_view text(stat, n);
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos || close + 4 > text.size()) continue;
    const char state = text[close + 2];
    std::string_view rest = text.substr(close + 4);  // "ppid pgrp ..."
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) continue;
    rest.remove_prefix(blank + 1);
    pid_t group = 0;
    if (std::from_chars(rest.data(), rest.data() + rest.size(), group).ec != std::errc()) continue;
    if (group == pgid && state != 'Z' && state != 'X') return true;
  }
  return false;
}

// The exit status in `info` (from waitid), or minus the signal number that ended the child.
int status_of(const siginfo_t& info) { return info.si_code == CLD_EXITED ? info.si_status : -info.si_status; }

// Whether the system reaps this process's children as they end (SIGCHLD ignored, or SA_NOCLDWAIT), so that an
// ended child leaves no zombie to hold its id. Asked at each use: the application may change it at any time.
bool system_reaps_children() {
  struct sigaction now {};
  if (::sigaction(SIGCHLD, nullptr, &now) != 0) return true;  // unknown: no hold is counted on
  return now.sa_handler == SIG_IGN || (now.sa_flags & SA_NOCLDWAIT) != 0;
}


}  // namespace

Fd::Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    reset();
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool pid_alive(long long pid) {
  if (pid < 0 || pid > INT_MAX) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno != ESRCH;
}

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, ChildStreams streams) {
  if (argv.empty()) fail(EINVAL, "spawn");
  Fd in_r, in_w, out_r, out_w, err_r, err_w;
  if (streams.pipe_stdin) make_pipe(in_r, in_w);
  make_pipe(out_r, out_w);
  if (streams.pipe_stderr) make_pipe(err_r, err_w);

  SpawnSettings s;
  if (streams.pipe_stdin) {
    posix_spawn_file_actions_adddup2(&s.actions, in_r.get(), 0);
  } else {
    posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&s.actions, out_w.get(), 1);
  if (streams.pipe_stderr) posix_spawn_file_actions_adddup2(&s.actions, err_w.get(), 2);
  // The child starts with default handling of the signals a host program commonly ignores, and no mask.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&s.attr, &defaults);
  posix_spawnattr_setsigmask(&s.attr, &empty);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (streams.own_process_group) {
    posix_spawnattr_setpgroup(&s.attr, 0);  // a group named after the child
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&s.attr, flags);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ChildProcess child;
  child.own_group_ = streams.own_process_group;
  const int rc = ::posix_spawnp(&child.pid_, args[0], &s.actions, &s.attr, args.data(), environ);
  if (rc != 0) {
    child.pid_ = -1;
    fail(rc, "could not start " + argv[0]);
  }
  // A pidfd for the child (close-on-exec). A child that ended at once where the system reaps children is gone
  // already, and its id may be another process's: no pidfd is made for it, or the pidfd names a process that
  // is not our child, which waitid on a pidfd tells. Such a child counts as reaped.
  child.pidfd_ = Fd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid_, 0)));
  siginfo_t info{};
  if (child.pidfd_.ok() ? ::waitid(P_PIDFD, static_cast<id_t>(child.pidfd_.get()), &info,
                                   WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD
                        : errno == ESRCH) {
    child.pidfd_.reset();
    child.reaped_ = true;
    child.status_ = -1;
  }
  child.in_ = std::move(in_w);
  child.out_ = std::move(out_r);
  child.err_ = std::move(err_r);
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      own_group_(o.own_group_),
      reaped_(o.reaped_),
      status_(std::exchange(o.status_, std::nullopt)),
      pidfd_(std::move(o.pidfd_)),
      in_(std::move(o.in_)),
      out_(std::move(o.out_)),
      err_(std::move(o.err_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
  if (this != &o) {
    this->~ChildProcess();
    new (this) ChildProcess(std::move(o));
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  in_.reset();
  out_.reset();
  err_.reset();
  if (pid_ > 0 && !reaped_) {
    signal_group(SIGKILL);
    wait();
  }
}

// waitid for the child, through the pidfd where there is one, which no other process's id can answer for
// (where the system reaps children, our next child may have this one's id). False when the child has been
// reaped, by another or by the system as it ended: its id is no longer ours, and it is counted as reaped.
bool ChildProcess::wait_for(int options) {
  siginfo_t info{};
  const idtype_t by = pidfd_.ok() ? P_PIDFD : P_PID;
  const auto id = static_cast<id_t>(pidfd_.ok() ? pidfd_.get() : pid_);
  int rc;
  while ((rc = ::waitid(by, id, &info, WEXITED | options)) != 0 && errno == EINTR) {
  }
  if (rc == 0 && info.si_pid == pid_) status_ = status_of(info);
  if (rc == 0 && (options & WNOWAIT)) return true;
  reaped_ = true;
  if (!status_) status_ = -1;
  pidfd_.reset();
  return rc == 0;
}

bool ChildProcess::held() {
  // Asked each time, as an application's own reaping of every child (waitpid(-1)) may take it at any moment.
  return pid_ > 0 && !reaped_ && wait_for(WNOHANG | WNOWAIT);  // running, or ended and a zombie until wait()
}

int ChildProcess::wait() {
  if (pid_ <= 0) return -1;
  if (!reaped_) wait_for(0);
  return *status_;
}

std::optional<int> ChildProcess::try_wait() {
  held();
  return status_;
}

void ChildProcess::kill(int signal) {
  // Through the pidfd where there is one: it names the child itself even where its id could be given away.
  if (pidfd_.ok()) {
    if (::syscall(SYS_pidfd_send_signal, pidfd_.get(), signal, nullptr, 0) == 0 || errno != ENOSYS) return;
  }
  if (held() && !system_reaps_children()) ::kill(pid_, signal);
}

void ChildProcess::signal_group(int signal) {
  if (!own_group_ || system_reaps_children()) return kill(signal);
  // The group's id is the child's, which is ours while the child is unreaped, whatever the group holds.
  if (held()) ::kill(-pid_, signal);
}

bool ChildProcess::group_running() {
  if (!held()) return false;
  if (!status_) return true;
  return own_group_ && live_member_of(pid_);
}

long write_nosignal(int fd, const void* data, std::size_t size) {
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  sigset_t pending_before;
  sigpending(&pending_before);
  const bool was_pending = sigismember(&pending_before, SIGPIPE) == 1;
  const ssize_t n = ::write(fd, data, size);
  const int error = errno;
  // The SIGPIPE this write raised is taken back, so it never reaches the process once the mask is restored;
  // one that was pending before belongs to someone else and stays.
  if (n < 0 && error == EPIPE && !was_pending) {
    const timespec zero{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return static_cast<long>(n);
}

void set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) fail(errno, "fcntl");
}

}  // namespace velmora
