#pragma once
// Float text read the way Python's float() reads ASCII text: optional blanks, an optional sign, then decimal
// digits with an optional fraction and exponent (single underscores allowed between digits), or "inf",
// "infinity", "nan" in any case; optional blanks. No hex, no empty text. Too large gives +-inf, too small 0.
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The value of `text`, or nothing when it is not a float literal.
std::optional<double> parse_py_float(std::string_view text);

// Python's repr() / str() of a float: the shortest text that reads back to `value`, in positional notation
// for magnitudes from 1e-4 up to 1e16 ("20.0", "0.001"), else in exponent notation ("1e+16", "1.5e-05");
// "inf", "-inf", "nan".
std::string py_float_repr(double value);

// The same layout with the shortest digits that read back to the same 32-bit float ("1.1" for 1.1f).
std::string py_float32_repr(float value);

}  // namespace velmora
