#include "common/strict_int.h"

#include <limits>

namespace velmora {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// With `saturate`, a magnitude beyond int64 gives the nearest int64 instead of nothing.
std::optional<std::int64_t> parse(std::string_view text, bool saturate) {
  std::size_t b = 0, e = text.size();
  while (b < e && is_blank(text[b])) ++b;
  while (e > b && is_blank(text[e - 1])) --e;
  bool negative = false;
  if (b < e && (text[b] == '+' || text[b] == '-')) negative = text[b++] == '-';
  if (b == e || !is_digit(text[b]) || !is_digit(text[e - 1])) return std::nullopt;
  // Accumulate as a negative number so that INT64_MIN fits.
  std::int64_t value = 0;
  bool overflow = false;
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  for (std::size_t i = b; i < e; ++i) {
    char c = text[i];
    if (c == '_') {
      if (!is_digit(text[i + 1])) return std::nullopt;  // text[e - 1] is a digit, so i + 1 < e
      continue;
    }
    if (!is_digit(c)) return std::nullopt;
    int d = c - '0';
    if (value < (lowest + d) / 10) {
      if (!saturate) return std::nullopt;
      overflow = true;
      continue;  // the rest must still be digits and single underscores
    }
    value = value * 10 - d;
  }
  if (overflow) return negative ? lowest : std::numeric_limits<std::int64_t>::max();
  if (negative) return value;
  if (value == lowest) return saturate ? std::optional(std::numeric_limits<std::int64_t>::max()) : std::nullopt;
  return -value;
}

}  // namespace

std::optional<std::int64_t> parse_strict_int(std::string_view text) { return parse(text, false); }

std::optional<std::int64_t> parse_strict_int_saturating(std::string_view text) { return parse(text, true); }

}  // namespace velmora
