#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/cpu_budget.h"
#include "mirel2/ostrand/rgb888.h"
#include "mirel2/ostrand/support/log_capture.h"
#include "support/temp_dir.h"
#include "support/error_text.h"

namespace velmora::ostrand {
namespace {

using velmora::testing::error_of;
using velmora::testing::LogCapture;
using velmora::testing::ScopedEnv;

constexpr std::size_t PLANE_PX = std::size_t{FH} * FW;
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

// A frame whose values vary with the frame number, the plane and the pixel, and leave [0, 1] both ways.
std::vector<float> test_frame(int k) {
  std::vector<float> f(3 * PLANE_PX);
  for (std::size_t i = 0; i < f.size(); ++i)
    f[i] = static_cast<float>(static_cast<int>((i * 37 + static_cast<std::size_t>(k) * 1009) % 1400) - 200) / 1000.0f;
  return f;
}

std::vector<std::span<const float>> spans(const std::vector<std::vector<float>>& frames) {
  return {frames.begin(), frames.end()};
}

ColorCorrect lut_correction() {
  LutRows rows{};
  for (int v = 0; v < 256; ++v) {
    rows[0][v] = static_cast<std::uint8_t>(255 - v);  // red inverted
    rows[1][v] = static_cast<std::uint8_t>(v);        // green unchanged
    rows[2][v] = 7;                                   // blue constant
  }
  return {.kind = "lut", .lut = rows, .gain = {}, .bias = {}, .source = "test"};
}

// Values where a fused multiply-add would round differently, and sums just below a whole number.
ColorCorrect gain_bias_correction() {
  return {.kind = "gain_bias", .lut = {}, .gain = ChannelValues{1.1f, 0.7f, 1.0001f},
          .bias = ChannelValues{-3.3f, 10.01f, -0.01f}, .source = "test"};
}

TEST(Rgb888, ValuesScaleClipAndTruncateIntoInterleavedPixels) {
  struct Case {
    float v;
    std::uint8_t want;
  };
  const Case cases[] = {
      {1.0f, 255}, {0.5f, 127}, {0.999f, 254}, {1.0f / 255.0f, 1}, {0.0039f, 0}, {0.0f, 0}, {-0.0f, 0},
      {-0.2f, 0},  {1.5f, 255}, {1e30f, 255},  {INF, 255},         {-INF, 0},    {NaN, 0}, {0.25f, 63},
  };
  constexpr std::size_t m = std::size(cases);
  std::vector<float> frame(3 * PLANE_PX, 0.0f);
  // Pixel i of plane c holds case (i + c) mod m, so each channel's place in the pixel shows.
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t i = 0; i < m; ++i) frame[c * PLANE_PX + i] = cases[(i + c) % m].v;
  // The last pixel of the frame, plane by plane.
  frame[PLANE_PX - 1] = 1.0f, frame[2 * PLANE_PX - 1] = 0.5f, frame[3 * PLANE_PX - 1] = -1.0f;

  const auto rgb = px_to_rgb888(frame);
  ASSERT_EQ(rgb.size(), FRAME_BYTES);
  EXPECT_TRUE(rgb == detail::px_to_rgb888_portable(frame)) << "the kernels differ";
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t c = 0; c < 3; ++c)
      EXPECT_EQ(rgb[3 * i + c], cases[(i + c) % m].want) << "pixel " << i << " channel " << c;
  EXPECT_EQ(rgb[FRAME_BYTES - 3], 255);
  EXPECT_EQ(rgb[FRAME_BYTES - 2], 127);
  EXPECT_EQ(rgb[FRAME_BYTES - 1], 0);
  // Row 1 starts FW pixels in.
  frame[FW] = 1.0f;
  EXPECT_EQ(px_to_rgb888(frame)[3 * FW], 255);
}

