#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

// pidfd_send_signal's flag for the process group the pidfd's process leads (Linux 6.9).
constexpr unsigned PIDFD_SIGNAL_PROCESS_GROUP = 1u << 2;
constexpr auto EXIT_POLL = std::chrono::milliseconds(2);
// How long a pidfd that has no exit status yet is asked again, and how often: the system stores the status a
// moment after it shows the process ended (its pidfd readable, waitid's ECHILD where another reaps it).
constexpr auto KEPT_STATUS_WAIT = std::chrono::milliseconds(100);
constexpr auto KEPT_STATUS_POLL = std::chrono::milliseconds(1);
constexpr double LONGEST_WAIT_S = 1e9;

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// `seconds` from now; now for 0 or less, or NaN.
Clock::time_point after(double seconds) {
  if (!(seconds > 0)) return Clock::now();
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::min(seconds, LONGEST_WAIT_S)));
}

// The descriptors to our children (pipe ends, pidfds), which a copy of this process made by fork() must not
// keep: at the fork they are replaced by /dev/null in the copy. Changes to the list, and the making of a child,
// hold the lock, which fork() takes first, so no descriptor reaches a copy unlisted.
class ForkGuard {
 public:
  static ForkGuard& get() {
    static ForkGuard* guard = [] {
      auto* g = new ForkGuard;  // never freed: a fork may come at any time until the process ends
      ::pthread_atfork([] { get().m_.lock(); }, [] { get().m_.unlock(); }, [] { get().in_forked_copy(); });
      return g;
    }();
    return *guard;
  }

  std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(m_); }
  // Both under hold().
  void add(int fd) {
    if (fd >= 0) fds_.push_back(fd);
  }
  void close(int fd) {
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
    ::close(fd);
  }

 private:
  // In the forked copy, which has one thread: the lock is the forking thread's, taken before the fork.
  void in_forked_copy() {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd : fds_) {
      if (null < 0 || ::dup3(null, fd, O_CLOEXEC) < 0) ::close(fd);
    }
    if (null >= 0) ::close(null);
    m_.unlock();
  }

  std::mutex m_;
  std::vector<int> fds_;
};

// A close-on-exec pipe whose two ends are above the standard descriptors, so that the child's dup onto
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

// The files to try for `name`, as execvp would: the name itself when it holds a "/", else each folder of PATH
// (an empty entry is the working folder).
std::vector<std::string> candidates(const std::string& name) {
  if (name.find('/') != std::string::npos) return {name};
  const char* path = std::getenv("PATH");
  const std::string_view folders = path ? path : "/bin:/usr/bin";
  std::vector<std::string> out;
  for (std::size_t at = 0;;) {
    const std::size_t colon = std::min(folders.find(':', at), folders.size());
    const std::string_view folder = folders.substr(at, colon - at);
    out.push_back((folder.empty() ? std::string(".") : std::string(folder)) + "/" + name);
    if (colon == folders.size()) return out;
    at = colon + 1;
  }
}

// The signal action as the kernel takes it.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

// What the new child needs, made ready before it is cloned; it shares our memory until it runs the program.
struct Launch {
  const char* const* files;  // to try in turn
  std::size_t file_count;
  char* const* argv;
  char* const* envp;
  int in = -1;   // onto 0; -1: /dev/null
  int out = -1;  // onto 1
  int err = -1;  // onto 2; -1: ours stays
  bool own_group = false;
  int error = 0;  // set by the child when it could not run the program
};

