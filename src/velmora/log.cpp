#include "velmora/log.hpp"

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/fd.h"
#include "common/py_float.h"

namespace velmora {
namespace {

std::mutex sink_mutex;
std::shared_ptr<const LogSink> current_sink;  // null: the default

std::shared_ptr<const LogSink> sink_now() {
  std::lock_guard<std::mutex> lock(sink_mutex);
  return current_sink;
}

void write_to_stderr(const LogRecord& record) {
  std::string line(record.message);
  line.push_back('\n');
  (void)write_all(2, line);
}

// One conversion of `directive` (without its conversion letter) and `conv`, applied to `arg`. False when the
// argument does not suit the conversion.
bool convert(std::string directive, char conv, const LogArg& arg, std::string& out) {
  char buf[512];
  int n = -1;
  if (conv == 'd' || conv == 'i') {
    std::int64_t v = 0;
    if (const auto* i = std::get_if<std::int64_t>(&arg)) v = *i;
    else if (const auto* d = std::get_if<double>(&arg)) {
      if (!(std::fabs(*d) < 9.2e18)) return false;  // NaN, infinities and what int64 cannot hold
      v = static_cast<std::int64_t>(*d);              // Python's "%d" truncates a float
    } else return false;
    directive += "lld";
    n = std::snprintf(buf, sizeof buf, directive.c_str(), static_cast<long long>(v));
  } else if (conv == 'f' || conv == 'F' || conv == 'e' || conv == 'E' || conv == 'g' || conv == 'G') {
    double v = 0;
    if (const auto* d = std::get_if<double>(&arg)) v = *d;
    else if (const auto* i = std::get_if<std::int64_t>(&arg)) v = static_cast<double>(*i);
    else return false;
    directive.push_back(conv);
    n = std::snprintf(buf, sizeof buf, directive.c_str(), v);
  } else if (conv == 's') {
    std::string text;
    if (const auto* s = std::get_if<std::string>(&arg)) text = *s;
    else if (const auto* i = std::get_if<std::int64_t>(&arg)) text = std::to_string(*i);
    else text = py_float_repr(std::get<double>(arg));
    directive += "s";
    n = std::snprintf(buf, sizeof buf, directive.c_str(), text.c_str());
    if (n >= static_cast<int>(sizeof buf)) {  // a long text: no width can matter beside it
      out += text;
      return true;
    }
  } else {
    return false;
  }
  if (n < 0) return false;
  out.append(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
  return true;
}

}  // namespace

LogSink set_log_sink(LogSink sink) {
  std::shared_ptr<const LogSink> next;
  if (sink.write) next = std::make_shared<const LogSink>(std::move(sink));
  std::shared_ptr<const LogSink> previous;
  {
    std::lock_guard<std::mutex> lock(sink_mutex);
    previous = std::exchange(current_sink, std::move(next));
  }
  return previous ? *previous : LogSink{};
}

std::string format_log_message(std::string_view format, std::span<const LogArg> args) {
  if (args.empty()) return std::string(format);
  std::string out;
  std::size_t next_arg = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    // %[flags][width][.precision]conversion
    std::size_t j = i + 1;
    while (j < format.size() && std::string_view("-+ #0").find(format[j]) != std::string_view::npos) ++j;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9') ++j;
    if (j < format.size() && format[j] == '.') {
      ++j;
      while (j < format.size() && format[j] >= '0' && format[j] <= '9') ++j;
    }
    if (j < format.size() && next_arg < args.size() &&
        convert(std::string(format.substr(i, j - i)), format[j], args[next_arg], out)) {
      ++next_arg;
      i = j + 1;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

bool Logger::enabled_for(LogLevel level) const {
  const auto sink = sink_now();
  const LogLevel floor = sink ? sink->level : LogLevel::warning;
  return static_cast<int>(level) >= static_cast<int>(floor);
}

void Logger::log(LogLevel level, std::string_view format, std::initializer_list<LogArg> args) const {
  const auto sink = sink_now();
  const LogLevel floor = sink ? sink->level : LogLevel::warning;
  if (static_cast<int>(level) < static_cast<int>(floor)) return;
  const std::span<const LogArg> arg_span(args.begin(), args.size());
  const std::string message = format_log_message(format, arg_span);
  const LogRecord record{name_, level, format, arg_span, message};
  if (sink) sink->write(record);
  else write_to_stderr(record);
}

const Logger& velmora_log() {
  static const Logger logger("velmora");
  return logger;
}

}  // namespace velmora
