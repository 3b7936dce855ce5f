#pragma once
// The host's command line and its entry: "tarnhost render-stream <bundle> [--engine <dir|.engine>] [--threads N]".
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mirel2/ostrand/cpu_budget.h"

namespace velmora::ostrand {

inline constexpr const char* USAGE = "usage: tarnhost render-stream <bundle> [--engine <dir|.engine>] [--threads N]";

struct CommandLine {
  std::string bundle;                 // "" when none was given
  std::optional<std::string> engine;  // the "--engine" value, verbatim
  long threads = 0;                   // the "--threads" value; 0 or less is no request
};

// Scans the words after the program path. "render-stream" may stand anywhere; the first non-empty word that does
// not begin with "-" is the bundle; other words beginning with "-" are ignored. Each "--threads" value is converted
// when met (std::invalid_argument for a bad one); the last "--engine" or "--threads" wins.
CommandLine parse_command_line(const std::vector<std::string>& argv);

// What main hands over to: the warm-up, given the bundle, the engine and the settled thread count.
using RunFn = std::function<int(const std::string& bundle, const std::optional<std::string>& engine, int threads)>;

// main(argv): the usage line and 2 without a bundle; else the warm-up's status. Errors propagate.
int host_main(const std::vector<std::string>& argv, const RunFn& run, const CpuEnv& cpu = CpuEnv::system());

}  // namespace velmora::ostrand
