#include "common/json_convert.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "common/py_error.h"
#include "common/py_float.h"
#include "common/pytext.h"
#include "common/strict_int.h"

namespace velmora::json {

const Value& at(const Value& v, std::string_view key) {
  if (v.is_array()) throw std::invalid_argument("list indices must be integers or slices, not str");
  if (v.is_string()) throw std::invalid_argument("string indices must be integers");
  if (!v.is_object()) throw std::invalid_argument(std::string("'") + v.type_name() + "' object is not subscriptable");
  const Value* m = v.find(key);
  if (m == nullptr) throw KeyError(std::string(key));
  return *m;
}

std::int64_t py_int(const Value& v) {
  switch (v.kind()) {
    case Kind::Int: return v.as_int();
    case Kind::Bool: return v.as_bool() ? 1 : 0;
    case Kind::Float: {
      const double d = v.as_double();
      if (std::isnan(d)) throw std::invalid_argument("cannot convert float NaN to integer");
      if (std::isinf(d)) throw std::invalid_argument("cannot convert float infinity to integer");
      const double t = std::trunc(d);
      if (t < -9223372036854775808.0 || t >= 9223372036854775808.0)
        throw std::out_of_range("integer " + py_str(v) + " does not fit 64 bits");
      return static_cast<std::int64_t>(t);
    }
    case Kind::String: {
      const auto r = parse_strict_int(v.as_string());
      if (!r) throw std::invalid_argument("invalid literal for int() with base 10: " + py_repr(v.as_string()));
      return *r;
    }
    default:
      throw std::invalid_argument(std::string("int() argument must be a string, a bytes-like object or a real "
                                              "number, not '") + v.type_name() + "'");
  }
}

int py_int_beyond_int64(const Value& v) {
  switch (v.kind()) {
    case Kind::Int: return v.int_fits() ? 0 : v.int_text()[0] == '-' ? -1 : 1;
    case Kind::Float: {
      const double t = std::trunc(v.as_double());
      return t >= 9223372036854775808.0 ? 1 : t < -9223372036854775808.0 ? -1 : 0;  // NaN falls through
    }
    case Kind::String: {
      if (parse_strict_int(v.as_string())) return 0;
      const auto clamped = parse_strict_int_saturating(v.as_string());
      return !clamped ? 0 : *clamped < 0 ? -1 : 1;
    }
    default: return 0;
  }
}

double py_float(const Value& v) {
  switch (v.kind()) {
    case Kind::Int: case Kind::Float: return v.as_double();
    case Kind::Bool: return v.as_bool() ? 1.0 : 0.0;
    case Kind::String: {
      const auto r = parse_py_float(v.as_string());
      if (!r) throw std::invalid_argument("could not convert string to float: " + py_repr(v.as_string()));
      return *r;
    }
    default:
      throw std::invalid_argument(std::string("float() argument must be a string or a real number, not '") + v.type_name() + "'");
  }
}

namespace {

std::string py_repr_value(const Value& v) { return v.is_string() ? py_repr(v.as_string()) : py_str(v); }

}  // namespace

std::string py_str(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return "None";
    case Kind::Bool: return v.as_bool() ? "True" : "False";
    case Kind::Int: return v.int_text();
    case Kind::Float: return py_float_repr(v.as_double());
    case Kind::String: return v.as_string();
    case Kind::Array: {
      std::string s = "[";
      for (const auto& e : v.as_array()) s += (s.size() > 1 ? ", " : "") + py_repr_value(e);
      return s + "]";
    }
    case Kind::Object: {
      std::string s = "{";
      for (const auto& [k, e] : v.as_object()) s += (s.size() > 1 ? ", " : "") + py_repr(k) + ": " + py_repr_value(e);
      return s + "}";
    }
  }
  return "";
}

namespace {

constexpr int MAX_DEPTH = Shape::MAX_RANK;

// The shape that the nesting of `v` gives, from its first elements; rectangularity is checked while filling.
void nested_shape(const Value& v, std::vector<std::int64_t>& dims) {
  const Value* cur = &v;
  while (cur->is_array()) {
    if (static_cast<int>(dims.size()) == MAX_DEPTH) throw std::invalid_argument("list nesting is too deep for an array");
    const auto& a = cur->as_array();
    dims.push_back(static_cast<std::int64_t>(a.size()));
    if (a.empty()) break;
    cur = &a.front();
  }
}

double element_value(const Value& e, bool for_float) {
  switch (e.kind()) {
    case Kind::Int: case Kind::Float: return e.as_double();
    case Kind::Bool: return e.as_bool() ? 1.0 : 0.0;
    case Kind::Null:
      if (for_float) return std::numeric_limits<double>::quiet_NaN();
      [[fallthrough]];
    default:
      throw std::invalid_argument(std::string("array element of type '") + e.type_name() + "' is not a number");
  }
}

void fill(const Value& v, const std::vector<std::int64_t>& dims, std::size_t depth, std::vector<double>& out,
          bool for_float) {
  if (depth == dims.size()) {
    if (v.is_array())
      throw std::invalid_argument("setting an array element with a sequence: the nested lists have an inhomogeneous shape");
    out.push_back(element_value(v, for_float));
    return;
  }
  if (!v.is_array() || static_cast<std::int64_t>(v.as_array().size()) != dims[depth])
    throw std::invalid_argument("setting an array element with a sequence: the nested lists have an inhomogeneous shape");
  for (const auto& e : v.as_array()) fill(e, dims, depth + 1, out, for_float);
}

}  // namespace

NdArray to_array(const Value& v, DType dtype) {
  std::vector<std::int64_t> dims;
  nested_shape(v, dims);
  std::vector<double> flat;
  fill(v, dims, 0, flat, is_float_dtype(dtype));
  // Integer JSON numbers beyond 2^53 would lose digits through double; only float and bool targets are used.
  return NdArray::of<double>(flat, Shape(std::span<const std::int64_t>(dims))).astype(dtype);
}

}  // namespace velmora::json
