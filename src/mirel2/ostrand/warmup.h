#pragma once
// Warm-up: from the command line to the stream server (load the bundle, build the chain and the renderer).
#include <optional>
#include <string>

namespace velmora::ostrand {

// Returns the stream server's exit status.
int run(const std::string& bundle, const std::optional<std::string>& engine, int threads);

}  // namespace velmora::ostrand
