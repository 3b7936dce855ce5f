#pragma once
// Environment reading. Read once, at the edge of a component; pass the values on in its settings record.
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The variable's value; nothing when it is unset.
std::optional<std::string> env_get(const char* name);

// A switch that can only turn a feature off: "0", "false", "no", "off" (after trimming blanks and lower-casing)
// give false; unset or empty gives true; any other value gives true.
bool env_switch_on(const char* name);
bool switch_text_on(std::optional<std::string_view> value);

// ASCII blanks trimmed from both ends (Python's str.strip() for ASCII text).
std::string_view trim_blanks(std::string_view text);

}  // namespace velmora
