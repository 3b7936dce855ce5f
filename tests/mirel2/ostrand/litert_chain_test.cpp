#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/float16.h"
#include "mirel2/ostrand/dec_inputs.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/litert_chain.h"
#include "mirel2/ostrand/support/chain_reference.h"
#include "support/temp_dir.h"
#include "standins/litert/standin_models.h"
#include "support/error_text.h"

namespace velmora::ostrand {
namespace {

using ::testing::HasSubstr;
using testing::float_digest;
namespace standin = velmora::testing::standin;
using velmora::testing::error_of;
using standin::SignatureSpec;
using Invoke = std::pair<std::string, std::string>;  // signature, model file name

class LitertChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_state().staged.clear();
    standin::Record::clear();
  }
  void TearDown() override { host_state().staged.clear(); }

  std::string model(const std::string& name, const std::vector<SignatureSpec>& sigs) {
    return standin::write_model((dir_.path() / name).string(), sigs);
  }
  LitertChain chain(const std::vector<std::string>& paths, int threads = 2) {
    return LitertChain(paths, canon_, threads);
  }
  // Every invoke since the last clear.
  static std::vector<Invoke> invokes() {
    std::vector<Invoke> out;
    const auto record = standin::Record::read();
    for (const auto& i : record["invokes"])
      out.emplace_back(i["signature"].get<std::string>(),
                       std::filesystem::path(i["model"].get<std::string>()).filename().string());
    return out;
  }

  // Runs every stage once: one window, two latent steps, their rows and frames.
  void run_all(LitertChain& c, DecodedFrames& frames) {
    litert::Tensor feats, tok;
    c.run_enc(tempo_, feats);
    c.run_tok(feats, tok);
    std::vector<float> hist = c.new_hist();
    std::vector<float> lat(CANON_SIZE);
    c.run_step(hist, LitertChain::token(tok, 0), lat);
    const std::vector<LatentView> lats{lat};
    ReusableBuffer<float> xs;
    const int n = build_dec_inputs(lats, 1, lat, xs);
    c.run_dec_frames(xs.span(), n, frames);
  }

  velmora::testing::TempDir dir_;
  std::vector<float> canon_ = testing::reference_canon();
  std::vector<float> tempo_ = testing::reference_tempo();
};

TEST_F(LitertChainTest, CombinedModelMatchesTheNumPyReferenceStageByStage) {
  const auto& ref = testing::chain_reference()["pipeline"];
  for (const std::string type : {"float32", "float16"}) {
    SCOPED_TRACE(type + " decoders");
    auto sigs = standin::combined_signatures();
    sigs[3] = standin::dec_signature(16, "probe", type);
    sigs[4] = standin::dec_signature(8, "probe", type);
    // A staged copy: gone once the chain has loaded it, and the chain still runs.
    const std::string path = model("combined.json", sigs);
    host_state().staged = {path};
    LitertChain c = chain({path});
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(host_state().staged.empty());
    EXPECT_EQ(c.interpreter_count(), 1u);
    EXPECT_EQ(c.canon().size(), static_cast<std::size_t>(CANON_SIZE));

    litert::Tensor feats, tok;
    c.run_enc(tempo_, feats);
    EXPECT_EQ(feats.dims(), (litert::Dims{1, TEMPO_SAMPLES}));
    EXPECT_EQ(float_digest({reinterpret_cast<const float*>(feats.data()), feats.bytes() / 4}), ref["feats"]);
    c.run_tok(feats, tok);
    EXPECT_EQ(tok.dims(), (litert::Dims{14, NA, CA}));
    EXPECT_EQ(float_digest({reinterpret_cast<const float*>(tok.data()), tok.bytes() / 4}), ref["tok"]);

    std::vector<float> hist = c.new_hist();
    std::vector<std::vector<float>> lats(2, std::vector<float>(CANON_SIZE));
    for (int j = 0; j < 2; ++j) {
      c.run_step(hist, LitertChain::token(tok, j), lats[static_cast<std::size_t>(j)]);
      LitertChain::shift_hist(hist, lats[static_cast<std::size_t>(j)]);
    }
    EXPECT_EQ(float_digest(lats[0]), ref["lat0"]);
    EXPECT_EQ(float_digest(lats[1]), ref["lat1"]);
    EXPECT_EQ(float_digest(hist), ref["hist"]);

    const std::vector<LatentView> views{lats[0], lats[1]};
    ReusableBuffer<float> xs;
    const int n = build_dec_inputs(views, 2, std::nullopt, xs);
    ASSERT_EQ(n, ref["n"].get<int>());
    EXPECT_EQ(float_digest(xs.span()), ref["xs"]);
    DecodedFrames frames;
    c.run_dec_frames(xs.span(), n, frames);
    ASSERT_EQ(frames.size(), n);
    EXPECT_EQ(float_digest(frames.values()), ref[type == "float32" ? "frames" : "frames_float16"]);
    // The same frames handed over batch by batch, without the copy.
    std::vector<float> batched;
    c.run_dec_batches(xs.span(), n, [&](int first, std::span<const float> values) {
      EXPECT_EQ(static_cast<std::size_t>(first) * FRAME_VALUES, batched.size());
      batched.insert(batched.end(), values.begin(), values.end());
    });
    EXPECT_EQ(float_digest(batched), ref[type == "float32" ? "frames" : "frames_float16"]);
  }
}

