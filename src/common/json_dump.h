#pragma once
// JSON written the way Python's json.dumps(value, separators=(",", ":")) writes it: compact, ASCII only.
#include <string>

#include "common/json.h"

namespace velmora::json {

// The compact text of `v`: no blanks; object members in their order; integers in decimal; floats as Python's
// repr() writes them, NaN and the infinities as NaN, Infinity and -Infinity; texts with ", \ and the controls
// escaped (\n, \r, \t, \b, \f, else \u00xx), DEL and every non-ASCII character as \uxxxx (surrogate pairs
// beyond U+FFFF). Lone surrogates, which the reader keeps as 3-byte sequences, come back as their escape, so
// dump(parse(t)) reads back to the same value. Throws std::invalid_argument for a text that is not UTF-8.
std::string dump(const Value& v);

}  // namespace velmora::json
