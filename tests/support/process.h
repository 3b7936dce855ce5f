#pragma once
// Running a program as a child process with all three standard streams on pipes, served together (poll), so
// that neither side can block the other.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  long max_rss_kb = 0;  // the child's peak resident memory
};

struct ProcessOptions {
  std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nothing) over the parent's
  bool close_stdout_early = false;  // close our read end of the child's stdout right after the start
  // When set, the child's stdout goes here piece by piece as it arrives, and ProcessResult::out stays empty
  // (for outputs too large to keep).
  std::function<void(std::string_view)> on_out = {};
};

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input,
                          const ProcessOptions& options = {});

}  // namespace velmora::testing
