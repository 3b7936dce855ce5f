#include "mirel2/ostrand/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace velmora::ostrand {
namespace {

struct Watch {
  std::mutex lock;  // held by the watcher from a signal to the end of the process
  void (*cleanup)() = nullptr;
};

// Never destroyed: a signal may arrive while the process's static objects are going away at exit.
Watch& watch() {
  static auto* w = new Watch;
  return *w;
}

// The stop signals this process was not started ignoring: one started in the background of a shell ignores
// SIGINT, and keeps ignoring it (a blocked signal is never discarded, so watching it would undo that).
sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGINT, SIGTERM}) {
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) sigaddset(&set, sig);
  }
  return set;
}

[[noreturn]] void end_by(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);  // not reached: the default action of both signals ends the process
}

void watch_loop(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (::sigwait(&set, &sig) != 0) continue;
    Watch& w = watch();
    w.lock.lock();  // kept: the clean-up runs once, and disarm_stop_signals waits for it
    if (w.cleanup != nullptr) {
      try {
        w.cleanup();
      } catch (...) {
        // The process ends by the signal whatever the clean-up met.
      }
    }
    end_by(sig);
  }
}

}  // namespace

void install_stop_signals(void (*cleanup)()) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, nullptr);
  const sigset_t set = stop_set();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  {
    const std::lock_guard<std::mutex> hold(watch().lock);
    watch().cleanup = cleanup;
  }
  // Started ignoring both: nothing to wait for, so no watcher.
  if (sigismember(&set, SIGINT) != 1 && sigismember(&set, SIGTERM) != 1) return;
  std::thread(watch_loop, set).detach();
}

void disarm_stop_signals() {
  const std::lock_guard<std::mutex> hold(watch().lock);
  watch().cleanup = nullptr;
}

}  // namespace velmora::ostrand
