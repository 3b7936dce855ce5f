#pragma once
// The start-up search for the optional shared-encoder tool plug-in, "shared_enc_dep.so".
#include <string>

#include "mirel2/ostrand/host_state.h"

namespace velmora::ostrand {

inline constexpr const char* SHARED_ENC_DEP_FILE = "shared_enc_dep.so";
inline constexpr const char* SHARED_ENC_DEP_ENTRY = "shared_enc_dep_api";

// Tries two directories in turn: first "tools" three levels above the directory of `program` (the host's own
// program file, made absolute; ".." resolved in the text), then that directory itself. Each candidate goes to
// the front of `state.plugin_path` unless it is already on it; the plug-in is then loaded from the first
// directory of the path that holds it. Sets `state.sed` and `state.sed_why` (the directory that succeeded, or
// the loader's failure text). A plug-in that loads but hands out no usable table throws std::runtime_error.
void find_tool_module(HostState& state, const std::string& program);

}  // namespace velmora::ostrand