// The child, on a stack of its own in our memory while the parent waits (CLONE_VFORK): system calls only, no
// library state touched. Signals arrive blocked; each one that has a handler gets the default action first, so
// that no handler of ours runs in the child, then the mask is emptied and the program run.
__attribute__((no_sanitize("address", "undefined"), noinline)) int launch_child(void* arg) {
  auto* l = static_cast<Launch*>(arg);
  for (int sig = 1; sig < 65; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction now{};
    if (::syscall(SYS_rt_sigaction, sig, nullptr, &now, sizeof now.mask) != 0) continue;
    const bool defaulted = sig == SIGPIPE || sig == SIGXFSZ || sig == SIGCHLD;
    if (!defaulted && (now.handler == SIG_DFL || now.handler == SIG_IGN)) continue;
    KernelSigaction dfl{};
    dfl.handler = SIG_DFL;
    ::syscall(SYS_rt_sigaction, sig, &dfl, nullptr, sizeof dfl.mask);
  }
  if (l->own_group && ::syscall(SYS_setpgid, 0, 0) != 0) {
    l->error = errno;
    ::syscall(SYS_exit_group, 127);
  }
  int in = l->in;
  if (in < 0) in = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
  const int moves[3][2] = {{in, 0}, {l->out, 1}, {l->err, 2}};
  for (const auto& m : moves) {
    if (m[0] >= 0 && ::syscall(SYS_dup3, m[0], m[1], 0) < 0) {
      l->error = errno;
      ::syscall(SYS_exit_group, 127);
    }
  }
  const unsigned long none = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
  int error = ENOENT;
  bool denied = false;
  for (std::size_t i = 0; i < l->file_count; ++i) {
    ::syscall(SYS_execve, l->files[i], l->argv, l->envp);
    error = errno;
    if (error == EACCES) denied = true;
    else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT) break;
  }
  l->error = denied && error != ENOEXEC ? EACCES : error;
  ::syscall(SYS_exit_group, 127);
  return 127;
}

