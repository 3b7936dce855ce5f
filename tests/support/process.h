#pragma once
// Running a program as a child process with all three standard streams on pipes, served together (poll), so
// that neither side can block the other.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <thread>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  int signal = 0;   // the signal that ended the child; 0 when it exited
  bool timed_out = false;  // killed (SIGKILL) after ProcessOptions::timeout_seconds
  std::string out;
  std::string err;
  // The child's peak resident memory as the system reports it at the end. A spawned child starts out with its
  // parent's peak, so this says little when the parent itself grew large first: see sampled_peak_kb.
  long max_rss_kb = 0;
  // With ProcessOptions::sample_memory, the child's own peak resident memory (VmHWM) at the last sample taken
  // while it ran (every few milliseconds): it never overstates, and catches any growth that lasts a while.
  long sampled_peak_kb = 0;
};

struct ProcessOptions {
  std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nothing) over the parent's
  bool close_stdout_early = false;  // close our read end of the child's stdout right after the start
  // When set, the child's stdout goes here piece by piece as it arrives, and ProcessResult::out stays empty
  // (for outputs too large to keep).
  std::function<void(std::string_view)> on_out = {};
  // Standard streams (0, 1, 2) the child starts with closed instead of on a pipe.
  std::vector<int> closed = {};
  // The child's file size limit in bytes (RLIMIT_FSIZE), when set.
  std::optional<unsigned long> file_size_limit = {};
  // When set, `signal` goes to the child once its standard output holds `signal_after`; until then its
  // standard input stays open (after `input`), so that the child is still running. Output that goes to
  // on_out is searched too.
  int signal = 0;
  std::string signal_after = {};
  // When positive, a child still running after this many seconds is killed (SIGKILL) and reported as
  // timed out: a test of something that must not hang fails instead of hanging.
  double timeout_seconds = 0;
  // Sample the child's peak memory while it runs (ProcessResult::sampled_peak_kb).
  bool sample_memory = false;
};

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input,
                          const ProcessOptions& options = {});

// The processes that descend from `ancestor` now (its children, theirs, ...), zombies left out, as /proc shows.
std::vector<pid_t> descendants(pid_t ancestor);
// Whether `pid` has ended: no such process, or a zombie.
bool process_ended(pid_t pid);
// An unrelated process with the id `pid`, which an ended process of a test had: a child of ours that leads a
// session (and so a process group) of its own and waits for a signal, given that id through
// /proc/sys/kernel/ns_last_pid. -1 where that cannot be written (it takes root); 0 when other processes kept
// taking the id. The caller ends it (SIGKILL and waitpid). Only for tests that run alone: their suite's name
// ends in "PidReuse" (see velmora_test in cmake/VelmoraTargets.cmake); std::logic_error in any other under CTest.
pid_t newcomer_with_id(pid_t pid);
// The pidfds that an older kernel or a sandbox offers, as refuse_pidfds plays them.
enum class Pidfds {
  as_here,           // what this system offers: nothing is refused
  none,              // no pidfds at all (a sandbox, or a kernel before 5.3): pidfd_open and pidfd_send_signal fail
                     // with ENOSYS, clone with CLONE_PIDFD with EINVAL, clone3 with ENOSYS
  no_group_signals,  // pidfd_send_signal takes no flags, PIDFD_SIGNAL_PROCESS_GROUP among them: EINVAL (before 6.9)
  no_info,           // the PIDFD_GET_INFO ioctl fails with ENOTTY (before 6.13), so no exit status is kept
  as_on_debian_12,   // both of the last two (Linux 6.1)
};
inline constexpr Pidfds OLDER_KERNELS[] = {Pidfds::none, Pidfds::no_group_signals, Pidfds::no_info,
                                           Pidfds::as_on_debian_12};
inline constexpr Pidfds EVERY_KERNEL[] = {Pidfds::as_here, Pidfds::none, Pidfds::no_group_signals, Pidfds::no_info,
                                          Pidfds::as_on_debian_12};
const char* name_of(Pidfds p);
// Makes this process (which must have one thread: a forked test child) a process of a system that offers
// `offered` of pidfds, for this process and every process it starts (a seccomp filter). False where it cannot
// be done (no seccomp filters here).
bool refuse_pidfds(Pidfds offered = Pidfds::none);
// Makes this process (which must have one thread: a forked test child) a process of a system that stores an
// ended child's exit status in its pidfd `late` after the first ask for it (PIDFD_GET_INFO), each ask before
// answering without one, as a kernel does in the moment between a child's end and the storing (a seccomp
// filter whose answers a thread of this process gives). False where it cannot be done.
bool store_statuses_late(std::chrono::milliseconds late);
// Whether a child's exit status outlives its reaping by another (SIGCHLD ignored, the application's own
// reaping), kept in its pidfd (Linux 6.15), where the system offers `offered`.
bool statuses_kept(Pidfds offered);

// The ways an application may deal with children of its own, none of which may take the library's: SIGCHLD at
// its default, ignored (the system reaps every child), SA_NOCLDWAIT (the same), a SIGCHLD handler that reaps
// every child that waitpid(-1) sees (installed without SA_RESTART, so that it interrupts system calls), or a
// thread that does that, as a server that reaps its workers does.
enum class Handling { sigchld_default, sigchld_ignored, no_child_wait, reaping_handler, reaping_thread };
inline constexpr Handling ALL_HANDLINGS[] = {Handling::sigchld_default, Handling::sigchld_ignored,
                                             Handling::no_child_wait, Handling::reaping_handler,
                                             Handling::reaping_thread};
const char* name_of(Handling h);

// One of them for a scope (process-wide: for a test process of its own).
class ApplicationChildren {
 public:
  explicit ApplicationChildren(Handling h);
  ~ApplicationChildren();
  ApplicationChildren(const ApplicationChildren&) = delete;
  ApplicationChildren& operator=(const ApplicationChildren&) = delete;

 private:
  struct sigaction before_ {};
  std::jthread reaper_;
};

// Whether our child `pid` still runs: not ended, by a signal or otherwise.
inline bool still_running(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == 0;
}

// A process id that no process has, now or later: the system's pid_max, one above the highest id it gives
// out, so a test that relies on it staying dead holds whatever other tests do with ids. Where pid_max cannot be
// read, a child's id once it has ended and been reaped.
inline pid_t dead_pid() {
  std::ifstream pid_max("/proc/sys/kernel/pid_max");
  long long max = 0;
  if (pid_max >> max && max > 1 && max <= std::numeric_limits<pid_t>::max()) return static_cast<pid_t>(max);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

}  // namespace velmora::testing
