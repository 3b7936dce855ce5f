#pragma once
// Model file staging: every chosen model member gets a path on disk. A member of a directory bundle is its own
// file; any other member is written to a new temporary file, listed in host_state().staged until the interpreter
// chain has loaded it (release_staged) or the process ends (drop_staged).
#include <string>
#include <vector>

namespace velmora::ostrand {

// Deletes every path of `paths` that is listed in host_state().staged (exact text match), each at most once.
// A path whose deletion fails stays listed, so that the exit hook tries again.
void release_staged(std::vector<std::string> paths);

// The exit hook: deletes every listed file, last staged first, ignoring deletion errors; empties the list.
void drop_staged();

}  // namespace velmora::ostrand
