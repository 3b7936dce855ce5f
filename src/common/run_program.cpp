#include "common/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

extern char** environ;

namespace velmora {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

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

int wait_status(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return -1;
}

}  // namespace

ProgramResult run_captured(const std::vector<std::string>& argv) {
  if (argv.empty()) fail(EINVAL, "run_captured");
  Fd out_r, out_w, err_r, err_w;
  make_pipe(out_r, out_w);
  make_pipe(err_r, err_w);

  SpawnSettings s;
  posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&s.actions, out_w.get(), 1);
  posix_spawn_file_actions_adddup2(&s.actions, err_w.get(), 2);
  // The child starts with default handling of the signals a host program commonly ignores, and no mask.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&s.attr, &defaults);
  posix_spawnattr_setsigmask(&s.attr, &empty);
  posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &s.actions, &s.attr, args.data(), environ);
  if (rc != 0) fail(rc, "could not start " + argv[0]);
  out_w.reset();
  err_w.reset();

  ProgramResult result;
  int read_error = 0;
  char buf[65536];
  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      read_error = errno;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) read_error = errno;
        fds[i].fd = -1;  // poll skips negative descriptors
        --open_pipes;
        continue;
      }
      if (i == 0) result.out.insert(result.out.end(), buf, buf + n);
      else result.err.append(buf, static_cast<std::size_t>(n));
    }
  }
  out_r.reset();
  err_r.reset();  // a child still writing gets EPIPE and ends; it is reaped either way
  result.status = wait_status(pid);
  if (read_error != 0) fail(read_error, "reading the output of " + argv[0]);
  return result;
}

}  // namespace velmora
