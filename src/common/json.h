#pragma once
// JSON read the way Python's json.loads reads it:
// - NaN, Infinity and -Infinity are numbers; a float literal too large for a double is +-inf;
// - integers stay integers (an integer beyond int64 keeps its text and reports `int_fits() == false`);
// - object keys keep their order, and a repeated key keeps its first place with the last value;
// - a leading UTF-8 byte-order mark is an error, as are invalid UTF-8, control characters inside strings and
//   trailing data; lone surrogate escapes are kept (encoded as 3-byte sequences, as Python keeps them).
// Errors carry Python's message text ("Expecting value: line 1 column 1 (char 0)") and its class name.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velmora::json {

class Value;
using Array = std::vector<Value>;
using Object = std::vector<std::pair<std::string, Value>>;

enum class Kind { Null, Bool, Int, Float, String, Array, Object };

class Value {
 public:
  Value() = default;
  static Value null() { return Value(); }
  static Value boolean(bool b);
  static Value integer(std::int64_t i);
  static Value big_integer(std::string digits);  // an integer literal beyond int64, kept as text
  static Value number(double d);
  static Value string(std::string s);
  static Value array(Array a);
  static Value object(Object o);

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_bool() const { return kind_ == Kind::Bool; }
  bool is_int() const { return kind_ == Kind::Int; }
  bool is_float() const { return kind_ == Kind::Float; }
  bool is_number() const { return kind_ == Kind::Int || kind_ == Kind::Float; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_array() const { return kind_ == Kind::Array; }
  bool is_object() const { return kind_ == Kind::Object; }

  // Python's type name of the value: NoneType, bool, int, float, str, list, dict.
  const char* type_name() const;
  // Python truthiness: false for null, false, 0, 0.0, "", [] and {}.
  bool truthy() const;

  // Accessors; each throws std::logic_error when the kind does not match.
  bool as_bool() const;
  bool int_fits() const { return kind_ == Kind::Int && big_.empty(); }
  std::int64_t as_int() const;           // throws std::out_of_range for an integer beyond int64
  std::string int_text() const;          // decimal text of any integer
  double as_double() const;              // a float, or an integer converted as Python's float(int) does
  const std::string& as_string() const;
  const Array& as_array() const;
  const Object& as_object() const;

  // Object member by key, or nullptr (also when the value is not an object).
  const Value* find(std::string_view key) const;

 private:
  Kind kind_ = Kind::Null;
  bool b_ = false;
  std::int64_t i_ = 0;
  double d_ = 0.0;
  std::string s_;
  std::string big_;  // digits of an integer beyond int64
  std::shared_ptr<const Array> a_;
  std::shared_ptr<const Object> o_;
};

class Error : public std::runtime_error {
 public:
  Error(std::string python_class, std::string message)
      : std::runtime_error(message), class_name_(std::move(python_class)) {}
  // "JSONDecodeError" or "UnicodeDecodeError" (or "RecursionError" for absurd nesting).
  const std::string& python_class() const { return class_name_; }

 private:
  std::string class_name_;
};

// Parses a whole document. Throws json::Error.
Value parse(std::string_view text);

}  // namespace velmora::json
