#pragma once
// Warm-up: from the command line to the stream server. Loads the bundle and its colour correction, settles the
// interpreter threads for the number of model files, builds the interpreter chain and the streaming renderer and
// hands them to the server. Writes nothing to standard output: the server's hello line is the first the peer
// sees, so it also says that every model has loaded.
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mirel2/ostrand/bundle_loader.h"
#include "mirel2/ostrand/color_correct.h"
#include "mirel2/ostrand/cpu_budget.h"
#include "mirel2/ostrand/litert_chain.h"
#include "mirel2/ostrand/q8gd.h"
#include "mirel2/ostrand/renderer_api.h"

namespace velmora::ostrand {

using ChainFactory = std::function<std::unique_ptr<LitertChain>(const std::vector<std::string>& paths,
                                                                std::span<const float> canon, int threads)>;
// The renderer keeps `chain` for its whole life; warm-up keeps the chain alive longer than the renderer.
using RendererFactory =
    std::function<std::unique_ptr<StreamRenderer>(LitertChain& chain, std::shared_ptr<const ColorCorrect> cc)>;
// Serves the protocol until the input ends; returns the exit status.
using ServeFn = std::function<int(StreamRenderer& renderer, std::string_view model_label)>;

// The interpreter chain on the process's LiteRT library.
std::unique_ptr<LitertChain> build_chain(const std::vector<std::string>& paths, std::span<const float> canon,
                                         int threads);
// The streaming renderer.
std::unique_ptr<StreamRenderer> build_renderer(LitertChain& chain, std::shared_ptr<const ColorCorrect> cc);
// The stream server on standard input and output.
int serve_stdio(StreamRenderer& renderer, std::string_view model_label);

// What warm-up builds with and where it reads the machine; the defaults are the host's own.
struct WarmupDeps {
  ChainFactory make_chain = build_chain;
  RendererFactory make_renderer = build_renderer;
  ServeFn serve = serve_stdio;
  CpuEnv cpu = CpuEnv::system();    // the CPU budget of the two-interpreter split
  Q8gdProbe q8gd = host_q8gd_probe();
};

// Warm-up with the host's own parts; returns the stream server's exit status. `threads` is the count the
// command line settled (at least 1). A bundle fault ends the host inside (HostExit, status 3); failures of the
// chain or the renderer are thrown, before the hello line.
int run(const std::string& bundle, const std::optional<std::string>& engine, int threads);
// The same with chosen parts.
int run_with(const std::string& bundle, const std::optional<std::string>& engine, int threads, const WarmupDeps& deps);

}  // namespace velmora::ostrand
