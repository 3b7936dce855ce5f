#pragma once
// Running a program to its end with its output captured in memory.
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

namespace velmora {

struct ProgramResult {
  int status = 0;                 // as ChildProcess gives it: the exit status, minus a signal, or STATUS_UNKNOWN
  std::vector<std::uint8_t> out;  // everything it wrote to standard output
  std::string err;                // everything it wrote to standard error
  bool stopped = false;           // `stop` was asked, and the program was ended before its end
};

// Runs argv[0] (looked up on PATH when it holds no "/") with `argv`, standard input from /dev/null (or from
// `stdin_fd`, a descriptor of the caller's that stays open, when given) and both output pipes read together,
// so neither can stall the program; returns when it has ended. No time limit, but a stop asked on `stop` ends
// the program as ChildProcess::end does (SIGCONT and SIGTERM to it, time for its clean-up, then SIGKILL) and
// returns at once with `stopped` set. Throws std::system_error when the program cannot be started (ENOENT when
// it is not found) or its output cannot be read. With `own_process_group` it runs in a process group of its
// own (see ChildStreams), whose every process the stop ends.
ProgramResult run_captured(const std::vector<std::string>& argv, bool own_process_group = false,
                           std::stop_token stop = {}, int stdin_fd = -1);

}  // namespace velmora
