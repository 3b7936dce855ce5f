#include "common/child_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "common/fd.h"
#include "common/run_captured.h"
#include "support/older_kernel.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velmora {
namespace {

// SIGCHLD's handling for a scope: ignored means that the system reaps every child as it ends.
class ScopedSigchld {
 public:
  explicit ScopedSigchld(bool ignored) {
    struct sigaction now {};
    now.sa_handler = ignored ? SIG_IGN : SIG_DFL;
    sigemptyset(&now.sa_mask);
    ::sigaction(SIGCHLD, &now, &before_);
  }
  ~ScopedSigchld() { ::sigaction(SIGCHLD, &before_, nullptr); }
  ScopedSigchld(const ScopedSigchld&) = delete;
  ScopedSigchld& operator=(const ScopedSigchld&) = delete;

 private:
  struct sigaction before_ {};
};

// A child that leads its own group has ended; once its id is free (reaped by wait(), or at once by the system
// where SIGCHLD is ignored), an unrelated process that leads a group under that id is neither signalled nor
// counted, by any call, the destructor's SIGKILL included. Until wait(), an ended child's id stays taken.
TEST(ChildProcessPidReuse, AnEndedChildsIdGivenToAnotherProcessIsNeverSignalled) {
  for (const bool system_reaps : {false, true}) {
    SCOPED_TRACE(system_reaps ? "SIGCHLD ignored" : "SIGCHLD default");
    const ScopedSigchld sigchld(system_reaps);
    std::optional<ChildProcess> child(ChildProcess::spawn({"/bin/true"}, {.own_process_group = true}));
    const pid_t pid = child->pid();
    while (!testing::process_ended(pid) || (system_reaps && ::kill(pid, 0) == 0)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!system_reaps) {
      EXPECT_EQ(child->try_wait(), 0);
      EXPECT_FALSE(child->group_running());
      EXPECT_EQ(::kill(pid, 0), 0);  // a zombie still: its id cannot be given away
      EXPECT_EQ(child->wait(), 0);
    }
    const pid_t newcomer = testing::newcomer_with_id(pid);
    if (newcomer < 0) GTEST_SKIP() << "giving a process a chosen id takes root (/proc/sys/kernel/ns_last_pid)";
    ASSERT_EQ(newcomer, pid) << "other processes kept taking the id";
    EXPECT_FALSE(child->group_running());
    child->signal_group(SIGTERM);
    child->kill(SIGTERM);
    child.reset();
    EXPECT_TRUE(testing::still_running(newcomer));
    ::kill(newcomer, SIGKILL);
    ::waitpid(newcomer, nullptr, 0);
  }
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Our children's statuses and output come through whatever the application does with its own children.
TEST(ChildProcess, AnApplicationsOwnHandlingOfChildrenNeverTakesAChildsStatus) {
  for (const testing::Handling h : testing::ALL_HANDLINGS) {
    SCOPED_TRACE(testing::name_of(h));
    const testing::ApplicationChildren app(h);
    for (int round = 0; round < 20; ++round) {
      const ProgramResult r = run_captured({"/bin/sh", "-c", "printf out; printf err >&2; exit 3"});
      ASSERT_EQ(r.status, 3);
      ASSERT_EQ(std::string(r.out.begin(), r.out.end()), "out");
      ASSERT_EQ(r.err, "err");
    }
    ChildProcess sleeper = ChildProcess::spawn({"/bin/sleep", "10"}, {.own_process_group = true});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sleeper.try_wait(), std::nullopt);
    sleeper.signal_group(SIGTERM);
    EXPECT_EQ(sleeper.wait(), -SIGTERM);
  }
}

// The child's next line of standard output; nothing at its end or after 5 s.
std::optional<std::string> read_line(const ChildProcess& child) {
  std::string got;
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < until) {
    pollfd p{child.out(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    if (::read(child.out(), &c, 1) != 1) return std::nullopt;
    if (c == '\n') return got;
    got += c;
  }
  return std::nullopt;
}

// Lines of the child's standard output until `line` comes.
bool wait_for_line(const ChildProcess& child, const std::string& line) {
  while (const std::optional<std::string> got = read_line(child)) {
    if (*got == line) return true;
  }
  return false;
}

std::string text_of(const std::filesystem::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t pid_in(const std::filesystem::path& file) {
  pid_t pid = -1;
  std::ifstream(file) >> pid;
  return pid;
}

// Why a program cannot start comes out as the errno of the failure, for a path and for a name on PATH.
TEST(ChildProcess, SpawnSaysWhyAProgramCannotStart) {
  testing::TempDir dir;
  const std::string plain = dir.write("not-a-program", "just text\n");
  const testing::ScopedEnv path("PATH", dir.str());
  const struct {
    std::string program;
    int error;
  } cases[] = {
      {"/no/such/program", ENOENT}, {"no-such-program", ENOENT}, {plain, EACCES},
      {"not-a-program", EACCES},    {dir.str(), EACCES},         {"", ENOENT},
  };
  for (const auto& c : cases) {
    try {
      ChildProcess::spawn({c.program});
      ADD_FAILURE() << c.program << " started";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), c.error) << c.program << ": " << e.what();
    }
  }
  EXPECT_TRUE(testing::descendants(::getpid()).empty());
}

// A member that the leader leaves behind keeps the group running after the leader's end, until it is ended
// through the group; the leader, a zombie meanwhile, is reaped only then.
TEST(ChildProcess, AMemberLeftByItsLeaderKeepsTheGroupRunningUntilItEnds) {
  testing::TempDir dir;
  const auto member = dir.path() / "member";
  ChildProcess child = ChildProcess::spawn(
      {"/bin/sh", "-c", "sleep 30 & echo $! > " + member.string() + ".new; mv " + member.string() + ".new " +
                            member.string()},
      {.own_process_group = true});
  while (!child.try_wait()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(child.try_wait(), 0);
  EXPECT_TRUE(child.group_running());
  EXPECT_EQ(::kill(child.pid(), 0), 0);  // a zombie: its id and its group's stay taken
  EXPECT_TRUE(child.signal_group(SIGTERM));
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (child.group_running() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(child.group_running());
  EXPECT_TRUE(testing::process_ended(pid_in(member)));
  EXPECT_EQ(child.wait(), 0);
}

// Destroying a ChildProcess whose child runs ends the child and its group at once and reaps it.
TEST(ChildProcess, DestroyingALiveChildEndsItsGroupAndReapsIt) {
  testing::TempDir dir;
  const auto member = dir.path() / "member";
  pid_t leader = -1;
  {
    ChildProcess child = ChildProcess::spawn(
        {"/bin/sh", "-c", "trap '' TERM; sleep 30 & echo $! > " + member.string() + ".new; mv " + member.string() +
                              ".new " + member.string() + "; wait"},
        {.own_process_group = true});
    leader = child.pid();
    while (!std::filesystem::exists(member)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(::kill(leader, 0), -1);  // reaped: no zombie holds the id
  EXPECT_TRUE(testing::process_ended(pid_in(member)));
}

// A leader that cleans up on SIGTERM and a member that ignores it, running or stopped: end() gives the
// clean-up its time, kills what is left, and leaves no process, within its waits.
TEST(ChildProcess, EndGivesTheGroupTimeForItsCleanUpThenKillsWhatIsLeft) {
  for (const bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped group" : "running group");
    testing::TempDir dir;
    const auto cleaned = dir.path() / "cleaned", member = dir.path() / "member";
    ChildProcess child = ChildProcess::spawn(
        {"/bin/sh", "-c",
         "trap 'echo yes > " + cleaned.string() + "; exit 0' TERM\n"
         "/bin/sh -c 'trap \"\" TERM; echo $$ > " + member.string() + ".new; mv " + member.string() + ".new " +
             member.string() + "; exec sleep 30' &\n"
         "while [ ! -e " + member.string() + " ]; do sleep 0.01; done\necho ready\n"
         "while :; do sleep 1 & wait $!; done\n"},
        {.own_process_group = true});
    ASSERT_TRUE(wait_for_line(child, "ready"));
    if (stopped) {
      ASSERT_EQ(::kill(-child.pid(), SIGSTOP), 0);
    }
    const auto start = Clock::now();
    EXPECT_EQ(child.end({.term_s = 0.5, .kill_s = 1.0}), Ending::sigkill);
    EXPECT_LT(seconds_since(start), 3.0);
    EXPECT_EQ(child.wait(), 0);  // the leader's own clean-up ended it
    EXPECT_EQ(text_of(cleaned), "yes\n");
    EXPECT_TRUE(testing::process_ended(pid_in(member)));
    EXPECT_EQ(child.end({}), Ending::itself);  // once ended, it stays ended
  }
}

// A helper that left the group (a session of its own) and holds the child's output open delays the end by
// pipes_s at most once the group has gone.
TEST(ChildProcess, AProcessOutsideTheGroupThatHoldsItsOutputDelaysTheEndByPipesSAtMost) {
  testing::TempDir dir;
  const auto helper = dir.path() / "helper";
  ChildProcess child = ChildProcess::spawn(
      {"/bin/sh", "-c",
       "setsid /bin/sh -c 'echo $$ > " + helper.string() + ".new; mv " + helper.string() + ".new " +
           helper.string() + "; exec sleep 30' &\nwhile [ ! -e " + helper.string() + " ]; do sleep 0.01; done\n"},
      {.own_process_group = true});
  const auto start = Clock::now();
  EXPECT_EQ(child.end({.self_s = 5, .pipes_s = 0.1}), Ending::itself);
  EXPECT_LT(seconds_since(start), 2.5);  // the helper holds the pipes for 30 s
  EXPECT_EQ(child.wait(), 0);
  const pid_t held_by = pid_in(helper);
  ASSERT_GT(held_by, 0);
  EXPECT_FALSE(testing::process_ended(held_by));
  ::kill(held_by, SIGKILL);
}

std::string link_of(int fd) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
}

// A copy of this process made by fork() holds none of the child's pipes (the child sees the end of its input
// when we close ours, the copy still alive), and its calls neither signal nor reap the child.
TEST(ChildProcess, AForkedCopyNeitherKeepsTheChildsPipesNorSignalsOrReapsIt) {
  ChildProcess child = ChildProcess::spawn({"/bin/cat"}, {.own_process_group = true});
  int release[2];
  ASSERT_EQ(::pipe(release), 0);
  const pid_t copy = ::fork();
  ASSERT_GE(copy, 0);
  if (copy == 0) {
    ::close(release[1]);
    bool ok = !child.ours() && link_of(child.in()) == "/dev/null" && link_of(child.out()) == "/dev/null" &&
              link_of(child.err()) == "/dev/null" && link_of(child.exit_fd()) == "/dev/null";
    child.kill(SIGKILL);
    child.signal_group(SIGKILL);
    ok = ok && child.try_wait() == STATUS_UNKNOWN && child.wait() == STATUS_UNKNOWN &&
         child.end({}) == Ending::not_ours;
    char byte;
    (void)!::read(release[0], &byte, 1);  // lives until the parent is done
    ::_exit(ok ? 0 : 1);
  }
  ::close(release[0]);
  EXPECT_TRUE(child.ours());
  EXPECT_EQ(child.try_wait(), std::nullopt);
  const auto start = Clock::now();
  EXPECT_EQ(child.end({.self_s = 3}), Ending::itself);  // cat ends at the end of its input
  EXPECT_LT(seconds_since(start), 2.5);
  EXPECT_EQ(child.wait(), 0);
  ::close(release[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(copy, &status, 0), copy);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Where another reaps our children (the system, with SIGCHLD ignored or SA_NOCLDWAIT, or the application), the
// system shows that a child has ended (waitid's ECHILD, its pidfd readable) a moment before its pidfd holds the
// status (played here as a while from the first ask): a status that comes within 0.1 s of that is known at
// once, killed or exited; one that comes later is unknown until it comes, and known at the next ask after.
TEST(ChildProcess, AStatusTheSystemStoresLateIsAskedForAgainAndNeverRecordedAsUnknown) {
  if (!testing::statuses_kept(testing::Pidfds::as_here)) GTEST_SKIP() << "no exit status kept in pidfds here";
  using std::chrono::milliseconds;
  for (const milliseconds late : {milliseconds(20), milliseconds(300)}) {
    SCOPED_TRACE(::testing::Message() << "stored " << late.count() << " ms late");
    const auto failure = testing::in_forked_process(
        [late] {
          for (const testing::Handling h : testing::ALL_HANDLINGS) {
            if (h == testing::Handling::sigchld_default) continue;
            SCOPED_TRACE(testing::name_of(h));
            const testing::ApplicationChildren app(h);
            for (const bool killed : {true, false}) {
              ChildProcess child = killed ? ChildProcess::spawn({"/bin/sleep", "30"}, {.own_process_group = true})
                                          : ChildProcess::spawn({"/bin/sh", "-c", "exit 3"});
              if (killed) child.signal_group(SIGKILL);
              std::optional<int> status;
              while (!(status = child.try_wait())) std::this_thread::sleep_for(milliseconds(1));
              const int expected = killed ? -SIGKILL : 3;
              // Where the system reaps, no zombie tells the status; an application's reaper may come after us.
              const bool reaped_at_once =
                  h == testing::Handling::sigchld_ignored || h == testing::Handling::no_child_wait;
              if (late < milliseconds(100) || (!reaped_at_once && status != STATUS_UNKNOWN)) {
                EXPECT_EQ(status, expected);
              } else {
                EXPECT_EQ(status, STATUS_UNKNOWN);
                std::this_thread::sleep_for(late);
                EXPECT_EQ(child.try_wait(), expected);
              }
              EXPECT_EQ(child.wait(), expected);
            }
          }
        },
        30, [late] { return testing::store_statuses_late(late); });
    if (!failure) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(failure, "");
  }
}

std::uint64_t mask_in(const std::string& status, const std::string& field) {
  const std::size_t at = status.find("\n" + field + ":");
  if (at == std::string::npos) return ~0ull;
  return std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

void note_signal(int) {}

// What a child starts with, whatever this process does with a signal: SIGPIPE, SIGXFSZ and SIGCHLD at their
// default action (what programs expect), every signal this process handles at its default (no handler of ours
// runs in the child), any other signal this process ignores still ignored (as exec keeps it), nothing blocked.
TEST(ChildProcess, AChildStartsWithDefaultSignalsAndNoneBlocked) {
  const struct {
    int signal;
    bool handled;  // else ignored
    bool ignored_in_child;
  } cases[] = {
      {SIGPIPE, false, false}, {SIGPIPE, true, false}, {SIGXFSZ, false, false}, {SIGXFSZ, true, false},
      {SIGCHLD, false, false}, {SIGCHLD, true, false}, {SIGUSR1, true, false},  {SIGUSR1, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << sigabbrev_np(c.signal) << (c.handled ? " handled" : " ignored"));
    struct sigaction now {}, before {};
    now.sa_handler = c.handled ? note_signal : SIG_IGN;
    sigemptyset(&now.sa_mask);
    ASSERT_EQ(::sigaction(c.signal, &now, &before), 0);
    sigset_t one, mask_before;
    sigemptyset(&one);
    sigaddset(&one, c.signal);
    ::pthread_sigmask(SIG_BLOCK, &one, &mask_before);
    const ProgramResult r = run_captured({"/bin/cat", "/proc/self/status"});
    ::pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
    ::sigaction(c.signal, &before, nullptr);
    const std::string status(r.out.begin(), r.out.end());
    const std::uint64_t bit = 1ull << (c.signal - 1);
    EXPECT_EQ((mask_in(status, "SigIgn") & bit) != 0, c.ignored_in_child) << status;
    EXPECT_EQ(mask_in(status, "SigCgt") & bit, 0u) << status;
    EXPECT_EQ(mask_in(status, "SigBlk"), 0u) << status;
  }
}

std::string read_to_end(int fd) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  return out;
}

// A process with one of its standard descriptors closed (as a daemon may run) still gives its child a pipe on
// each of the three, none of them mixed up with a descriptor of its own.
TEST(ChildProcess, AProcessWithAStandardDescriptorClosedStillGivesItsChildThreePipes) {
  for (const int closed : {0, 1, 2}) {
    SCOPED_TRACE(::testing::Message() << "descriptor " << closed << " closed");
    const auto failure = testing::in_forked_process([closed] {
      ::close(closed);
      ChildProcess child =
          ChildProcess::spawn({"/bin/sh", "-c", "read line; printf '%s' \"$line\"; printf err >&2"});
      EXPECT_EQ(write_all(child.in(), "in\n"), 0);
      child.close_in();
      EXPECT_EQ(read_to_end(child.out()), "in");
      EXPECT_EQ(read_to_end(child.err()), "err");
      EXPECT_EQ(child.wait(), 0);
    });
    EXPECT_EQ(failure, "");
  }
}

bool handled_by_us_alone(testing::Handling h) {
  return h == testing::Handling::sigchld_default || h == testing::Handling::reaping_thread;  // a thread is unseen
}

// Where the system cannot signal a group through a pidfd (before Linux 6.9): the leader gets each signal
// through its pidfd whatever the application does, and the rest of its group by the group's id only where
// nothing but us may reap the leader (SIGCHLD at its default): never where the application ignores SIGCHLD,
// sets SA_NOCLDWAIT or handles it, any of which may reap the leader and free the id in between.
TEST(ChildProcess, WithoutGroupSignalsThroughPidfdsNothingGoesByAnIdThatAnotherMayFree) {
  for (const testing::Pidfds kernel : {testing::Pidfds::no_group_signals, testing::Pidfds::as_on_debian_12}) {
    SCOPED_TRACE(testing::name_of(kernel));
    const auto failure = testing::on_older_kernel(kernel, [kernel] {
      for (const testing::Handling h : testing::ALL_HANDLINGS) {
        SCOPED_TRACE(testing::name_of(h));
        const testing::ApplicationChildren app(h);
        ChildProcess leader =
            ChildProcess::spawn({"/bin/sh", "-c", "sleep 30 & echo $!; exec sleep 10"}, {.own_process_group = true});
        pid_t member = -1;
        std::istringstream(read_line(leader).value_or("")) >> member;
        ASSERT_GT(member, 0);
        EXPECT_TRUE(leader.signal_group(SIGTERM));
        const int status = leader.wait();
        if (testing::statuses_kept(kernel) || h == testing::Handling::sigchld_default) {
          EXPECT_EQ(status, -SIGTERM);
        } else {
          EXPECT_TRUE(status == -SIGTERM || status == STATUS_UNKNOWN) << status_text(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (h != testing::Handling::reaping_thread) {
          EXPECT_EQ(testing::process_ended(member), handled_by_us_alone(h));
        }
        ::kill(member, SIGKILL);
      }
    });
    if (!failure) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(failure, "");
  }
}

// On every older kernel, whatever the application does with its children: each status that can be known is,
// one that cannot is said to be unknown (never a wrong one), and a stopped group is ended (SIGCONT, SIGTERM)
// through its pidfd wherever there is one. Without pidfds it is signalled by its id only where nothing but us
// may reap it, and else left after the waits (no signal could reach it safely) instead of waited for.
TEST(ChildProcess, OnOlderKernelsEveryKnowableStatusIsKnownAndAStoppedGroupIsEndedWhereverASignalCanReachIt) {
  for (const testing::Pidfds kernel : testing::OLDER_KERNELS) {
    SCOPED_TRACE(testing::name_of(kernel));
    const auto failure = testing::on_older_kernel(kernel, [kernel] {
      for (const testing::Handling h : testing::ALL_HANDLINGS) {
        SCOPED_TRACE(testing::name_of(h));
        const testing::ApplicationChildren app(h);
        const bool known = testing::statuses_kept(kernel) || h == testing::Handling::sigchld_default;
        const bool unknown = !testing::statuses_kept(kernel) &&
                             (h == testing::Handling::sigchld_ignored || h == testing::Handling::no_child_wait);
        const auto expect_status = [&](int status, int expected) {
          if (known) EXPECT_EQ(status, expected) << status_text(status);
          else if (unknown) EXPECT_EQ(status, STATUS_UNKNOWN) << status_text(status);
          else EXPECT_TRUE(status == expected || status == STATUS_UNKNOWN) << status_text(status);
        };
        const ProgramResult r = run_captured({"/bin/sh", "-c", "printf out; exit 3"});
        expect_status(r.status, 3);
        EXPECT_EQ(std::string(r.out.begin(), r.out.end()), "out");

        ChildProcess child =
            ChildProcess::spawn({"/bin/sh", "-c", "echo ready; exec sleep 30"}, {.own_process_group = true});
        EXPECT_EQ(child.exit_fd() < 0, kernel == testing::Pidfds::none);
        ASSERT_TRUE(wait_for_line(child, "ready"));
        ASSERT_EQ(::kill(-child.pid(), SIGSTOP), 0);
        const bool reachable = kernel != testing::Pidfds::none || handled_by_us_alone(h);
        const auto start = Clock::now();
        const Ending how = child.end({.term_s = 0.3, .kill_s = 1.0});
        EXPECT_LT(seconds_since(start), 2.5);
        EXPECT_EQ(how, reachable ? Ending::sigterm : Ending::unsignalled);
        if (reachable) {
          expect_status(child.wait(), -SIGTERM);
        } else {
          EXPECT_EQ(child.try_wait(), std::nullopt);
          ::kill(child.pid(), SIGKILL);  // the test's own clean-up: it knows the id is still the child's
        }
      }
    });
    if (!failure) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(failure, "");
  }
  EXPECT_EQ(status_text(STATUS_UNKNOWN), "ended with an exit status that could not be known");
}

}  // namespace
}  // namespace velmora