TEST_F(LitertChainTest, EarlierResultsSurviveLaterCalls) {
  LitertChain c = chain({model("m.json", standin::combined_signatures())});
  litert::Tensor first, second;
  c.run_enc(tempo_, first);
  const std::string digest = float_digest({reinterpret_cast<const float*>(first.data()), first.bytes() / 4});
  std::vector<float> other(TEMPO_SAMPLES, 0.5f);
  c.run_enc(other, second);
  EXPECT_EQ(float_digest({reinterpret_cast<const float*>(first.data()), first.bytes() / 4}), digest);
}

TEST_F(LitertChainTest, SplitFilesServeEachSignatureFromTheFileOfferingIt) {
  const std::string a = model("a.json", {standin::enc_signature(), standin::step_signature(), standin::dec_signature(8)});
  const std::string b = model("b.json", {standin::tok_signature(), standin::dec_signature(16)});
  LitertChain c = chain({a, b});
  EXPECT_EQ(c.interpreter_count(), 2u);
  DecodedFrames frames;
  run_all(c, frames);
  EXPECT_EQ(invokes(), (std::vector<Invoke>{{"enc", "a.json"}, {"tok14", "b.json"}, {"step", "a.json"}, {"dec8", "a.json"}}));
  std::vector<float> rows(9 * DEC_ROW_VALUES, 0.0f);
  standin::Record::clear();
  c.run_dec_frames(rows, 9, frames);
  EXPECT_EQ(invokes(), (std::vector<Invoke>{{"dec16", "b.json"}}));
}

TEST_F(LitertChainTest, FirstFileOfferingASignatureServesIt) {
  const std::string a = model("a.json", {standin::enc_signature(), standin::tok_signature()});
  const std::string b = model("b.json", standin::combined_signatures());
  LitertChain c = chain({a, b});
  DecodedFrames frames;
  run_all(c, frames);
  EXPECT_EQ(invokes(), (std::vector<Invoke>{{"enc", "a.json"}, {"tok14", "a.json"}, {"step", "b.json"}, {"dec8", "b.json"}}));
}

TEST_F(LitertChainTest, ThreadCountReachesTheRuntimeUnchanged) {
  const std::string a = model("a.json", {standin::enc_signature(), standin::tok_signature()});
  const std::string b = model("b.json", standin::combined_signatures());
  for (const int threads : {1, 3, 7}) {
    standin::Record::clear();
    LitertChain c = chain({a, b}, threads);
    const auto its = standin::Record::read()["interpreters"];
    ASSERT_EQ(its.size(), 2u);
    EXPECT_EQ(its[0]["threads"], threads);
    EXPECT_EQ(its[1]["threads"], threads);
    EXPECT_EQ(its[0]["model"], a);
    EXPECT_EQ(its[1]["model"], b);
  }
}

