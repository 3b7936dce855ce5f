#pragma once
// Python's conversions of parsed JSON values (common/json.h): int(), float(), str(), member lookup with
// KeyError, and numpy.asarray of nested lists.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/ndarray.h"

namespace velmora::json {

// Member `key` of an object. Throws KeyError naming the key when it is missing, std::invalid_argument when
// `v` is not an object (Python's TypeError of subscripting it).
const Value& at(const Value& v, std::string_view key);

// Python's int(v): an integer as is, a float truncated toward zero, a bool as 0 or 1, a text through Python's
// integer literal rules. Throws std::invalid_argument for NaN, infinities, other kinds and unreadable text,
// and std::out_of_range for integers beyond int64.
std::int64_t py_int(const Value& v);

// Where Python's int(v) lies when py_int cannot hold it: -1 below int64, +1 above it; 0 when it fits or when
// v has no integer value at all (py_int then gives the value or the error).
int py_int_beyond_int64(const Value& v);

// Python's float(v): numbers, bools as 0 or 1, texts through Python's float literal rules. Throws
// std::invalid_argument for unreadable text and other kinds.
double py_float(const Value& v);

// Python's str(v): integers in decimal, floats as repr() writes them ("7.0", "1e-05", "nan"), a text as its
// characters, null as None, booleans as True/False, lists and objects as Python prints them.
std::string py_str(const Value& v);

// numpy.asarray(v, dtype) of a number or of nested lists of numbers: the shape follows the nesting, which must
// be rectangular. Elements: numbers and bools; null gives NaN for float types. For Bool, a number is true when
// non-zero. Throws std::invalid_argument for ragged nesting or other element kinds.
NdArray to_array(const Value& v, DType dtype);

}  // namespace velmora::json
