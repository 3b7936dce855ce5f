// tarnhost with a scripted warm-up, chosen by FAKE_HOST_MODE:
//   serve  (default) stage the file FAKE_STAGE_FILE (when set), then serve a FakeRenderer (one chunk of two
//          frames per 1600 samples) on standard input and output;
//   throw  stage, then fail with an unexpected error (status 1);
//   fatal  stage, then end with a bundle fault (status 3).
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "mirel2/ostrand/support/fake_renderer.h"
#include "mirel2/ostrand/exit_status.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/startup.h"
#include "mirel2/ostrand/stream_server.h"

using namespace velmora::ostrand;

namespace {

int fake_run(const std::string& bundle, const std::optional<std::string>&, int threads) {
  if (const char* stage = std::getenv("FAKE_STAGE_FILE")) {
    std::ofstream(stage) << "model";
    host_state().staged.push_back(stage);
  }
  elog({"fake warm-up bundle=" + bundle + " threads=" + std::to_string(threads)});
  const std::string mode = std::getenv("FAKE_HOST_MODE") ? std::getenv("FAKE_HOST_MODE") : "serve";
  if (mode == "throw") throw std::runtime_error("scripted failure");
  if (mode == "fatal") fatal("FATAL: scripted bundle fault");
  testing::FakeRenderer renderer(1600, 2);
  InStream in(0);
  OutStream out(1);
  return serve(renderer, "fake.tflite", {in, out, monotonic_seconds});
}

}  // namespace

int main(int argc, char** argv) { return run_program(argc, argv, fake_run); }