// Clones the child, its pidfd made with it where the system has CLONE_PIDFD (and so naming it, whatever
// happens to it at once).
pid_t clone_child(Launch& launch, Fd& pidfd) {
  constexpr std::size_t STACK = 64 * 1024;
  void* stack = ::mmap(nullptr, STACK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) fail(errno, "mmap");
  void* top = static_cast<char*>(stack) + STACK;
  sigset_t all, before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  int fd = -1;
  pid_t pid = ::clone(launch_child, top, CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, &launch, &fd);
  int error = errno;
  if (pid < 0 && error == EINVAL) {  // a kernel without CLONE_PIDFD
    fd = -1;
    pid = ::clone(launch_child, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &launch);
    error = errno;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::munmap(stack, STACK);
  if (pid < 0) fail(error, "clone");
  // Without CLONE_PIDFD: a pidfd made now, where the system has them. A child that ended at once where the
  // system reaps children is gone already, and its id may be another process's: the pidfd then names a process
  // that is not our child, which waitid on it tells, and is dropped.
  if (fd < 0) {
    fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    siginfo_t info{};
    if (fd >= 0 && ::waitid(P_PIDFD, static_cast<id_t>(fd), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  pidfd = Fd(fd);
  return pid;
}

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

// What PIDFD_GET_INFO tells of a process (Linux 6.13; the exit code since 6.15), its first version.
struct PidfdInfo {
  std::uint64_t mask;
  std::uint64_t cgroupid;
  std::uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  std::int32_t exit_code;  // as wait() gives it
};
constexpr unsigned long PIDFD_GET_INFO = _IOWR(0xFF, 11, PidfdInfo);
constexpr std::uint64_t PIDFD_INFO_EXIT = 1u << 3;

// The status of an ended process as its pidfd keeps it, also once another has reaped it (Linux 6.15). The
// system stores it a moment after the process is seen to have ended, so a pidfd that answers without it is
// asked again, for KEPT_STATUS_WAIT at most. Nothing where the system does not keep it: no pidfd, no
// PIDFD_GET_INFO (ENOTTY or EINVAL, before 6.13), or one that knows no exit status (ESRCH once the process has
// gone, before 6.15).
std::optional<int> kept_status(int pidfd) {
  if (pidfd < 0) return std::nullopt;
  const auto until = Clock::now() + KEPT_STATUS_WAIT;
  for (;;) {
    PidfdInfo info{};
    info.mask = PIDFD_INFO_EXIT;
    if (::ioctl(pidfd, PIDFD_GET_INFO, &info) != 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (info.mask & PIDFD_INFO_EXIT) {
      if (WIFEXITED(info.exit_code)) return WEXITSTATUS(info.exit_code);
      if (WIFSIGNALED(info.exit_code)) return -WTERMSIG(info.exit_code);
      return std::nullopt;
    }
    if (Clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(KEPT_STATUS_POLL);
  }
}

// Whether this process leaves its ended children to us alone: SIGCHLD at its default, without SA_NOCLDWAIT.
// Where it is ignored or SA_NOCLDWAIT is set the system reaps them as they end, and a handler may reap them
// (waitpid(-1)), so that an ended child's id may be given away at any moment. Asked at each use: the
// application may change it at any time. A thread that reaps every child cannot be seen here.
bool children_left_to_us() {
  struct sigaction now {};
  if (::sigaction(SIGCHLD, nullptr, &now) != 0) return false;  // unknown: no hold is counted on
  return now.sa_handler == SIG_DFL && (now.sa_flags & SA_NOCLDWAIT) == 0;
}

int send_through(int pidfd, int signal, unsigned flags) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, flags));
}

}  // namespace

std::string status_text(int status) {
  if (status == STATUS_UNKNOWN) return "ended with an exit status that could not be known";
  return status < 0 ? "was killed by signal " + std::to_string(-status) : "exited with status " + std::to_string(status);
}

bool pid_alive(long long pid) {
  if (pid < 0 || pid > INT_MAX) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno != ESRCH;
}

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, ChildStreams streams) {
  if (argv.empty()) fail(EINVAL, "spawn");
  if (argv[0].empty()) fail(ENOENT, "could not start " + argv[0]);
  const std::vector<std::string> files = candidates(argv[0]);
  std::vector<const char*> file_ptrs;
  for (const auto& f : files) file_ptrs.push_back(f.c_str());
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // Made before the lock is taken, so that a child that fails to start goes after the lock is given back.
  ChildProcess child;
  child.own_group_ = streams.own_process_group;
  child.owner_ = ::getpid();
  ForkGuard& guard = ForkGuard::get();
  const std::unique_lock<std::mutex> lock = guard.hold();
  Fd in_r, in_w, out_r, out_w, err_r, err_w;
  if (streams.pipe_stdin) make_pipe(in_r, in_w);
  make_pipe(out_r, out_w);
  if (streams.pipe_stderr) make_pipe(err_r, err_w);
  // The caller's descriptor for its standard input, moved above the standard ones like a pipe's end.
  Fd stdin_copy;
  int in = in_r.get();
  if (!streams.pipe_stdin && streams.stdin_fd >= 0) {
    in = streams.stdin_fd;
    if (in <= 2) {
      stdin_copy = Fd(::fcntl(in, F_DUPFD_CLOEXEC, 3));
      if (!stdin_copy.ok()) fail(errno, "fcntl");
      in = stdin_copy.get();
    }
  }
  Launch launch{file_ptrs.data(), file_ptrs.size(), args.data(), environ};
  launch.in = in;
  launch.out = out_w.get();
  launch.err = err_w.get();
  launch.own_group = streams.own_process_group;
  child.pid_ = clone_child(launch, child.pidfd_);
  if (launch.error != 0) {
    // It ended at once, and only we can reap it.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child.pid_), &info, WEXITED) != 0 && errno == EINTR) {
    }
    child.pid_ = -1;
    child.pidfd_.reset();  // never listed
    fail(launch.error, "could not start " + argv[0]);
  }
  child.in_ = std::move(in_w);
  child.out_ = std::move(out_r);
  child.err_ = std::move(err_r);
  for (const Fd* fd : {&child.in_, &child.out_, &child.err_, &child.pidfd_}) guard.add(fd->get());
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      owner_(o.owner_),
      own_group_(o.own_group_),
      reaped_(o.reaped_),
      taken_(o.taken_),
      left_(o.left_),
      status_(std::exchange(o.status_, std::nullopt)),
      pidfd_(std::move(o.pidfd_)),
      in_(std::move(o.in_)),
      out_(std::move(o.out_)),
      err_(std::move(o.err_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
  ChildProcess taken(std::move(o));
  // Our child, if any, leaves with `taken` and is ended there.
  std::swap(pid_, taken.pid_);
  std::swap(owner_, taken.owner_);
  std::swap(own_group_, taken.own_group_);
  std::swap(reaped_, taken.reaped_);
  std::swap(taken_, taken.taken_);
  std::swap(left_, taken.left_);
  std::swap(status_, taken.status_);
  std::swap(pidfd_, taken.pidfd_);
  std::swap(in_, taken.in_);
  std::swap(out_, taken.out_);
  std::swap(err_, taken.err_);
  return *this;
}

ChildProcess::~ChildProcess() {
  drop(in_);
  drop(out_);
  drop(err_);
  if (pid_ > 0 && !reaped_ && !left_ && ours()) {
    const bool sent = signal_group(SIGKILL);
    if (group_gone_by(after(sent ? EndWaits{}.kill_s : 0), {})) wait();
  }
  drop(pidfd_);
}

void ChildProcess::drop(Fd& fd) {
  if (!fd.ok()) return;
  ForkGuard& guard = ForkGuard::get();
  const std::unique_lock<std::mutex> lock = guard.hold();
  guard.close(fd.release());
}

bool ChildProcess::ours() const { return owner_ == ::getpid(); }

// waitid for the child, through the pidfd where there is one. False when another has reaped it (the system,
// where SIGCHLD is ignored, or the application): its id is not ours any more, and its status is what its pidfd
// kept, if anything.
bool ChildProcess::wait_for(int options) {
  siginfo_t info{};
  const idtype_t by = pidfd_.ok() ? P_PIDFD : P_PID;
  const auto id = static_cast<id_t>(pidfd_.ok() ? pidfd_.get() : pid_);
  int rc;
  while ((rc = ::waitid(by, id, &info, WEXITED | options)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    taken_ = true;
    ask_kept_status();
    return false;
  }
  if (info.si_pid == pid_) status_ = status_of(info);
  if (!(options & WNOWAIT)) {
    reaped_ = true;
    drop(pidfd_);
  }
  return true;
}

bool ChildProcess::held() { return pid_ > 0 && !reaped_ && !taken_ && ours() && wait_for(WNOHANG | WNOWAIT); }

// Never recorded as unknown: a later ask may still find what the system had not stored yet.
void ChildProcess::ask_kept_status() {
  if (!status_) status_ = kept_status(pidfd_.get());
}

bool ChildProcess::ended() const { return status_.has_value() || taken_; }

int ChildProcess::wait() {
  if (pid_ <= 0 || !ours()) return STATUS_UNKNOWN;
  if (taken_) ask_kept_status();
  else if (!reaped_ && !left_) wait_for(0);
  return status_.value_or(STATUS_UNKNOWN);
}

std::optional<int> ChildProcess::try_wait() {
  if (!ours()) return STATUS_UNKNOWN;
  if (taken_) ask_kept_status();
  else held();
  if (status_) return status_;
  if (taken_) return STATUS_UNKNOWN;
  return std::nullopt;
}

bool ChildProcess::kill(int signal) {
  if (!ours() || reaped_) return false;
  // Through the pidfd where there is one: it names the child itself and no other process, ever.
  if (pidfd_.ok() && (send_through(pidfd_.get(), signal, 0) == 0 || errno != ENOSYS)) return true;
  // By its id only while a look shows it unreaped, and only where nothing but us reaps it.
  if (!held() || !children_left_to_us()) return false;
  ::kill(pid_, signal);
  return true;
}

bool ChildProcess::signal_group(int signal) {
  if (!own_group_) return kill(signal);
  if (!ours() || reaped_) return false;
  // Through the leader's pidfd where the system can: it reaches that group alone, also once another has reaped
  // the leader, and never a group that got the id since.
  if (pidfd_.ok()) {
    if (send_through(pidfd_.get(), signal, PIDFD_SIGNAL_PROCESS_GROUP) == 0 || errno == ESRCH) return true;
    if (errno == EINVAL) {
      // A system before group signals through pidfds (Linux 6.9): the whole group by its id where that is
      // safe, else the leader alone, through its pidfd, which always is.
      if (signal_group_by_id(signal)) return true;
      return send_through(pidfd_.get(), signal, 0) == 0 || errno == ESRCH;
    }
    // ENOSYS: no pidfds after all; by the group's id, below.
  }
  return signal_group_by_id(signal);
}

// The group's id is the child's, which is ours while the child is unreaped and only we reap it: looked at just
// before, as the application may reap it at any moment where SIGCHLD is not at its default.
bool ChildProcess::signal_group_by_id(int signal) {
  if (!held() || !children_left_to_us()) return false;
  ::kill(-pid_, signal);
  return true;
}

bool ChildProcess::group_running() {
  if (pid_ <= 0 || reaped_ || !ours()) return false;
  if (held()) return !status_ || (own_group_ && live_member_of(pid_));
  // Reaped by another: what is left of its group is seen through its pidfd alone, which holds the group's id
  // while any of them (a zombie too) is left.
  if (!own_group_ || !pidfd_.ok() || send_through(pidfd_.get(), 0, PIDFD_SIGNAL_PROCESS_GROUP) != 0) return false;
  return live_member_of(pid_);
}

bool ChildProcess::discard_output(Clock::time_point until) {
  pollfd fds[2];
  nfds_t n = 0;
  for (const Fd* fd : {&out_, &err_}) {
    if (fd->ok()) fds[n++] = {fd->get(), POLLIN, 0};
  }
  if (n == 0) return false;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  if (::poll(fds, n, static_cast<int>(std::clamp<long long>(left, 0, 1 << 30))) <= 0) return true;
  char buf[65536];
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) drop(fds[i].fd == out_.get() ? out_ : err_);
  }
  return out_.ok() || err_.ok();
}

bool ChildProcess::group_gone_by(Clock::time_point until, const ServePipes& serve) {
  for (;;) {
    if (!group_running()) return true;
    const auto now = Clock::now();
    if (now >= until) return false;
    const auto step = std::min(until, now + EXIT_POLL);
    if (!(serve ? serve(step) : discard_output(step))) std::this_thread::sleep_until(step);
  }
}

Ending ChildProcess::end(const EndWaits& waits, const ServePipes& serve) {
  if (!ours()) {
    for (Fd* fd : {&in_, &out_, &err_, &pidfd_}) drop(*fd);
    return Ending::not_ours;
  }
  close_in();
  if (pid_ <= 0 || reaped_) return Ending::itself;
  if (left_) return Ending::left_running;
  Ending how = Ending::itself;
  if (!group_gone_by(after(waits.self_s), serve)) {
    // The child itself may have ended already, and only processes it left in its group need the signals.
    const bool child_ended = ended();
    how = child_ended ? Ending::itself : Ending::sigterm;
    signal_group(SIGCONT);  // a stopped process takes SIGTERM only once it runs
    const bool sent = signal_group(SIGTERM);
    if (!group_gone_by(after(waits.term_s), serve)) {
      if (!sent) {  // no signal can reach it safely: it is left, not waited for
        left_ = true;
        return Ending::unsignalled;
      }
      if (!child_ended) how = Ending::sigkill;
      signal_group(SIGKILL);
      if (!group_gone_by(after(waits.kill_s), serve)) {
        left_ = true;
        return Ending::left_running;
      }
    }
  }
  // What the group wrote is in its pipes by now; only a process outside it could hold them open longer.
  const Clock::time_point until = after(waits.pipes_s);
  while (Clock::now() < until && (serve ? serve(until) : discard_output(until))) {
  }
  wait();
  return how;
}

}  // namespace velmora
