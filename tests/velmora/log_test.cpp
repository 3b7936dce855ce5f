#include <gtest/gtest.h>

#include "velmora/log.hpp"
#include "velmora/support/log_capture.h"
#include "velmora/support/scratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

using Capture = testing::LogCapture;

using testing::RENDER_LINE;

TEST(Log, ASinkGetsTheRecordWithItsFormatArgumentsAndMessage) {
  Capture capture;
  velmora_log().info(RENDER_LINE, {std::int64_t{50}, 2.5, 20.0});
  ASSERT_EQ(capture.records.size(), 1u);
  testing::expect_render_line(
      capture.records[0], 50, 2.5, 20.0,
      "velmora: render 50 frames in 2.50 s = 20.0 fps steady state (first audio push -> last frame; model load "
      "excluded)");
}

TEST(Log, RecordsBelowTheSinksLevelAreDropped) {
  Capture capture(LogLevel::warning);
  EXPECT_FALSE(velmora_log().enabled_for(LogLevel::info));
  velmora_log().info("dropped");
  velmora_log().debug("dropped");
  velmora_log().warning("kept");
  ASSERT_EQ(capture.records.size(), 1u);
  EXPECT_EQ(capture.records[0].message, "kept");
}

TEST(Log, WithoutASinkWarningsGoToStandardErrorAndInfoIsDropped) {
  const LogSink previous = set_log_sink({});
  testing::TempDir dir;
  const auto file = dir.path() / "stderr";
  const int saved = ::dup(2);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::dup2(fd, 2);
  velmora_log().info("an info line %d", {std::int64_t{1}});
  velmora_log().warning("a warning line %d", {std::int64_t{2}});
  ::dup2(saved, 2);
  ::close(saved);
  ::close(fd);
  set_log_sink(previous);
  EXPECT_EQ(testing::read_file(file), "a warning line 2\n");
}

TEST(Log, FormatsAsPythonsPercentOperator) {
  struct Case {
    const char* format;
    std::vector<LogArg> args;
    const char* want;
  };
  const Case cases[] = {
      {"%d frames", {std::int64_t{-7}}, "-7 frames"},
      {"%d", {2.9}, "2"},
      {"%5.1f|%-4d|%03d", {3.14159, std::int64_t{7}, std::int64_t{5}}, "  3.1|7   |005"},
      {"%s and %s and %s", {std::string("text"), std::int64_t{3}, 20.0}, "text and 3 and 20.0"},
      {"%e %g", {1234.5, 0.0001}, "1.234500e+03 0.0001"},
      {"100%% of %d", {std::int64_t{4}}, "100% of 4"},
      {"%d and %d", {std::int64_t{1}}, "1 and %d"},
      {"%q %d", {std::int64_t{1}}, "%q 1"},
      {"100% kept", {}, "100% kept"},
      {"%d", {std::string("x")}, "%d"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_log_message(c.format, c.args), c.want) << c.format;
}

}  // namespace
}  // namespace velmora
