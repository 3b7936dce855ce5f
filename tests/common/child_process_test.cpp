#include "common/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "support/process.h"

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
TEST(ChildProcess, AnEndedChildsIdGivenToAnotherProcessIsNeverSignalled) {
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

}  // namespace
}  // namespace velmora
