#pragma once
// Logging of the Avatar API: named loggers that send records to one process-wide sink.
//
// With no sink installed, warnings and errors are written to standard error as their message and a newline,
// and everything below is dropped: what an unconfigured Python program does with its "velmora" logger.
// A record is formatted only when the sink takes its level.
//
// Thread safety: every function here may be called from any thread; a sink is called from whichever thread
// logs, possibly from several at once.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "velmora/export.hpp"

namespace velmora {

enum class LogLevel : int { debug = 10, info = 20, warning = 30, error = 40 };

using LogArg = std::variant<std::int64_t, double, std::string>;

struct LogRecord {
  std::string_view logger;  // the logger's name
  LogLevel level;
  std::string_view format;  // %-style format, as the caller gave it
  std::span<const LogArg> args;
  std::string_view message;  // the format applied to the args; the format itself when there are none
};

struct LogSink {
  LogLevel level = LogLevel::warning;             // the lowest level it takes
  std::function<void(const LogRecord&)> write;    // called under no lock; may be called from several threads
};

// Installs `sink` for the whole process and returns the one it replaces. A sink without `write` restores
// the default.
VELMORA_API LogSink set_log_sink(LogSink sink);

class VELMORA_API Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

  bool enabled_for(LogLevel level) const;
  // Formats `format` with `args` as Python's "%" operator does for %d, %i, %f, %e, %g (and upper-case
  // forms), %s and %%, with flags, width and precision; anything else is kept as written.
  void log(LogLevel level, std::string_view format, std::initializer_list<LogArg> args = {}) const;
  void debug(std::string_view format, std::initializer_list<LogArg> args = {}) const {
    log(LogLevel::debug, format, args);
  }
  void info(std::string_view format, std::initializer_list<LogArg> args = {}) const {
    log(LogLevel::info, format, args);
  }
  void warning(std::string_view format, std::initializer_list<LogArg> args = {}) const {
    log(LogLevel::warning, format, args);
  }

 private:
  std::string name_;
};

// The logger named "velmora".
VELMORA_API const Logger& velmora_log();

// `format` applied to `args` (the rules of Logger::log).
VELMORA_API std::string format_log_message(std::string_view format, std::span<const LogArg> args);

}  // namespace velmora
