// tarnhost on the LiteRT stand-in, with a warm-up of its own in place of the bundle loader: the bundle is a
// directory holding combined_litert.tflite (a stand-in model file), canon.bin (the canon latent, float32) and,
// optionally, color.json. It builds the interpreter chain and the streaming renderer, serves the protocol on
// standard input and output, and at the end logs its peak resident memory ("peak_rss_kb=N").
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/bundle.h"
#include "mirel2/ostrand/color_correct.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/exit_status.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/litert_chain.h"
#include "mirel2/ostrand/renderer.h"
#include "mirel2/ostrand/startup.h"
#include "mirel2/ostrand/stream_server.h"

using namespace velmora::ostrand;

namespace {

int standin_run(const std::string& bundle, const std::optional<std::string>&, int threads) {
  const auto canon_member = velmora::member_bytes(bundle, {"canon.bin"});
  if (!canon_member || canon_member->bytes.size() != std::size_t{CANON_SIZE} * sizeof(float))
    fatal("FATAL: the stand-in bundle needs canon.bin of " + std::to_string(CANON_SIZE) + " float32 values");
  std::vector<float> canon(CANON_SIZE);
  std::memcpy(canon.data(), canon_member->bytes.data(), canon_member->bytes.size());
  const ColorResult color = load_color_correct(bundle);
  elog({color.text});

  LitertChain chain({bundle + "/" + std::string(COMBINED_MEMBER)}, canon, threads);
  Renderer renderer(chain, color.cc);
  InStream in(0);
  OutStream out(1);
  const int status = serve(renderer, COMBINED_MEMBER, {in, out, monotonic_seconds});

  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  elog({"peak_rss_kb=" + std::to_string(usage.ru_maxrss)});
  return status;
}

}  // namespace

int main(int argc, char** argv) { return run_program(argc, argv, standin_run); }
