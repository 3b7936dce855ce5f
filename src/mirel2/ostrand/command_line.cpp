#include "mirel2/ostrand/command_line.h"

#include "mirel2/ostrand/host_state.h"

namespace velmora::ostrand {

CommandLine parse_command_line(const std::vector<std::string>& argv) {
  CommandLine cl;
  std::size_t i = 1;
  while (i < argv.size()) {
    const std::string& a = argv[i];
    const bool has_value = i + 1 < argv.size();
    if (a == "render-stream") {
      i += 1;
    } else if (a == "--engine" && has_value) {
      cl.engine = argv[i + 1];
      i += 2;
    } else if (a == "--threads" && has_value) {
      cl.threads = parse_thread_count(argv[i + 1]);
      i += 2;
    } else {
      if (!a.empty() && a[0] != '-' && cl.bundle.empty()) cl.bundle = a;
      i += 1;
    }
  }
  return cl;
}

int host_main(const std::vector<std::string>& argv, const RunFn& run, const CpuEnv& cpu) {
  const CommandLine cl = parse_command_line(argv);
  if (cl.bundle.empty()) {
    elog({USAGE});
    return 2;
  }
  const int threads = default_threads(1, cl.threads, cpu);
  return run(cl.bundle, cl.engine, threads);
}

}  // namespace velmora::ostrand
