#pragma once
// Integer text read the way Python's int() reads it, restricted to ASCII: optional blanks, an optional sign,
// decimal digits with single underscores between digits, optional blanks.
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora {

// The value of `text`, or nothing when the text is not an integer or its magnitude does not fit int64.
std::optional<std::int64_t> parse_strict_int(std::string_view text);

// The same, except that an integer whose magnitude does not fit int64 gives the nearest int64 (Python's int()
// would give the exact big value; callers that only clamp it lose nothing).
std::optional<std::int64_t> parse_strict_int_saturating(std::string_view text);

}  // namespace velmora
