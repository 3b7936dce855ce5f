#pragma once
// A log sink that keeps every record it gets, installed for a test's scope.
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

}  // namespace velmora::testing
