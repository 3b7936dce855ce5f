#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <limits>

#include "mirel2/ostrand/command_line.h"
#include "mirel2/ostrand/host_state.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velmora::ostrand {
namespace {

using velmora::testing::run_process;
using velmora::testing::ScopedEnv;

std::vector<std::string> words(std::initializer_list<std::string> rest) {
  std::vector<std::string> argv{"tarnhost"};
  argv.insert(argv.end(), rest);
  return argv;
}

TEST(CommandLine, ScansBundleEngineAndThreads) {
  struct Case {
    std::vector<std::string> argv;
    std::string bundle;
    std::optional<std::string> engine;
    long threads;
  };
  const Case cases[] = {
      {words({}), "", {}, 0},
      {words({"render-stream"}), "", {}, 0},
      {words({"b"}), "b", {}, 0},
      {words({"b", "render-stream"}), "b", {}, 0},
      {words({"render-stream", "", "b"}), "b", {}, 0},
      {words({"render-stream", "b", "c"}), "b", {}, 0},
      {words({"--x", "b"}), "b", {}, 0},
      {words({"b", "--engine"}), "b", {}, 0},
      {words({"--engine"}), "", {}, 0},
      {words({"b", "--engine", "--threads", "4"}), "b", "--threads", 0},
      {words({"--engine", "", "b"}), "b", "", 0},
      {words({"--engine", "e1", "b", "--engine", "e2"}), "b", "e2", 0},
      {words({"--threads", "4", "b", "--threads", "6"}), "b", {}, 6},
      {words({"b", "--threads", " 8 "}), "b", {}, 8},
      {words({"b", "--threads", "1_6"}), "b", {}, 16},
      {words({"b", "--threads", "0"}), "b", {}, 0},
      {words({"b", "--threads", "-3"}), "b", {}, -3},
      {words({"b", "--threads", "100"}), "b", {}, 100},
      // Integers of any length: a request beyond what an interpreter can take is clamped to the most it can.
      {words({"b", "--threads", "99999999999"}), "b", {}, MAX_INTERPRETER_THREADS},
      {words({"b", "--threads", "1" + std::string(30, '0')}), "b", {}, MAX_INTERPRETER_THREADS},
      {words({"b", "--threads", "-1" + std::string(30, '0')}), "b", {}, std::numeric_limits<std::int64_t>::min()},
      {words({"b", "--threads=4"}), "b", {}, 0},
      {words({"-b", "--threads"}), "", {}, 0},
  };
  for (const auto& c : cases) {
    const auto cl = parse_command_line(c.argv);
    std::string shown;
    for (const auto& w : c.argv) shown += "[" + w + "]";
    EXPECT_EQ(cl.bundle, c.bundle) << shown;
    EXPECT_EQ(cl.engine, c.engine) << shown;
    EXPECT_EQ(cl.threads, c.threads) << shown;
  }
}

TEST(CommandLine, ThreadValuesAreStrictIntegers) {
  // Accepted texts are covered above; each of these is refused when it is converted, even before a bundle
  // is known and even when a good value follows.
  for (const char* bad : {"", "  ", "4.0", "0x10", "4x", "1__6", "_1", "1_", "+-1", "\xd9\xa3"}) {
    EXPECT_THROW(parse_command_line(words({"--threads", bad})), std::invalid_argument) << bad;
    EXPECT_THROW(parse_command_line(words({"b", "--threads", bad, "--threads", "4"})), std::invalid_argument) << bad;
  }
}

TEST(HostMain, UsageWithoutBundleElseRunsWithSettledThreads) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  host_state().log.set_fd(fds[1]);
  ScopedEnv env("LIBSTREAM_THREADS", std::nullopt);
  int calls = 0;
  RunFn run = [&](const std::string& bundle, const std::optional<std::string>& engine, int threads) {
    ++calls;
    EXPECT_EQ(bundle, "avatar");
    EXPECT_EQ(engine, "eng");
    EXPECT_EQ(threads, 7);
    return 5;
  };
  EXPECT_EQ(host_main(words({"render-stream"}), run), 2);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(host_main(words({"avatar", "--engine", "eng", "--threads", "7"}), run), 5);
  EXPECT_EQ(calls, 1);
  host_state().log.set_fd(2);
  ::close(fds[1]);
  char buf[256];
  const ssize_t n = ::read(fds[0], buf, sizeof buf);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), std::string("[tarnhost] ") + USAGE + "\n");
}

const std::string TARNHOST = std::string(VELMORA_BIN_DIR) + "/tarnhost";

TEST(TarnhostProgram, UsageAndBadThreadValues) {
  auto r = run_process({TARNHOST}, "");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, std::string("[tarnhost] ") + USAGE + "\n");
  EXPECT_EQ(r.out, "");

  r = run_process({TARNHOST, "render-stream", "--threads", "4.0"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("invalid literal for int() with base 10: '4.0'"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");

  r = run_process({TARNHOST, "b"}, "", {{{"LIBSTREAM_THREADS", "six"}}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'six'"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace velmora::ostrand
