#pragma once
// Model file staging: every chosen model member gets a path on disk. A member of a directory bundle is its own
// file; any other member is written to a new temporary file, listed in host_state().staged until the interpreter
// chain has loaded it (release_staged) or the process ends (drop_staged).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::ostrand {

// The directory named by MIREL2_STAGE_DIR (blanks trimmed), made with its parents when missing; nothing when the
// variable is unset or blank, or when the directory cannot be made (then one "unusable" line is logged and the
// system's temporary directory is used). Read afresh on every call.
std::optional<std::string> stage_dir();

// The path the interpreter is to open for member `nm` of `bundle`: bundle/nm itself when the bundle is a
// directory holding that regular file (nothing written, nothing listed); otherwise a new file, created
// exclusively in stage_dir() (or the system's temporary directory), whose name ends in "_" and the base name of
// `nm`, holding `data`, and listed once it is written and closed. A failed write or close deletes the partial
// file and throws std::system_error; so does a file that cannot be created. While it is written, the file is
// known to drop_staged_for_signal.
std::string stage_tflite(const std::string& bundle, std::string_view nm, std::string_view data);

// Deletes every path of `paths` that is listed in host_state().staged (exact text match), each at most once.
// A path whose deletion fails stays listed, so that the exit hook tries again.
void release_staged(std::vector<std::string> paths);

// The exit hook: deletes every listed file, last staged first, ignoring deletion errors; empties the list.
void drop_staged();

// The clean-up for an end by a stop signal (install_stop_signals), on the signal watcher's thread: deletes
// every listed file and the one being written right now. It takes the lock that orders it with staging and
// keeps it, as the process ends right after: nothing is staged behind it.
void drop_staged_for_signal();

}  // namespace velmora::ostrand
