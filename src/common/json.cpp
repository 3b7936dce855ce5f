#include "common/json.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "common/utf8.h"

namespace velmora::json {

Value Value::boolean(bool b) { Value v; v.kind_ = Kind::Bool; v.b_ = b; return v; }
Value Value::integer(std::int64_t i) { Value v; v.kind_ = Kind::Int; v.i_ = i; return v; }
Value Value::big_integer(std::string digits) {
  Value v;
  v.kind_ = Kind::Int;
  v.big_ = std::move(digits);
  v.d_ = std::strtod(v.big_.c_str(), nullptr);
  return v;
}
Value Value::number(double d) { Value v; v.kind_ = Kind::Float; v.d_ = d; return v; }
Value Value::string(std::string s) { Value v; v.kind_ = Kind::String; v.s_ = std::move(s); return v; }
Value Value::array(Array a) { Value v; v.kind_ = Kind::Array; v.a_ = std::make_shared<const Array>(std::move(a)); return v; }
Value Value::object(Object o) { Value v; v.kind_ = Kind::Object; v.o_ = std::make_shared<const Object>(std::move(o)); return v; }

const char* Value::type_name() const {
  switch (kind_) {
    case Kind::Null: return "NoneType";
    case Kind::Bool: return "bool";
    case Kind::Int: return "int";
    case Kind::Float: return "float";
    case Kind::String: return "str";
    case Kind::Array: return "list";
    case Kind::Object: return "dict";
  }
  return "?";
}

bool Value::truthy() const {
  switch (kind_) {
    case Kind::Null: return false;
    case Kind::Bool: return b_;
    case Kind::Int: return !big_.empty() || i_ != 0;
    case Kind::Float: return d_ != 0.0;
    case Kind::String: return !s_.empty();
    case Kind::Array: return !a_->empty();
    case Kind::Object: return !o_->empty();
  }
  return false;
}

namespace {
[[noreturn]] void wrong_kind(const char* want, const Value& v) {
  throw std::logic_error(std::string("json value is ") + v.type_name() + ", not " + want);
}
}  // namespace

bool Value::as_bool() const { if (kind_ != Kind::Bool) wrong_kind("bool", *this); return b_; }
std::int64_t Value::as_int() const {
  if (kind_ != Kind::Int) wrong_kind("int", *this);
  if (!big_.empty()) throw std::out_of_range("json integer " + big_ + " does not fit 64 bits");
  return i_;
}
std::string Value::int_text() const {
  if (kind_ != Kind::Int) wrong_kind("int", *this);
  return big_.empty() ? std::to_string(i_) : big_;
}
double Value::as_double() const {
  if (kind_ == Kind::Float) return d_;
  if (kind_ == Kind::Int) return big_.empty() ? static_cast<double>(i_) : d_;
  wrong_kind("float", *this);
}
const std::string& Value::as_string() const { if (kind_ != Kind::String) wrong_kind("str", *this); return s_; }
const Array& Value::as_array() const { if (kind_ != Kind::Array) wrong_kind("list", *this); return *a_; }
const Object& Value::as_object() const { if (kind_ != Kind::Object) wrong_kind("dict", *this); return *o_; }

const Value* Value::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  for (const auto& [k, v] : *o_)
    if (k == key) return &v;
  return nullptr;
}

namespace {

constexpr int MAX_DEPTH = 1000;  // Python's default recursion limit stops deeper documents too

class Parser {
 public:
  explicit Parser(std::string_view t) : t_(t) {}

  Value document() {
    if (t_.size() >= 3 && t_.substr(0, 3) == "\xEF\xBB\xBF") fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0);
    check_utf8();
    skip_ws();
    Value v = value(0);
    skip_ws();
    if (p_ != t_.size()) fail("Extra data", p_);
    return v;
  }

 private:
  std::string_view t_;
  std::size_t p_ = 0;

  [[noreturn]] void fail(const std::string& msg, std::size_t byte_pos) const {
    // Python reports line, column and position in characters, not bytes.
    std::size_t line = 1, col = 1, chars = 0;
    for (std::size_t i = 0; i < byte_pos && i < t_.size(); ++i) {
      const auto c = static_cast<unsigned char>(t_[i]);
      if ((c & 0xc0) == 0x80) continue;
      ++chars;
      if (c == '\n') { ++line; col = 1; } else { ++col; }
    }
    throw Error("JSONDecodeError",
                msg + ": line " + std::to_string(line) + " column " + std::to_string(col) + " (char " + std::to_string(chars) + ")");
  }

