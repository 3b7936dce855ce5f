#pragma once
// A log sink that keeps every record it gets, installed for a test's scope.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "velmora/log.hpp"

namespace velmora::testing {

struct Captured {
  std::string logger;
  LogLevel level;
  std::string format;
  std::vector<LogArg> args;
  std::string message;
};

// Installs a capturing sink and puts the previous sink back at the end of its scope.
class LogCapture {
 public:
  explicit LogCapture(LogLevel level = LogLevel::debug)
      : previous_(set_log_sink({level, [this](const LogRecord& r) {
          records.push_back({std::string(r.logger), r.level, std::string(r.format),
                             std::vector<LogArg>(r.args.begin(), r.args.end()), std::string(r.message)});
        }})) {}
  ~LogCapture() { set_log_sink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Captured> records;

 private:
  LogSink previous_;
};

// The one line the Avatar logs for a render, as its format.
inline constexpr const char* RENDER_LINE =
    "velmora: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last frame; model load "
    "excluded)";

// Expects `r` to be the render line of the "velmora" logger at INFO with these figures and this text.
inline void expect_render_line(const Captured& r, std::int64_t frames, double seconds, double fps,
                               const std::string& text) {
  EXPECT_EQ(r.logger, "velmora");
  EXPECT_EQ(r.level, LogLevel::info);
  EXPECT_EQ(r.format, RENDER_LINE);
  EXPECT_EQ(r.args, (std::vector<LogArg>{frames, seconds, fps}));
  EXPECT_EQ(r.message, text);
}

}  // namespace velmora::testing
