#pragma once
// The host process from start to exit status.
#include "mirel2/ostrand/command_line.h"

namespace velmora::ostrand {

// Start-up, in order: a closed standard input or output refused (std::system_error); a closed standard
// error opened onto /dev/null, so that no file opened later takes its place; SIGPIPE ignored (a
// vanished reader becomes a write error, so every orderly exit still cleans up); SIGINT and SIGTERM made an
// orderly end and SIGXFSZ ignored (stop_signals.h); the tool plug-in search from the host's own program file;
// the staged-file clean-up registered to run at exit. Runs once per process.
void start_up(const char* argv0);

// start_up(), then main(argv) with `run` as the warm-up. Every error ends as a status: HostExit carries its
// own, anything else is reported on standard error and gives 1.
int run_program(int argc, char** argv, const RunFn& run);

}  // namespace velmora::ostrand
