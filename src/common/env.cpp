#include "common/env.h"

#include <cctype>
#include <cstdlib>

namespace velmora {

std::optional<std::string> env_get(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::string_view trim_blanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool switch_text_on(std::optional<std::string_view> value) {
  if (!value || value->empty()) return true;
  std::string v(trim_blanks(*value));
  for (auto& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !(v == "0" || v == "false" || v == "no" || v == "off");
}

bool env_switch_on(const char* name) {
  const auto v = env_get(name);
  return switch_text_on(v ? std::optional<std::string_view>(*v) : std::nullopt);
}

}  // namespace velmora
