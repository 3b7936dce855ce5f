#pragma once
// The manifest reader and engine-id resolver: the avatar's manifest.json, read from a directory, an IMX
// container or a zip archive with the bundle reader the render host uses.
#include <optional>
#include <string>

#include "common/json.h"

namespace velmora::detail {

inline constexpr const char* MANIFEST_NAME = "manifest.json";
inline constexpr const char* ENGINE_KEY = "engine";
inline constexpr const char* DEFAULT_ENGINE = "vantor1";  // an avatar that names no engine

// The parsed manifest of the avatar at `source`, or nothing when it carries none (a file that is no container
// included). Throws std::system_error when the avatar cannot be read, or its manifest is not a JSON object or
// has no "engine" key (the container's, the parser's or that message in its text).
std::optional<json::Value> read_manifest(const std::string& source);

// The engine id a manifest names under "engine": "vantor1" for null (no manifest) and for a manifest without
// the key; "" (an id no engine serves) when the value is not a string.
std::string resolve_engine(const json::Value& manifest);

}  // namespace velmora::detail
