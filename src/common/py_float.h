#pragma once
// Float text read the way Python's float() reads ASCII text: optional blanks, an optional sign, then decimal
// digits with an optional fraction and exponent (single underscores allowed between digits), or "inf",
// "infinity", "nan" in any case; optional blanks. No hex, no empty text. Too large gives +-inf, too small 0.
#include <optional>
#include <string_view>

namespace velmora {

// The value of `text`, or nothing when it is not a float literal.
std::optional<double> parse_py_float(std::string_view text);

}  // namespace velmora
