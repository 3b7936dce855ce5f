#include "common/pytext.h"

#include <cstdio>

namespace velmora {

namespace {

// `prefix`, then the quoted body of a str or bytes repr: single quotes, or double quotes when the text holds '
// and no "; backslash, \n, \r, \t escaped, other C0 controls and DEL as \xhh, and with `escape_high` (bytes)
// also every byte from 0x80 on.
std::string quoted(std::string_view prefix, std::string_view text, bool escape_high) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(prefix);
  out.reserve(prefix.size() + text.size() + 2);
  out.push_back(quote);
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f || (escape_high && c > 0x7f)) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          if (c == static_cast<unsigned char>(quote)) out.push_back('\\');
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back(quote);
  return out;
}

}  // namespace

std::string py_repr(std::string_view text) { return quoted("", text, false); }

std::string py_bytes_repr(std::string_view bytes) { return quoted("b", bytes, true); }

std::string py_repr(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += py_repr(items[i]);
  }
  out += "]";
  return out;
}

std::string utf8_prefix(std::string_view text, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t count = 0; count < n && i < text.size(); ++count) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 1;
    if (i + len > text.size()) len = 1;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
        len = 1;
        break;
      }
    }
    i += len;
  }
  return std::string(text.substr(0, i));
}

std::string path_join(std::string_view a, std::string_view b) {
  if (!b.empty() && b.front() == '/') return std::string(b);
  std::string out(a);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out += b;
  return out;
}

std::string_view path_basename(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace velmora
