#include "velmora/module.h"

#include <cmath>
#include <cstdio>

#include "common/env.h"
#include "common/py_float.h"
#include "common/pytext.h"
#include "velmora/log.hpp"

namespace velmora::detail {
namespace {

bool upper(char c) { return c >= 'A' && c <= 'Z'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// Python's "$" also matches just before one newline that ends the text.
std::string_view without_final_newline(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return text;
}

}  // namespace

std::string no_engine_message(const EngineIdSet& family) {
  std::string text = "this build has no engine for ";
  const auto ids = family.ids();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += i + 1 == ids.size() ? " or " : ", ";
    text.append("\"").append(ids[i]).append("\"");
  }
  return text + " avatars";
}

bool is_service_code(std::string_view source) {
  const std::string_view s = without_final_newline(source);
  if (s.size() != 10 || !upper(s[0])) return false;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (!upper(s[i]) && !digit(s[i])) return false;
  }
  return true;
}

std::optional<std::string_view> tmp_owner_digits(std::string_view name) {
  const std::string_view s = without_final_newline(name);
  std::size_t d = s.size();
  while (d > 0 && digit(s[d - 1])) --d;
  constexpr std::string_view marker = ".tmp.";
  if (d == s.size() || d < marker.size() + 1 || s.substr(d - marker.size(), marker.size()) != marker) {
    return std::nullopt;
  }
  // "." does not match a newline: the part before the marker must hold none.
  if (s.substr(0, d - marker.size()).find('\n') != std::string_view::npos) return std::nullopt;
  return s.substr(d);
}

SecondsSetting read_seconds(std::string_view name, std::optional<std::string_view> text, double fallback) {
  SecondsSetting out{fallback, std::nullopt};
  if (!text) return out;
  const auto value = parse_py_float(*text);
  if (value && std::isfinite(*value)) {
    out.seconds = *value;
    return out;
  }
  char shown[32];
  std::snprintf(shown, sizeof shown, "%g", fallback);
  out.warning = "velmora: " + std::string(name) + "=" + py_repr(*text) +
                " is not a finite number of seconds; using " + shown;
  return out;
}

QuietSetting read_quiet(std::optional<std::string_view> text) {
  return read_seconds(QUIET_ENV, text, DEFAULT_QUIET_S);
}

double env_seconds(const char* name, double fallback) {
  const auto text = env_get(name);
  const SecondsSetting s = read_seconds(name, text ? std::optional<std::string_view>(*text) : std::nullopt, fallback);
  if (s.warning) velmora_log().warning(*s.warning);
  return s.seconds;
}

double quiet_seconds() {
  static const double seconds = env_seconds(QUIET_ENV, DEFAULT_QUIET_S);
  return seconds;
}

}  // namespace velmora::detail
