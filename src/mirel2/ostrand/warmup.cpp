#include "mirel2/ostrand/warmup.h"

#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/renderer.h"
#include "mirel2/ostrand/stream_io.h"
#include "mirel2/ostrand/stream_server.h"

namespace velmora::ostrand {

std::unique_ptr<LitertChain> build_chain(const std::vector<std::string>& paths, std::span<const float> canon,
                                         int threads) {
  return std::make_unique<LitertChain>(paths, canon, threads);
}

std::unique_ptr<StreamRenderer> build_renderer(LitertChain& chain, std::shared_ptr<const ColorCorrect> cc) {
  return std::make_unique<Renderer>(chain, std::move(cc));
}

int serve_stdio(StreamRenderer& renderer, std::string_view model_label) {
  InStream in(0);
  OutStream out(1);
  return serve(renderer, model_label, {in, out, monotonic_seconds});
}

int run_with(const std::string& bundle, const std::optional<std::string>& engine, int threads,
             const WarmupDeps& deps) {
  elog({"warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ..."});
  const ModelChoice model = load_bundle(bundle, engine, deps.q8gd);
  const ColorResult color = load_color_correct(bundle);
  elog({color.text});
  if (model.paths.size() > 1) {
    // Two interpreters run side by side: together they stay within the CPUs.
    const int capped = default_threads(static_cast<int>(model.paths.size()), threads, deps.cpu);
    if (capped != threads)
      elog({"2-interpreter split: threads " + std::to_string(threads) + " -> " + std::to_string(capped) +
            " (<= cores/2)"});
    threads = capped;
  }
  const std::unique_ptr<LitertChain> chain = deps.make_chain(model.paths, model.canon, threads);
  const std::unique_ptr<StreamRenderer> renderer = deps.make_renderer(*chain, color.cc);
  return deps.serve(*renderer, model.label);
}

int run(const std::string& bundle, const std::optional<std::string>& engine, int threads) {
  return run_with(bundle, engine, threads, WarmupDeps{});
}

}  // namespace velmora::ostrand
