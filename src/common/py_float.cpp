#include "common/py_float.h"

#include <cctype>
#include <locale.h>
#include <stdlib.h>
#include <limits>
#include <string>

#include "common/env.h"

namespace velmora {
namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// Appends a run of digits with single underscores between digits to `out`; advances `i`. False when the run
// is empty or an underscore is not between two digits.
bool digit_run(std::string_view t, std::size_t& i, std::string& out) {
  const std::size_t start = i;
  while (i < t.size()) {
    if (digit(t[i])) {
      out.push_back(t[i++]);
    } else if (t[i] == '_' && i > start && i + 1 < t.size() && digit(t[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  return i > start;
}

bool equals_lower(std::string_view t, std::string_view word) {
  if (t.size() != word.size()) return false;
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (std::tolower(static_cast<unsigned char>(t[k])) != word[k]) return false;
  }
  return true;
}

}  // namespace

std::optional<double> parse_py_float(std::string_view text) {
  std::string_view t = trim_blanks(text);
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  if (equals_lower(t, "inf") || equals_lower(t, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (equals_lower(t, "nan")) {
    return negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
  }
  // Rebuild the literal without underscores, checking the grammar as we go; strtod then rounds it.
  std::string lit = negative ? "-" : "";
  std::size_t i = 0;
  const bool whole = i < t.size() && digit(t[i]) && digit_run(t, i, lit);
  bool fraction = false;
  if (i < t.size() && t[i] == '.') {
    lit.push_back('.');
    ++i;
    if (i < t.size() && digit(t[i])) fraction = digit_run(t, i, lit);
  }
  if (!whole && !fraction) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    lit.push_back('e');
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) lit.push_back(t[i++]);
    if (!(i < t.size() && digit(t[i]) && digit_run(t, i, lit))) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  // Read in the C locale whatever locale the embedding program set, so '.' is always the point.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(lit.c_str(), nullptr, c_locale);
}

}  // namespace velmora
