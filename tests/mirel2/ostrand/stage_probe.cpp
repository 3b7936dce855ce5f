// tarnhost with a warm-up that stages the two models of the zip bundle named on its command line, releases
// nothing, logs "staged 2" and ends as STAGE_PROBE_END says: return0, return2 (statuses from the warm-up),
// throw (an unexpected error: status 1) or fatal (a bundle fault: status 3).
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/bundle.h"
#include "mirel2/ostrand/exit_status.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/staging.h"
#include "mirel2/ostrand/startup.h"

using namespace velmora::ostrand;

namespace {

int probe_run(const std::string& bundle, const std::optional<std::string>&, int) {
  for (const char* name : {"combined_litert.tflite", "identity.tflite"}) {
    const auto m = velmora::member_bytes(bundle, {name});
    if (!m) throw std::runtime_error(std::string("no ") + name);
    stage_tflite(bundle, m->name, m->bytes);
  }
  elog({"staged", std::to_string(host_state().staged.size())});
  const std::string end = std::getenv("STAGE_PROBE_END") ? std::getenv("STAGE_PROBE_END") : "return0";
  if (end == "throw") throw std::runtime_error("scripted failure");
  if (end == "fatal") fatal("FATAL: scripted bundle fault");
  return end == "return2" ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) { return run_program(argc, argv, probe_run); }
