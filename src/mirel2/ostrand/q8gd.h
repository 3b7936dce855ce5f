#pragma once
// The int8-decoder variant of the combined model (combined_litert_q8gd.tflite): served in place of
// combined_litert.tflite only from a directory bundle, and only when every test passes, in this order: the
// MIREL2_Q8GD switch is not off, the CPU has an int8 dot-product instruction set, the manifest binds the
// variant to the combined model it was cut from, the LiteRT runtime is the one the variant was gated on (when
// one is recorded), and the variant file's SHA-256 is the declared one. Every outcome is soft.
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "common/json.h"

namespace velmora::ostrand {

// The running LiteRT runtime's version text, or nothing when it cannot be read.
using RuntimeVersionFn = std::function<std::optional<std::string>()>;

// Where the selection looks, apart from the bundle and the environment.
struct Q8gdProbe {
  std::string cpuinfo = "/proc/cpuinfo";  // CPU description; only its first "flags" line is read
  RuntimeVersionFn runtime_version;       // asked once, only when the binding holds; empty: version unreadable
};

struct Q8gdChoice {
  std::optional<std::string> path;  // bundle/combined_litert_q8gd.tflite when the variant is served
  std::string line;                 // the line to log ("" for no line): why it is or is not served
};

// The first of INT8_DOT_FLAGS that the first line beginning with "flags" lists after its colon; nothing when the
// file cannot be read, has no such line, or that line lists neither. Throws PyError (IndexError) for a "flags"
// line without a colon.
std::optional<std::string> int8_dot_isa(const std::string& cpuinfo = "/proc/cpuinfo");

// The decision for `bundle`, as the path to load (or nothing) and the one line that says why. Never throws: a
// failure on the way (a missing or broken manifest, an unreadable file) gives a FALLBACK line naming it.
Q8gdChoice select_q8gd(const std::string& bundle, const Q8gdProbe& probe = {});

namespace detail {

// The manifest's binding of the variant: the declared digest (a set JSON value) and "bound", or nothing and
// the reason. Throws PyError (AttributeError) for a manifest or members_sha256 that is set but no object.
std::pair<std::optional<json::Value>, std::string> q8gd_bound(const json::Value& manifest);

// Whether the running runtime passes the variant's recorded gate, and the reason.
std::pair<bool, std::string> q8gd_runtime_ok(const json::Value& manifest, const std::optional<std::string>& running);

}  // namespace detail
}  // namespace velmora::ostrand
