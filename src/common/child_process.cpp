#include "common/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

// Whether a process that is not a zombie has the process group `pgid`, as /proc shows. A group's id is not
// given to another process while the group has members, so the answer is about this group.
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

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return -1;
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
  child.in_ = std::move(in_w);
  child.out_ = std::move(out_r);
  child.err_ = std::move(err_r);
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      own_group_(o.own_group_),
      status_(std::exchange(o.status_, std::nullopt)),
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
  if (pid_ > 0) {
    signal_group(SIGKILL);
    wait();
  }
}

int ChildProcess::wait() {
  if (status_) return *status_;
  int st = 0;
  while (::waitpid(pid_, &st, 0) < 0) {
    if (errno != EINTR) {
      status_ = -1;
      return *status_;
    }
  }
  status_ = decode_status(st);
  return *status_;
}

std::optional<int> ChildProcess::try_wait() {
  if (status_) return status_;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == 0 || (r < 0 && errno == EINTR)) return std::nullopt;
  status_ = r < 0 ? -1 : decode_status(st);
  return status_;
}

void ChildProcess::kill(int signal) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

void ChildProcess::signal_group(int signal) {
  if (pid_ <= 0) return;
  if (!own_group_) return kill(signal);
  // While the child is unreaped its id stays taken; after that, the group id stays taken while the group has
  // members, and nothing is sent once it has none.
  if (!status_ || ::kill(-pid_, 0) == 0) ::kill(-pid_, signal);
}

bool ChildProcess::group_running() {
  if (pid_ <= 0) return false;
  if (!try_wait()) return true;
  return own_group_ && ::kill(-pid_, 0) == 0 && live_member_of(pid_);
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