TEST_F(LitertChainTest, MissingSignaturesAreNamedAfterStagedCopiesAreReleased) {
  const std::string staged = model("staged.json", {standin::step_signature(), standin::enc_signature()});
  const std::string kept = model("kept.json", {standin::tok_signature()});
  host_state().staged = {staged, "/elsewhere/other.json"};
  EXPECT_EQ(error_of([&] { chain({staged, kept}); }),
            "LiteRT chain missing signature(s) ['dec16', 'dec8'] across ['" + staged + "', '" + kept +
                "'] (have ['enc', 'step', 'tok14']); need combined_litert.tflite OR shared-enc.tflite + "
                "identity.tflite");
  EXPECT_FALSE(std::filesystem::exists(staged));
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_EQ(host_state().staged, std::vector<std::string>{"/elsewhere/other.json"});
}

TEST_F(LitertChainTest, LoadFailuresLeaveStagedCopiesToTheExitHook) {
  const std::string good = model("good.json", {standin::enc_signature()});
  auto failing = standin::combined_signatures();
  failing[2].kernel = "fail_allocate";
  const std::string cases[][2] = {
      {model("alloc.json", failing), "refuses to allocate"},
      {dir_.write("garbage.json", "{not json"), "LiteRT could not load the model file"},
  };
  for (const auto& [bad, message] : cases) {
    host_state().staged = {good, bad};
    EXPECT_THAT(error_of([&] { chain({good, bad}); }), HasSubstr(message));
    EXPECT_TRUE(std::filesystem::exists(good));
    EXPECT_EQ(host_state().staged.size(), 2u);
  }
  // A canon of the wrong size: checked last, after the signatures.
  host_state().staged.clear();
  EXPECT_THAT(error_of([&] { LitertChain({good}, std::vector<float>(10), 1); }), HasSubstr("missing signature(s)"));
  EXPECT_EQ(error_of([&] { LitertChain({model("all.json", standin::combined_signatures())}, std::vector<float>(10), 1); }),
            "cannot reshape array of size 10 into shape (16,4680)");
}

TEST_F(LitertChainTest, StepKeysFollowTheFiveDimensionalInput) {
  SignatureSpec no_history = standin::step_signature();
  no_history.inputs = {{"args_0", "float32", {1, 16, 384}}, {"args_1", "float32", {1, 16, 384}}};
  const struct {
    SignatureSpec step;
    const char* hist;
    const char* atok;
  } cases[] = {
      {standin::step_signature("args_0", "args_1"), "args_0", "args_1"},
      {standin::step_signature("args_1", "args_0"), "args_1", "args_0"},
      {no_history, "args_0", "args_1"},
  };
  std::vector<std::string> latents;
  for (const auto& c : cases) {
    auto sigs = standin::combined_signatures();
    sigs[2] = c.step;
    LitertChain ch = chain({model("step" + std::to_string(&c - cases) + ".json", sigs)});
    EXPECT_EQ(ch.hist_key(), c.hist);
    EXPECT_EQ(ch.atok_key(), c.atok);
    if (&c == &cases[2]) continue;
    litert::Tensor feats, tok;
    ch.run_enc(tempo_, feats);
    ch.run_tok(feats, tok);
    std::vector<float> lat(CANON_SIZE);
    ch.run_step(ch.new_hist(), LitertChain::token(tok, 3), lat);
    latents.push_back(float_digest(lat));
  }
  // Whichever name the history has, it reaches the history input.
  EXPECT_EQ(latents[0], latents[1]);
}

