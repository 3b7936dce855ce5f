#include "common/py_float.h"

#include <cctype>
#include <charconv>
#include <cmath>
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

namespace {

// Shortest digits that read back to `value` in its own type, laid out as Python lays out a float's repr and
// NumPy a float32's: positional for magnitudes from 1e-4 (compared as the exact value) up to 1e16, with the
// digits padded by zeros, never more digits than the shortest form ("123456790.0" for the float32 nearest
// 123456789, whose exact value is 123456792); else exponent notation ("1e+16", "1.5e-05", "1e-04").
template <typename T>
std::string shortest_repr(T value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string sci(buf, r.ptr);  // "-1.2345679e+08": at least two exponent digits, as Python writes them
  const double mag = std::fabs(static_cast<double>(value));
  if (!(mag == 0 || (mag >= 1e-4 && mag < 1e16))) return sci;
  const std::size_t e = sci.find('e');
  const int exponent = std::stoi(sci.substr(e + 1));
  const bool negative = sci[0] == '-';
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i)
    if (sci[i] != '.') digits.push_back(sci[i]);
  std::string out = negative ? "-" : "";
  if (exponent < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() < whole) digits.append(whole - digits.size(), '0');
    out += digits.substr(0, whole) + "." + (digits.size() > whole ? digits.substr(whole) : "0");
  }
  return out;
}

}  // namespace

std::string py_float_repr(double value) { return shortest_repr(value); }

std::string py_float32_repr(float value) { return shortest_repr(value); }

}  // namespace velmora