TEST(Rgb888, CorrectionsGiveTheirOwnBytesInEveryForm) {
  // Every form on the vector kernel (where the processor has one) and on the portable kernel.
  if (!detail::rgb_vector_kernel()) GTEST_LOG_(INFO) << "no vector kernel here: both forms are portable";
  const ColorCorrect lut = lut_correction();
  const ColorCorrect gain_bias = gain_bias_correction();
  std::vector<std::vector<float>> frames;
  for (int k = 0; k < 7; ++k) frames.push_back(test_frame(k));
  RgbPoolSlot pool;

  for (const ColorCorrect* cc : {static_cast<const ColorCorrect*>(nullptr), &lut, &gain_bias}) {
    SCOPED_TRACE(cc ? cc->kind : "none");
    std::vector<std::uint8_t> one(frames.size() * FRAME_BYTES), several(one.size());
    px_to_rgb888_chunk(spans(frames), cc, 1, one, pool);
    px_to_rgb888_chunk(spans(frames), cc, 3, several, pool);
    EXPECT_TRUE(one == several) << "1 and 3 workers differ";
    for (std::size_t k = 0; k < frames.size(); ++k) {
      const auto plain = px_to_rgb888(frames[k]);
      const std::vector<std::uint8_t> chunk_frame(one.begin() + static_cast<long>(k * FRAME_BYTES),
                                                  one.begin() + static_cast<long>((k + 1) * FRAME_BYTES));
      // The correction as its record applies it to an uncorrected frame.
      EXPECT_TRUE(chunk_frame == (cc ? cc->apply(plain) : plain)) << "frame " << k;
      EXPECT_TRUE(px_to_rgb888(frames[k], cc) == chunk_frame) << "frame " << k;
      EXPECT_TRUE(detail::px_to_rgb888_portable(frames[k], cc) == chunk_frame) << "frame " << k;
    }
  }

  // A few bytes by hand: a pixel of 0.1726 in every channel is 44 (0.1726 x 255 = 44.013).
  std::vector<float> grey(3 * PLANE_PX, 0.1726f);
  EXPECT_EQ(px_to_rgb888(grey)[0], 44);
  const auto by_lut = px_to_rgb888(grey, &lut);
  EXPECT_EQ((std::vector<int>{by_lut[0], by_lut[1], by_lut[2]}), (std::vector<int>{211, 44, 7}));
  // 44 x 1.1 - 3.3 = 45.1, 44 x 0.7 + 10.01 = 40.81, 44 x 1.0001 - 0.01 = 43.99 (all in float32).
  const auto by_gain = px_to_rgb888(grey, &gain_bias);
  EXPECT_EQ((std::vector<int>{by_gain[0], by_gain[1], by_gain[2]}), (std::vector<int>{45, 40, 43}));
}

TEST(Rgb888, RangesAndTheirErrorOrder) {
  // 9 frames on 4 workers: ranges of 3 (0-2, 3-5, 6-8). Frames 4 and 7 are too short: every range runs until
  // it meets one, then the first failed range's error is thrown.
  std::vector<std::vector<float>> frames;
  for (int k = 0; k < 9; ++k) frames.push_back(test_frame(k));
  frames[4].resize(300);
  frames[7].resize(301);
  RgbPoolSlot pool;
  constexpr std::uint8_t UNTOUCHED = 0xA5;
  auto converted = [](const std::vector<std::uint8_t>& out, std::size_t k) {
    const auto want = px_to_rgb888(test_frame(static_cast<int>(k)));
    return std::equal(want.begin(), want.end(), out.begin() + static_cast<long>(k * FRAME_BYTES));
  };
  auto untouched = [&](const std::vector<std::uint8_t>& out, std::size_t k) {
    return std::all_of(out.begin() + static_cast<long>(k * FRAME_BYTES),
                       out.begin() + static_cast<long>((k + 1) * FRAME_BYTES), [&](auto b) { return b == UNTOUCHED; });
  };

  std::vector<std::uint8_t> out(9 * FRAME_BYTES, UNTOUCHED);
  EXPECT_EQ(error_of([&] { px_to_rgb888_chunk(spans(frames), nullptr, 4, out, pool); }),
            "cannot reshape array of size 300 into shape (720,416,3)");
  EXPECT_EQ(pool.size(), 4);
  for (std::size_t k : {0, 1, 2, 3, 6}) EXPECT_TRUE(converted(out, k)) << "frame " << k;
  for (std::size_t k : {4, 5, 7, 8}) EXPECT_TRUE(untouched(out, k)) << "frame " << k;

  // One worker stops at the first bad frame.
  std::fill(out.begin(), out.end(), UNTOUCHED);
  EXPECT_EQ(error_of([&] { px_to_rgb888_chunk(spans(frames), nullptr, 1, out, pool); }),
            "cannot reshape array of size 300 into shape (720,416,3)");
  for (std::size_t k : {0, 1, 2, 3}) EXPECT_TRUE(converted(out, k)) << "frame " << k;
  for (std::size_t k : {4, 5, 6, 7, 8}) EXPECT_TRUE(untouched(out, k)) << "frame " << k;

  // An output of the wrong size is refused before anything is converted.
  std::vector<std::uint8_t> short_out(FRAME_BYTES, UNTOUCHED);
  EXPECT_EQ(error_of([&] { px_to_rgb888_chunk(spans({test_frame(0), test_frame(1)}), nullptr, 1, short_out, pool); }),
            "RGB888 chunk of 2 frames needs 1797120 bytes, got 898560");
  EXPECT_TRUE(untouched(short_out, 0));
  EXPECT_EQ(error_of([] { px_to_rgb888(std::vector<float>(10)); }),
            "cannot reshape array of size 10 into shape (720,416,3)");
}