TEST_F(LitertChainTest, HistoryStartsAsCanonAndShiftsTowardsTheFront) {
  LitertChain c = chain({model("m.json", standin::combined_signatures())});
  std::vector<float> h = c.new_hist();
  std::vector<float> other = c.new_hist();
  other[0] += 1.0f;
  ASSERT_EQ(h.size(), HIST_VALUES);
  auto slot = [](const std::vector<float>& hist, std::size_t ch, std::size_t s) {
    return std::vector<float>(hist.begin() + static_cast<long>((ch * CTX + s) * PLANE),
                              hist.begin() + static_cast<long>((ch * CTX + s + 1) * PLANE));
  };
  auto canon_plane = [&](std::size_t ch) {
    return std::vector<float>(canon_.begin() + static_cast<long>(ch * PLANE), canon_.begin() + static_cast<long>((ch + 1) * PLANE));
  };
  for (std::size_t ch = 0; ch < LC; ++ch)
    for (std::size_t s = 0; s < CTX; ++s) ASSERT_EQ(slot(h, ch, s), canon_plane(ch));

  const std::vector<float> a = testing::reference_latent(1), b = testing::reference_latent(2);
  LitertChain::shift_hist(h, a);
  LitertChain::shift_hist(h, b);
  for (std::size_t ch = 0; ch < LC; ++ch) {
    for (std::size_t s = 0; s < CTX - 2; ++s) ASSERT_EQ(slot(h, ch, s), canon_plane(ch));
    EXPECT_EQ(slot(h, ch, CTX - 2), std::vector<float>(a.begin() + static_cast<long>(ch * PLANE), a.begin() + static_cast<long>((ch + 1) * PLANE)));
    EXPECT_EQ(slot(h, ch, CTX - 1), std::vector<float>(b.begin() + static_cast<long>(ch * PLANE), b.begin() + static_cast<long>((ch + 1) * PLANE)));
  }
  EXPECT_THROW(LitertChain::shift_hist(h, std::vector<float>(CANON_SIZE + 1)), std::invalid_argument);
  std::vector<float> short_hist(HIST_VALUES - 1);
  EXPECT_THROW(LitertChain::shift_hist(short_hist, a), std::invalid_argument);
}

TEST_F(LitertChainTest, DecoderScheduleBatchesRowsInOrderAndDropsPadding) {
  LitertChain c = chain({model("m.json", standin::combined_signatures())});
  // Row k: every latent value (k + 1) / 64, phase k mod 4.
  std::vector<float> rows(32 * DEC_ROW_VALUES);
  for (std::size_t k = 0; k < 32; ++k) {
    float* row = rows.data() + k * DEC_ROW_VALUES;
    std::fill(row, row + 2 * CANON_SIZE, static_cast<float>(k + 1) / 64.0f);
    for (std::size_t q = 0; q < 4; ++q)
      std::fill(row + (2 * LC + q) * PLANE, row + (2 * LC + q + 1) * PLANE, q == k % 4 ? 1.0f : 0.0f);
  }
  using Call = std::pair<std::string, int>;  // signature, zero rows
  const std::pair<int, std::vector<Call>> cases[] = {
      {0, {}},
      {1, {{"dec8", 7}}},
      {7, {{"dec8", 1}}},
      {8, {{"dec8", 0}}},
      {9, {{"dec16", 7}}},
      {16, {{"dec16", 0}}},
      {17, {{"dec16", 0}, {"dec8", 7}}},
      {21, {{"dec16", 0}, {"dec8", 3}}},
      {24, {{"dec16", 0}, {"dec8", 0}}},
      {25, {{"dec16", 0}, {"dec16", 7}}},
      {32, {{"dec16", 0}, {"dec16", 0}}},
  };
  DecodedFrames frames;
  for (const auto& [n, calls] : cases) {
    SCOPED_TRACE("n = " + std::to_string(n));
    standin::Record::clear();
    c.run_dec_frames(std::span(rows).first(static_cast<std::size_t>(n) * DEC_ROW_VALUES), n, frames);
    std::vector<Call> seen;
    const auto record = standin::Record::read();
    for (const auto& i : record["invokes"])
      seen.emplace_back(i["signature"].get<std::string>(), i["zero_rows"].get<int>());
    EXPECT_EQ(seen, calls);
    ASSERT_EQ(frames.size(), n);
    for (int k = 0; k < n; ++k) {
      const auto f = frames.frame(k);
      const float v = static_cast<float>(k + 1) / 64.0f * 0.5f + 0.25f;
      ASSERT_EQ(f[0], v) << "frame " << k;                       // R: the latent
      ASSERT_EQ(f[FRAME_VALUES / 3 + 100], v) << "frame " << k;  // G: the previous latent
      // B: the phase's column of every 4 shows 1.125, the others -0.125.
      ASSERT_EQ(f[2 * FRAME_VALUES / 3 + static_cast<std::size_t>(k % 4)], 1.125f) << "frame " << k;
      ASSERT_EQ(f[2 * FRAME_VALUES / 3 + static_cast<std::size_t>((k + 1) % 4)], -0.125f) << "frame " << k;
    }
  }
  EXPECT_THROW(c.run_dec_frames(std::span(rows).first(DEC_ROW_VALUES), 2, frames), std::invalid_argument);

  // Batch by batch: the same schedule, each batch's real rows once, in order.
  std::vector<std::pair<int, std::size_t>> batches;  // first row, frames
  standin::Record::clear();
  c.run_dec_batches(rows, 21, [&](int first, std::span<const float> values) {
    batches.emplace_back(first, values.size() / FRAME_VALUES);
    EXPECT_EQ(values[0], static_cast<float>(first + 1) / 64.0f * 0.5f + 0.25f);
  });
  EXPECT_EQ(batches, (std::vector<std::pair<int, std::size_t>>{{0, 16}, {16, 5}}));
  EXPECT_EQ(standin::Record::invoked(), (std::vector<std::string>{"dec16", "dec8"}));
  EXPECT_THROW(c.run_dec_batches(std::span(rows).first(DEC_ROW_VALUES), 2, [](int, std::span<const float>) {}),
               std::invalid_argument);
}