  void check_utf8() const {
    std::size_t i = 0;
    while (i < t_.size()) {
      const auto c = static_cast<unsigned char>(t_[i]);
      std::size_t len = 0;
      unsigned cp = 0, min = 0;
      if (c < 0x80) { ++i; continue; }
      if ((c >> 5) == 0x6) { len = 2; cp = c & 0x1f; min = 0x80; }
      else if ((c >> 4) == 0xe) { len = 3; cp = c & 0x0f; min = 0x800; }
      else if ((c >> 3) == 0x1e) { len = 4; cp = c & 0x07; min = 0x10000; }
      bool ok = len != 0 && i + len <= t_.size();
      for (std::size_t k = 1; ok && k < len; ++k) {
        const auto cc = static_cast<unsigned char>(t_[i + k]);
        ok = (cc & 0xc0) == 0x80;
        cp = (cp << 6) | (cc & 0x3f);
      }
      ok = ok && cp >= min && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
      if (!ok) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", c);
        throw Error("UnicodeDecodeError", std::string("'utf-8' codec can't decode byte ") + buf + " in position " +
                                              std::to_string(i) + ": invalid start byte");
      }
      i += len;
    }
  }

  void skip_ws() {
    while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t' || t_[p_] == '\n' || t_[p_] == '\r')) ++p_;
  }

  bool take(std::string_view word) {
    if (t_.substr(p_, word.size()) == word) { p_ += word.size(); return true; }
    return false;
  }

  Value value(int depth) {
    if (depth > MAX_DEPTH) throw Error("RecursionError", "maximum recursion depth exceeded while decoding a JSON document");
    if (p_ >= t_.size()) fail("Expecting value", p_);
    const char c = t_[p_];
    if (c == '"') return Value::string(string());
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (take("null")) return Value::null();
    if (take("true")) return Value::boolean(true);
    if (take("false")) return Value::boolean(false);
    if (take("NaN")) return Value::number(std::numeric_limits<double>::quiet_NaN());
    if (take("Infinity")) return Value::number(std::numeric_limits<double>::infinity());
    if (take("-Infinity")) return Value::number(-std::numeric_limits<double>::infinity());
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    fail("Expecting value", p_);
  }

  Value number() {
    const std::size_t start = p_;
    auto digit = [&](std::size_t i) { return i < t_.size() && t_[i] >= '0' && t_[i] <= '9'; };
    if (t_[p_] == '-') ++p_;
    if (!digit(p_)) fail("Expecting value", start);
    if (t_[p_] == '0') ++p_;
    else while (digit(p_)) ++p_;
    bool is_float = false;
    if (p_ < t_.size() && t_[p_] == '.' && digit(p_ + 1)) {
      is_float = true;
      ++p_;
      while (digit(p_)) ++p_;
    }
    if (p_ < t_.size() && (t_[p_] == 'e' || t_[p_] == 'E')) {
      std::size_t q = p_ + 1;
      if (q < t_.size() && (t_[q] == '+' || t_[q] == '-')) ++q;
      if (digit(q)) {
        is_float = true;
        p_ = q;
        while (digit(p_)) ++p_;
      }
    }
    const std::string text(t_.substr(start, p_ - start));
    if (is_float) return Value::number(std::strtod(text.c_str(), nullptr));  // overflow gives +-inf, as Python
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE) return Value::big_integer(text);
    return Value::integer(v);
  }

  int hex4(std::size_t at) const {
    if (at + 4 >= t_.size()) return -1;
    int v = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
      const char c = t_[i];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return -1;
    }
    return v;
  }

  std::string string() {
    const std::size_t start = p_++;
    std::string out;
    while (true) {
      if (p_ >= t_.size()) fail("Unterminated string starting at", start);
      const auto c = static_cast<unsigned char>(t_[p_]);
      if (c == '"') { ++p_; return out; }
      if (c < 0x20) fail("Invalid control character at", p_);
      if (c != '\\') { out.push_back(static_cast<char>(c)); ++p_; continue; }
      if (p_ + 1 >= t_.size()) fail("Unterminated string starting at", start);
      const char e = t_[p_ + 1];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          int cp = hex4(p_ + 2);
          if (cp < 0) fail("Invalid \\uXXXX escape", p_ + 1);
          p_ += 6;
          if (cp >= 0xd800 && cp <= 0xdbff && t_.substr(p_, 2) == "\\u") {
            const int lo = hex4(p_ + 2);
            if (lo < 0) fail("Invalid \\uXXXX escape", p_ + 1);
            if (lo >= 0xdc00 && lo <= 0xdfff) {
              cp = 0x10000 + ((cp - 0xd800) << 10) + (lo - 0xdc00);
              p_ += 6;
            }
          }
          utf8_append(out, static_cast<char32_t>(cp));
          continue;
        }
        default: fail("Invalid \\escape", p_);
      }
      p_ += 2;
    }
  }

  Value array(int depth) {
    ++p_;
    Array items;
    skip_ws();
    if (p_ < t_.size() && t_[p_] == ']') { ++p_; return Value::array(std::move(items)); }
    while (true) {
      skip_ws();
      items.push_back(value(depth + 1));
      skip_ws();
      if (p_ < t_.size() && t_[p_] == ']') { ++p_; return Value::array(std::move(items)); }
      if (p_ >= t_.size() || t_[p_] != ',') fail("Expecting ',' delimiter", p_);
      ++p_;
    }
  }

  Value object(int depth) {
    ++p_;
    Object members;
    skip_ws();
    if (p_ < t_.size() && t_[p_] == '}') { ++p_; return Value::object(std::move(members)); }
    while (true) {
      skip_ws();
      if (p_ >= t_.size() || t_[p_] != '"') fail("Expecting property name enclosed in double quotes", p_);
      std::string key = string();
      skip_ws();
      if (p_ >= t_.size() || t_[p_] != ':') fail("Expecting ':' delimiter", p_);
      ++p_;
      skip_ws();
      Value v = value(depth + 1);
      bool replaced = false;
      for (auto& [k, old] : members) {
        if (k == key) { old = std::move(v); replaced = true; break; }
      }
      if (!replaced) members.emplace_back(std::move(key), std::move(v));
      skip_ws();
      if (p_ < t_.size() && t_[p_] == '}') { ++p_; return Value::object(std::move(members)); }
      if (p_ >= t_.size() || t_[p_] != ',') fail("Expecting ',' delimiter", p_);
      ++p_;
    }
  }
};

}  // namespace

Value parse(std::string_view text) { return Parser(text).document(); }

}  // namespace velmora::json
