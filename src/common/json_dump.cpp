#include "common/json_dump.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "common/py_float.h"

namespace velmora::json {
namespace {

void put_u16(std::string& out, std::uint32_t unit) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(unit >> shift) & 0xF];
}

// The next code point of UTF-8 text at `i`, surrogates included (the reader's form of a lone surrogate).
std::uint32_t next_code_point(const std::string& s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  int len = 0;
  std::uint32_t cp = 0, min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) len = 2, cp = b0 & 0x1F, min = 0x80;
  else if (b0 >= 0xE0 && b0 <= 0xEF) len = 3, cp = b0 & 0x0F, min = 0x800;
  else if (b0 >= 0xF0 && b0 <= 0xF4) len = 4, cp = b0 & 0x07, min = 0x10000;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) throw std::invalid_argument("json text is not UTF-8");
  for (int k = 1; k < len; ++k) {
    const unsigned char b = byte(i + static_cast<std::size_t>(k));
    if ((b & 0xC0) != 0x80) throw std::invalid_argument("json text is not UTF-8");
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) throw std::invalid_argument("json text is not UTF-8");
  i += static_cast<std::size_t>(len);
  return cp;
}

void put_string(std::string& out, const std::string& s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::uint32_t cp = next_code_point(s, i);
      if (cp > 0xFFFF) {
        put_u16(out, 0xD800 + ((cp - 0x10000) >> 10));
        put_u16(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        put_u16(out, cp);
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F)
          put_u16(out, c);
        else
          out += static_cast<char>(c);
    }
  }
  out += '"';
}

void put_float(std::string& out, double d) {
  if (std::isnan(d))
    out += "NaN";
  else if (std::isinf(d))
    out += d > 0 ? "Infinity" : "-Infinity";
  else
    out += py_float_repr(d);
}

void put(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; break;
    case Kind::Int: out += v.int_text(); break;
    case Kind::Float: put_float(out, v.as_double()); break;
    case Kind::String: put_string(out, v.as_string()); break;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const auto& item : v.as_array()) {
        if (!first) out += ',';
        first = false;
        put(out, item);
      }
      out += ']';
      break;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.as_object()) {
        if (!first) out += ',';
        first = false;
        put_string(out, key);
        out += ':';
        put(out, item);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::string dump(const Value& v) {
  std::string out;
  put(out, v);
  return out;
}

}  // namespace velmora::json
