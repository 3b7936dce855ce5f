// The streaming renderer end to end: tarnhost on stand-in bundles (the LiteRT stand-in's chain, the real
// renderer and stream server) driven through its protocol over pipes, against tests/fixtures/render_stream/reference.json,
// which a NumPy reference of the whole pipeline wrote on the stand-in's kernels.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/process.h"
#include "mirel2/ostrand/support/render_stream.h"
#include "support/temp_dir.h"

namespace velmora::ostrand {
namespace {

using namespace testing;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::TempDir;

// Nothing a sanitizer or the host's unhandled-error report would print.
void expect_clean_stderr(const std::string& err) {
  for (const char* bad : {"AddressSanitizer", "LeakSanitizer", "runtime error:", "unhandled error"})
    EXPECT_EQ(err.find(bad), std::string::npos) << err;
}

std::string color_json(const nlohmann::json& cc) { return cc.is_null() ? "" : cc.dump(); }

struct SessionRun {
  int status;
  std::string err;
  OutputReader out;
  long peak_kb;  // sampled while the host ran, when asked for
};

SessionRun run_session(const std::string& bundle, const std::vector<Step>& steps, ProcessOptions options = {},
                OutputReader reader = OutputReader()) {
  options.on_out = [&](std::string_view data) { reader.consume(data); };
  const auto r = run_process({TARNHOST, "render-stream", bundle}, session_input(steps), options);
  return {r.status, r.err, std::move(reader), r.sampled_peak_kb};
}

// The session's feeds cut into pieces of the sizes `next_size` gives (0 allowed); flushes and resets stay.
template <class NextSize>
std::vector<Step> resplit(const std::vector<Step>& steps, NextSize next_size) {
  std::vector<Step> out;
  for (const auto& s : steps) {
    if (s.kind != Step::Feed) {
      out.push_back(s);
      continue;
    }
    for (std::int64_t left = s.samples;;) {
      const std::int64_t n = std::min(left, next_size());
      out.push_back({Step::Feed, n});
      left -= n;
      if (left == 0) break;
    }
  }
  return out;
}

// Consecutive feeds joined into one step.
std::vector<Step> joined(const std::vector<Step>& steps) {
  std::vector<Step> out;
  for (const auto& s : steps) {
    if (s.kind == Step::Feed && !out.empty() && out.back().kind == Step::Feed)
      out.back().samples += s.samples;
    else
      out.push_back(s);
  }
  return out;
}

TEST(RenderStream, FramesEqualTheNumPyReferenceOfTheWholePipeline) {
  // Several RGB workers, so the pool runs and is joined at exit without a sanitizer report.
  const ProcessOptions options{{{"MIREL2_RGB_THREADS", "3"}, {"MIREL2_COLOR_CORRECT", std::nullopt}}};
  for (const auto& [name, session] : render_stream_reference()["sessions"].items()) {
    SCOPED_TRACE(name);
    TempDir dir;
    const auto bundle = write_standin_bundle(dir.path() / "bundle", "probe",
                                             session["cc"].is_null() ? std::nullopt
                                                                     : std::optional(color_json(session["cc"])));
    const SessionRun r = run_session(bundle, steps_from_json(session["steps"]), options);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_clean_stderr(r.err);
    const auto want = records_from_json(session["records"]);
    ASSERT_EQ(r.out.records().size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(r.out.records()[i], want[i]) << "record " << i;
    const std::string kind = session["cc"].is_null() ? "null" : session["cc"].contains("lut") ? "lut" : "gain_bias";
    EXPECT_NE(r.out.hello().find(kind == "null" ? "\"color\":null" : "{\"kind\":\"" + kind + "\""),
              std::string::npos)
        << r.out.hello();
  }
}

TEST(RenderStream, FeedsOfAnySizeGiveTheSameRecords) {
  const auto& session = render_stream_reference()["sessions"]["stream"];
  const auto steps = steps_from_json(session["steps"]);
  const auto want = records_from_json(session["records"]);
  TempDir dir;
  const auto bundle = write_standin_bundle(dir.path() / "bundle", "probe");

  std::mt19937 rng(7);
  std::uniform_int_distribution<std::int64_t> random_size(0, 30000);
  const std::int64_t cycle[] = {1, 0, 799, 4097, 25599, 3};
  std::size_t at = 0;
  const std::vector<std::pair<const char*, std::vector<Step>>> splits = {
      {"joined", joined(steps)},
      {"cycle", resplit(steps, [&] { return cycle[at++ % std::size(cycle)]; })},
      {"random", resplit(steps, [&] { return random_size(rng); })},
  };
  for (const auto& [name, split] : splits) {
    SCOPED_TRACE(name);
    const SessionRun r = run_session(bundle, split, ProcessOptions{{{"MIREL2_RGB_THREADS", "2"}}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.records() == want);
  }
}

TEST(RenderStream, TenMinutesInOneStepStreamWithBoundedMemory) {
  // Frames leave chunk by chunk, so peak memory grows with the audio of a step (held by the server and the
  // store), not with its frames: ten minutes make 12,000 frames, 10.8 GB of RGB.
  TempDir dir;
  const auto bundle = write_standin_bundle(dir.path() / "bundle", "noop");
  struct Measured {
    long peak_kb;
    std::int64_t frames;
  };
  auto measure = [&](std::int64_t seconds) {
    const std::int64_t samples = seconds * SR;
    ProcessOptions options{{{"MIREL2_RGB_THREADS", "4"}}};
    options.sample_memory = true;
    const SessionRun r = run_session(bundle, {{Step::Feed, samples}, {Step::Flush, 0}}, options, OutputReader(false, false));
    EXPECT_EQ(r.status, 0) << r.err;
    expect_clean_stderr(r.err);
    // Every frame the audio owes, in order, then the marker.
    const std::int64_t end_fi = (samples + SPF - 1) / SPF - 1;
    const std::int64_t chunks = std::max<std::int64_t>(1, (end_fi + 12 + 31) / 32);
    EXPECT_EQ(r.out.frames(), 32 * chunks - 10) << seconds << " s";
    EXPECT_EQ(r.out.last_index(), 32 * chunks - 8);
    EXPECT_EQ(r.out.out_of_order(), 0);
    EXPECT_EQ(r.out.markers(), 1);
    EXPECT_FALSE(r.out.partial());
    return Measured{r.peak_kb, r.out.frames()};
  };
  const Measured one = measure(60);
  const Measured ten = measure(600);
  ASSERT_GT(one.peak_kb, 0);
  ASSERT_GT(ten.peak_kb, 0);
  EXPECT_EQ(ten.frames, 12'022);
  // The extra nine minutes of audio: 8,640,000 samples, held twice (the server's step buffer and the store).
  const long audio_kb = 2 * 540 * SR * 4 / 1024;
  EXPECT_LT(ten.peak_kb - one.peak_kb, audio_kb + 128 * 1024)
      << "peak " << one.peak_kb << " kB for one minute, " << ten.peak_kb << " kB for ten";
}

}  // namespace
}  // namespace velmora::ostrand
