#include "velmora/av.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <mutex>
#include <optional>
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
    if (error_lines && level <= AV_LOG_ERROR) {
      if (std::string text = av_log_text(line); !text.empty()) error_lines->push_back(std::move(text));
    }
    velmora_log().debug("%s", {std::move(line)});
  }
}

// The length of the "[name @ 0x...]" prefix that `line` starts with and the length of its name; nothing when
// it starts with none.
std::optional<std::pair<std::size_t, std::size_t>> address_prefix(std::string_view line) {
  if (!line.starts_with('[')) return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view inside = line.substr(1, close - 1);
  const std::size_t at = inside.rfind(" @ 0x");
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  const std::string_view hex = inside.substr(at + 5);
  const auto is_hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  if (hex.empty() || !std::all_of(hex.begin(), hex.end(), is_hex)) return std::nullopt;
  return std::pair{close + 1, at};
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string av_log_text(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    std::string tags;
    while (const auto prefix = address_prefix(line)) {
      tags.append("[").append(line.substr(1, prefix->second)).append("] ");
      line.remove_prefix(prefix->first);
      while (!line.empty() && blank(line.front())) line.remove_prefix(1);
    }
    while (!line.empty() && blank(line.back())) line.remove_suffix(1);
    if (line.empty()) continue;
    if (!out.empty()) out += '\n';
    out.append(tags).append(line);
  }
  return out;
}

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
