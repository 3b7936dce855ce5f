#pragma once
// Running a program to its end with its output captured in memory.
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct ProgramResult {
  int status = 0;                 // the exit status, or minus the signal number that ended the program
  std::vector<std::uint8_t> out;  // everything it wrote to standard output
  std::string err;                // everything it wrote to standard error
};

// Runs argv[0] (looked up on PATH when it holds no "/") with `argv`, standard input from /dev/null and both
// output pipes read together, so neither can stall the program; returns when it has ended. No time limit.
// Throws std::system_error when the program cannot be started (ENOENT when it is not found) or its output
// cannot be read. With `own_process_group` it runs in a process group of its own (see ChildStreams).
ProgramResult run_captured(const std::vector<std::string>& argv, bool own_process_group = false);

}  // namespace velmora