TEST_F(LitertChainTest, WrongOutputShapesAndTypeMismatchesRaise) {
  using Stage = int;  // how far run_all-like calls go: 0 enc, 1 tok, 2 step, 3 decoders
  const auto with = [](int index, SignatureSpec s) {
    auto sigs = standin::combined_signatures();
    sigs[static_cast<std::size_t>(index)] = std::move(s);
    return sigs;
  };
  SignatureSpec dec_hwc = standin::dec_signature(8, "noop");
  dec_hwc.outputs[0].dims = {8, 720, 416, 3};
  SignatureSpec noop_step = standin::step_signature("args_0", "args_1", "float32", {1, 16, 90, 50});
  noop_step.kernel = "noop";
  SignatureSpec enc_int8 = standin::enc_signature();
  enc_int8.inputs[0].type = "int8";
  const struct {
    const char* name;
    std::vector<SignatureSpec> sigs;
    Stage fails_at;
    std::string message;
  } cases[] = {
      {"decoder frames laid out HWC", with(4, dec_hwc), 3,
       "LiteRT signature 'dec8' gave output_0 of shape (8, 720, 416, 3); frames need (8, 3, 720, 416)"},
      {"tokens of another size", with(1, standin::tok_signature("float32", {86000})), 1,
       "cannot reshape array of size 86000 into shape (14,16,384)"},
      {"latent of another size", with(2, noop_step), 2,
       "cannot reshape array of size 72000 into shape (16,90,52)"},
      {"float16 tokens into a float32 step", with(1, standin::tok_signature("float16")), 2,
       "Cannot set tensor: Got value of type FLOAT16 but expected type FLOAT32 for input 'args_1' of signature "
       "'step'"},
      {"an int8 encoder", with(0, enc_int8), 0,
       "Cannot set tensor: Got value of type FLOAT32 but expected type INT8 for input 'args_0' of signature 'enc'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LitertChain ch = chain({model("case.json", c.sigs)});
    litert::Tensor feats, tok;
    std::vector<float> lat(CANON_SIZE);
    DecodedFrames frames;
    const std::vector<float> rows(DEC_ROW_VALUES, 0.0f);
    const std::function<void()> stages[] = {
        [&] { ch.run_enc(tempo_, feats); },
        [&] { ch.run_tok(feats, tok); },
        [&] { ch.run_step(ch.new_hist(), LitertChain::token(tok, 0), lat); },
        [&] { ch.run_dec_frames(rows, 1, frames); },
    };
    for (Stage s = 0; s < c.fails_at; ++s) stages[s]();
    EXPECT_EQ(error_of(stages[c.fails_at]), c.message);
  }
}

}  // namespace
}  // namespace velmora::ostrand