TEST(Rgb888, PoolIsMadeByTheFirstMultiWorkerChunkWithItsSize) {
  const std::vector<std::vector<float>> frames{test_frame(0), test_frame(1), test_frame(2)};
  const auto want = [&] {
    std::vector<std::uint8_t> w;
    for (const auto& f : frames) {
      const auto rgb = px_to_rgb888(f);
      w.insert(w.end(), rgb.begin(), rgb.end());
    }
    return w;
  }();
  RgbPoolSlot pool;
  std::vector<std::uint8_t> none;
  px_to_rgb888_chunk({}, nullptr, 4, none, pool);  // no frames: no workers
  std::vector<std::uint8_t> out(3 * FRAME_BYTES);
  for (int threads : {-1, 0, 1}) {
    px_to_rgb888_chunk(spans(frames), nullptr, threads, out, pool);
    EXPECT_TRUE(out == want) << threads;
  }
  px_to_rgb888_chunk(spans({frames[0]}), nullptr, 5, std::span(out).first(FRAME_BYTES), pool);  // one frame
  EXPECT_EQ(pool.size(), 0) << "one worker converts in the calling thread";

  // More threads than frames: one frame per worker, so the first pool has 2 threads.
  px_to_rgb888_chunk(spans({frames[0], frames[1]}), nullptr, 6, std::span(out).first(2 * FRAME_BYTES), pool);
  EXPECT_EQ(pool.size(), 2);
  // Later chunks share it, asking for more or fewer.
  std::fill(out.begin(), out.end(), 0);
  px_to_rgb888_chunk(spans(frames), nullptr, 3, out, pool);
  EXPECT_TRUE(out == want);
  EXPECT_EQ(pool.size(), 2);
}

TEST(Rgb888, WorkerCountFromTheEnvironment) {
  struct Case {
    std::optional<std::string> raw;
    int cpus;
    int want;
    bool logged;
  };
  const Case cases[] = {
      {{}, 8, 2, false},        {"", 8, 2, false},       {"  \t", 8, 2, false},    {" 6 ", 8, 6, false},
      {"16", 2, 16, false},     {"0", 8, 1, false},      {"-3", 8, 1, false},      {"1_0", 8, 10, false},
      {"99999999999999999999", 8, INT_MAX, false},       {"6.5", 8, 2, true},      {"four", 12, 4, true},
      {{}, 24, 8, false},       {{}, 30, 8, false},      {{}, 12, 4, false},       {{}, 2, 1, false},
      {{}, 1, 1, false},
  };
  for (const auto& c : cases) {
    LogCapture log;
    const auto raw = c.raw ? std::optional<std::string_view>(*c.raw) : std::nullopt;
    EXPECT_EQ(rgb_threads_from(raw, c.cpus), c.want) << (c.raw ? *c.raw : "(unset)") << " cpus " << c.cpus;
    EXPECT_EQ(!log.text().empty(), c.logged) << log.text();
  }
  {
    LogCapture log;
    rgb_threads_from("four", 8);
    EXPECT_EQ(log.text(), "[tarnhost] MIREL2_RGB_THREADS='four' is not an integer \u2014 using the default\n");
  }
  {
    ScopedEnv env("MIREL2_RGB_THREADS", " 5 ");
    EXPECT_EQ(rgb_threads(), 5);
  }
  ScopedEnv env("MIREL2_RGB_THREADS", std::nullopt);
  EXPECT_EQ(rgb_threads(), std::max(1, std::min(8, effective_cpu_count() / 3)));
}

}  // namespace
}  // namespace velmora::ostrand
