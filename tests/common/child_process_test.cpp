#include "common/child_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "common/run_captured.h"
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

// Lines of the child's standard output until `line` comes (a second at most).
bool wait_for_line(const ChildProcess& child, const std::string& line) {
  std::string got;
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < until) {
    pollfd p{child.out(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    if (::read(child.out(), &c, 1) != 1) return false;
    if (c != '\n') {
      got += c;
      continue;
    }
    if (got == line) return true;
    got.clear();
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

// Where the system refuses pidfds (an older kernel, a sandbox): with SIGCHLD at its default every status comes
// and a stopped group is ended; where the system also reaps children (SIGCHLD ignored), a status that is lost
// is said to be unknown, no signal goes by an id that may have been given away, and end() leaves a child it
// cannot reach after its waits instead of waiting for it. In a forked test process, which alone is held to the
// refusal.
TEST(ChildProcess, WithoutPidfdsNothingIsSentByAnIdThatMayBeGivenAwayAndNoEndWaitsWithoutBound) {
  const pid_t tester = ::fork();
  ASSERT_GE(tester, 0);
  if (tester == 0) {
    if (!testing::refuse_pidfds()) ::_exit(77);
    int failed = 0;
    const auto check = [&](bool ok) { failed = failed * 2 + (ok ? 0 : 1); };
    for (const bool ignored : {false, true}) {
      ::signal(SIGCHLD, ignored ? SIG_IGN : SIG_DFL);
      const ProgramResult r = run_captured({"/bin/sh", "-c", "printf out; exit 3"});
      check(r.status == (ignored ? STATUS_UNKNOWN : 3) && std::string(r.out.begin(), r.out.end()) == "out");
      ChildProcess child =
          ChildProcess::spawn({"/bin/sh", "-c", "echo ready; exec sleep 30"}, {.own_process_group = true});
      check(child.exit_fd() < 0 && wait_for_line(child, "ready") && ::kill(-child.pid(), SIGSTOP) == 0);
      const auto start = Clock::now();
      const Ending how = child.end({.term_s = 0.3, .kill_s = 1.0});
      check(seconds_since(start) < 2.5);
      check(how == (ignored ? Ending::left_running : Ending::sigterm));
      if (ignored) {
        check(child.try_wait() == std::nullopt);
        ::kill(child.pid(), SIGKILL);  // the test's own clean-up: it knows the id is still the child's
      } else {
        check(child.wait() == -SIGTERM);
      }
    }
    check(status_text(STATUS_UNKNOWN) == "ended with an exit status that could not be known");
    ::_exit(failed == 0 ? 0 : 1 + failed % 100);
  }
  int status = 0;
  for (int i = 0; i < 1000 && ::waitpid(tester, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::waitpid(tester, &status, WNOHANG) == 0) {
    ::kill(tester, SIGKILL);
    ::waitpid(tester, &status, 0);
    FAIL() << "the test process hung";
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no seccomp filters here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace velmora
