#include "velmora/av.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>
#include <utility>

#include "velmora/log.hpp"

namespace velmora::detail {
namespace {

thread_local std::vector<std::string>* error_lines = nullptr;

void log_to_velmora(void* context, int level, const char* format, va_list args) {
  if (level > av_log_get_level()) return;
  // A line may come in fragments; the prefix ("[mp3 @ 0x...] ") goes before the first one only.
  thread_local std::string pending;
  thread_local int print_prefix = 1;
  char fragment[1024];
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(context, level, format, copy, fragment, sizeof fragment, &print_prefix);
  va_end(copy);
  pending += fragment;
  for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
    std::string line = pending.substr(0, nl);
    pending.erase(0, nl + 1);
    if (line.empty()) continue;
    if (error_lines && level <= AV_LOG_ERROR) error_lines->push_back(line);
    velmora_log().debug("%s", {std::move(line)});
  }
}

}  // namespace

std::string av_error_text(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

void route_av_log() {
  static std::once_flag routed;
  std::call_once(routed, [] { av_log_set_callback(log_to_velmora); });
}

AvErrorLines::AvErrorLines() : previous_(std::exchange(error_lines, &lines_)) {}

AvErrorLines::~AvErrorLines() { error_lines = previous_; }

const std::vector<std::string>* AvErrorLines::current() { return error_lines; }

}  // namespace velmora::detail
