#include <gtest/gtest.h>

#include <filesystem>

#include "mirel2/ostrand/exit_status.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/staging.h"
#include "mirel2/ostrand/support/fake_renderer.h"
#include "mirel2/ostrand/support/fake_sed.h"
#include "mirel2/ostrand/support/log_capture.h"
#include "support/temp_dir.h"
#include "mirel2/ostrand/warmup.h"
#include "standins/litert/standin_models.h"
#include "support/bundle_fixture.h"

namespace velmora::ostrand {
namespace {

namespace standin = velmora::testing::standin;
using testing::FakeRenderer;
using testing::ScopedSed;
using velmora::testing::BundleFixture;
using velmora::testing::LogCapture;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

const std::string CANON(std::size_t{CANON_SIZE} * 4, '\0');
const std::string COMBINED = standin::model_json(standin::combined_signatures());
const std::string SHARED_ENC = standin::model_json({standin::enc_signature(), standin::tok_signature()});
const std::string IDENTITY =
    standin::model_json({standin::step_signature(), standin::dec_signature(16), standin::dec_signature(8)});
const std::string GAIN_BIAS = R"({"gain": [1.0, 1.0, 1.0], "bias": [2, 0, 0]})";

// What warm-up handed to each part.
struct Seen {
  std::vector<std::string> paths;
  int threads = 0;
  std::size_t interpreters = 0;
  bool renderer_made = false;
  bool cc = false;
  std::string label;
  std::string calls;  // the renderer's calls while serving
};

class Warmup : public ::testing::Test {
 protected:
  void SetUp() override { host_state().staged.clear(); }
  void TearDown() override { drop_staged(); }

  // Warm-up on `cpus` CPUs with a chain on the LiteRT stand-in, a scripted renderer and a server that feeds it
  // one chunk of audio.
  int run(const std::string& bundle, int threads, long cpus, Seen& seen) {
    WarmupDeps deps;
    deps.make_chain = [&](const std::vector<std::string>& paths, std::span<const float> canon, int t) {
      seen.paths = paths;
      seen.threads = t;
      auto chain = build_chain(paths, canon, t);
      seen.interpreters = chain->interpreter_count();
      return chain;
    };
    deps.make_renderer = [&](LitertChain&, std::shared_ptr<const ColorCorrect> cc) -> std::unique_ptr<StreamRenderer> {
      seen.renderer_made = true;
      seen.cc = cc != nullptr;
      return std::make_unique<FakeRenderer>(1600, 2);
    };
    deps.serve = [&](StreamRenderer& r, std::string_view label) {
      seen.label = label;
      const std::vector<float> pcm(1600);
      r.feed(pcm);
      r.ready_chunks([](std::span<const FramePair>) {});
      seen.calls = static_cast<FakeRenderer&>(r).calls;
      return 7;
    };
    deps.cpu = CpuEnv{cpu_root_.str(), [cpus] { return cpus; }, [] { return std::nullopt; }};
    return run_with(bundle, std::nullopt, threads, deps);
  }

  TempDir tmp_, cpu_root_;
  ScopedEnv stage_{"MIREL2_STAGE_DIR", tmp_.str() + "/stage"};
  ScopedSed sed_;
};

TEST_F(Warmup, OneModelFileKeepsTheThreadCount) {
  const std::string bundle =
      BundleFixture{{"canon.bin", CANON}, {"combined_litert.tflite", COMBINED}, {"color.json", GAIN_BIAS}}.write_zip(
          tmp_.path() / "anna.zip");
  Seen seen;
  LogCapture log;
  EXPECT_EQ(run(bundle, 16, 4, seen), 7);  // the server's status, unchanged
  EXPECT_EQ(seen.threads, 16);
  EXPECT_EQ(seen.interpreters, 1u);
  EXPECT_TRUE(seen.cc);
  EXPECT_EQ(seen.label, "combined_litert.tflite");
  EXPECT_EQ(seen.calls, "fr");
  EXPECT_TRUE(host_state().staged.empty());  // the chain released the staged model once loaded
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u) << log.text();
  EXPECT_EQ(lines[0], "[tarnhost] warming up identity=" + bundle + " threads=16 ...");
  EXPECT_TRUE(lines[1].starts_with("[tarnhost] colour-correct: APPLIED")) << lines[1];
}

TEST_F(Warmup, TwoModelFilesShareTheCpus) {
  const std::string bundle = BundleFixture{{"canon.bin", CANON},
                                           {"identity.tflite", IDENTITY},
                                           {"shared-enc.tflite", SHARED_ENC}}
                                 .write_directory(tmp_.path() / "split");
  struct Case {
    int threads;
    long cpus;
    int chain_threads;
    bool split_line;
  };
  for (const Case c : {Case{8, 8, 4, true}, Case{2, 8, 2, false}, Case{4, 1, 1, true}, Case{1, 1, 1, false}}) {
    Seen seen;
    LogCapture log;
    EXPECT_EQ(run(bundle, c.threads, c.cpus, seen), 7);
    EXPECT_EQ(seen.threads, c.chain_threads);
    EXPECT_EQ(seen.paths, (std::vector<std::string>{bundle + "/shared-enc.tflite", bundle + "/identity.tflite"}));
    EXPECT_EQ(seen.interpreters, 2u);
    EXPECT_FALSE(seen.cc);
    EXPECT_EQ(seen.label, "shared-enc.tflite+identity.tflite");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), c.split_line ? 5u : 4u) << log.text();
    EXPECT_EQ(lines[0], "[tarnhost] warming up identity=" + bundle + " threads=" + std::to_string(c.threads) + " ...");
    EXPECT_TRUE(lines[1].starts_with("[tarnhost] two-artifact split: base UNVERIFIED")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("[tarnhost] two-artifact split: enc=")) << lines[2];
    EXPECT_TRUE(lines[3].starts_with("[tarnhost] colour-correct: NOT APPLIED")) << lines[3];
    if (c.split_line) {
      EXPECT_EQ(lines[4], "[tarnhost] 2-interpreter split: threads " + std::to_string(c.threads) + " -> " +
                              std::to_string(c.chain_threads) + " (<= cores/2)");
    }
  }
}

TEST_F(Warmup, ABundleFaultStopsBeforeTheColourLine) {
  const std::string bundle = BundleFixture{{"combined_litert.tflite", COMBINED}}.write_directory(tmp_.path() / "b");
  Seen seen;
  LogCapture log;
  try {
    run(bundle, 2, 8, seen);
    ADD_FAILURE() << "warm-up went on";
  } catch (const HostExit& e) {
    EXPECT_EQ(e.status, 3);
  }
  EXPECT_EQ(log.text(), "[tarnhost] warming up identity=" + bundle + " threads=2 ...\n[tarnhost] FATAL: no canon.bin in " +
                            bundle + " (per-identity canon latent required)\n");
  EXPECT_TRUE(seen.paths.empty());
}

TEST_F(Warmup, AChainMissingASignatureFailsBeforeTheRenderer) {
  const std::string bundle = BundleFixture{{"canon.bin", CANON},
                                           {"identity.tflite", IDENTITY},
                                           {"shared-enc.tflite", standin::model_json({standin::enc_signature()})}}
                                 .write_zip(tmp_.path() / "b.zip");
  Seen seen;
  LogCapture log;
  EXPECT_THROW(run(bundle, 2, 8, seen), std::runtime_error);
  EXPECT_FALSE(seen.renderer_made);
  EXPECT_TRUE(host_state().staged.empty());  // released before the signatures were checked
}

}  // namespace
}  // namespace velmora::ostrand
