#pragma once
// Test bodies run in a forked copy of the test process, for what is process-wide (closed standard descriptors,
// a seccomp filter that plays an older kernel: testing::refuse_pidfds).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "support/process.h"

namespace velmora::testing {

// Runs `body` in a forked copy of this test process (whose other threads it does not have) for `timeout_s` at
// most, `refusal` first where one is given: nothing when that cannot be done (the caller skips). `body` may
// use gtest's EXPECT and ASSERT, whose failures are printed there. Returns what went wrong: empty when nothing
// did, else that a check failed (see the lines printed above), that it hung (it is then killed) or how it died.
inline std::optional<std::string> in_forked_process(const std::function<void()>& body, double timeout_s = 60,
                                                    const std::function<bool()>& refusal = {}) {
  constexpr int CANNOT = 77;
  std::fflush(stdout);
  const pid_t tester = ::fork();
  if (tester < 0) return "could not fork";
  if (tester == 0) {
    if (refusal && !refusal()) ::_exit(CANNOT);
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  pid_t got;
  while ((got = ::waitpid(tester, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (got == 0) {
    ::kill(tester, SIGKILL);
    ::waitpid(tester, &status, 0);
    return "it hung for " + std::to_string(timeout_s) + " s";
  }
  if (got < 0) return "it could not be waited for";
  if (WIFEXITED(status) && WEXITSTATUS(status) == CANNOT) return std::nullopt;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  if (WIFEXITED(status)) return "a check failed (see above)";
  return "it was killed by signal " + std::to_string(WTERMSIG(status));
}

// `body` on a system that offers only `offered` of pidfds, as in_forked_process runs it.
inline std::optional<std::string> on_older_kernel(Pidfds offered, const std::function<void()>& body,
                                                  double timeout_s = 60) {
  return in_forked_process(body, timeout_s, [offered] { return refuse_pidfds(offered); });
}

}  // namespace velmora::testing
