#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/support/fixture.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/wsola.h"
#include "support/float_bits.h"

namespace velmora::ostrand {
namespace {

using velmora::testing::same_floats;

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();

std::vector<float> f32_fixture(const std::string& name) {
  const std::string bytes = testing::read_fixture("wsola/" + name);
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

std::vector<float> tiled(const std::vector<float>& period) {
  std::vector<float> x(WIN_SAMPLES);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = period[i % period.size()];
  return x;
}

std::vector<float> prefix(const std::vector<float>& x, std::size_t n) { return {x.begin(), x.begin() + n}; }

// The input of each golden case, built as make_fixtures.py builds it (every step exact in float32).
std::vector<float> case_input(const std::string& name) {
  static const std::vector<float> speech = f32_fixture("speech.f32");
  if (name == "speech") return speech;
  if (name == "loud") {
    std::vector<float> x = speech;
    for (float& v : x) v = std::clamp(v * 8.0f, -1.0f, 1.0f);
    return x;
  }
  if (name == "tone") return tiled(f32_fixture("tone_period.f32"));
  if (name == "pulse") return tiled(f32_fixture("pulse_period.f32"));
  if (name == "mostly_silence") {
    std::vector<float> x = prefix(speech, 6000);
    x.resize(WIN_SAMPLES, 0.0f);
    return x;
  }
  if (name == "silence") return std::vector<float>(WIN_SAMPLES, 0.0f);
  if (name == "nonfinite") {
    std::vector<float> x = speech;
    x[100] = INF;
    x[5000] = -INF;
    x[20000] = 1e30f;
    x[30000] = -2.0f;
    return x;
  }
  if (name == "short") return prefix(speech, 1000);
  if (name == "odd_factor_1") return prefix(speech, 12345);
  if (name == "slow") return prefix(speech, 5000);
  if (name == "order_tie") {
    std::vector<float> x = speech;
    const std::vector<float> patch = f32_fixture("order_tie_patch.f32");
    std::copy(patch.begin(), patch.end(), x.begin() + 1120);
    return x;
  }
  ADD_FAILURE() << "no input for case " << name;
  return {};
}

// Speech-like noise, loud audio whose error sums leave float64's exact range, a pure tone and a periodic wave
// (candidates a period apart tie; the earliest must win), a window that is mostly silence padding, silence,
// infinities, a short input, other factors, and two candidates that tie in exact arithmetic but not in the
// float64 sums (only summing one after another picks the right one): outputs and chosen positions equal
// NumPy's bit for bit, with every instruction set the processor has. One scratch serves every case, whatever
// its size.
TEST(TempoWsola, EqualsNumpyReference) {
  const json::Value cases = testing::json_fixture("wsola/cases.json");
  ASSERT_EQ(cases.as_array().size(), 11u);
  for (Simd simd : {Simd::Baseline, Simd::Avx2, Simd::Avx512}) {
    if (!simd_supported(simd)) continue;
    SCOPED_TRACE("instruction set " + std::to_string(static_cast<int>(simd)));
    WsolaScratch scratch(simd);
    for (const json::Value& c : cases.as_array()) {
      const std::string name = c.find("name")->as_string();
      SCOPED_TRACE(name);
      const std::vector<float> x = case_input(name);
      const double factor = c.find("factor")->as_double();
      ASSERT_EQ(static_cast<std::int64_t>(x.size()), c.find("n")->as_int());
      const auto out_len = static_cast<std::size_t>(c.find("out_len")->as_int());
      const std::string output = c.find("output")->as_string();
      const std::vector<float> want = output == "zeros" ? std::vector<float>(out_len) : f32_fixture(output);

      std::vector<float> out(out_len, -3.0f);
      tempo_wsola(x, out, scratch, factor);
      EXPECT_TRUE(same_floats(out, want));
      std::vector<std::int64_t> want_positions;
      for (const json::Value& p : c.find("positions")->as_array()) want_positions.push_back(p.as_int());
      EXPECT_EQ(std::vector<std::int64_t>(scratch.positions().begin(), scratch.positions().end()), want_positions);

      EXPECT_TRUE(same_floats(tempo_wsola(x, factor), want));
    }
    // A window again after the small ones, in the same scratch.
    std::vector<float> out(TEMPO_SAMPLES);
    tempo_wsola(case_input("speech"), out, scratch);
    EXPECT_TRUE(same_floats(out, f32_fixture("speech.out.f32")));
  }
}

TEST(TempoWsola, FixedPointScale) {
  struct In {
    double x;
    float code;
  };
  const In into[] = {
      {0.0, 0.0f},           {-0.0, 0.0f},          {1.0, 16777216.0f},       {-1.0, -16777216.0f},
      {0.5, 8388608.0f},     {0x1p-25, 1.0f},       {-0x1p-25, 0.0f},         {0x1p-26, 0.0f},
      {-0x1.8p-25, -1.0f},   {5.0, 16777216.0f},    {-5.0, -16777216.0f},     {INF, 16777216.0f},
      {-INF, -16777216.0f},  {NAN_F, 0.0f},
  };
  for (const In& c : into) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(detail::wsola_to_buf(c.x)), std::bit_cast<std::uint32_t>(c.code))
        << c.x;
  }
  struct Out {
    float y;
    float x;
  };
  const Out back[] = {
      {0.0f, 0.0f},         {1.0f, 0x1p-24f},        {0.5f, 0x1p-24f},     {-0.5f, 0.0f},
      {-0.50001f, -0x1p-24f}, {8388608.0f, 0.5f},    {16777215.0f, 0x1.fffffep-1f},
      {16777216.0f, 1.0f},  {1e30f, 1.0f},           {-16777216.0f, -1.0f}, {-16777218.0f, -1.0f},
      {-1e30f, -1.0f},      {NAN_F, 0.0f},
  };
  for (const Out& c : back) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(detail::wsola_from_buf(c.y)), std::bit_cast<std::uint32_t>(c.x))
        << c.y;
  }
  // The array forms of every instruction set agree, with each value at every position of a vector (the table
  // repeated at 17 offsets).
  std::vector<float> xs, ys;
  for (int shift = 0; shift < 17; ++shift) {
    for (const In& c : into) xs.push_back(static_cast<float>(c.x));
    for (const Out& c : back) ys.push_back(c.y);
    // Near where float32 stops holding halves, and ties.
    xs.insert(xs.end(), {0.25f, 0x1.fffffep-1f, -0x1.fffffep-1f, 0x1.000002p-25f});
    ys.insert(ys.end(), {2.5f, -2.5f, 8388607.5f, -8388607.5f, 8388608.0f, -8388609.0f, 16777217.0f, 1e-45f});
  }
  for (Simd simd : {Simd::Baseline, Simd::Avx2, Simd::Avx512}) {
    if (!simd_supported(simd)) continue;
    std::vector<double> codes(xs.size());
    detail::wsola_to_buf(xs, codes, simd);
    for (std::size_t i = 0; i < xs.size(); ++i)
      ASSERT_EQ(codes[i], detail::wsola_to_buf(static_cast<double>(xs[i]))) << xs[i] << " with set " << static_cast<int>(simd);
    std::vector<float> back_y = ys;
    detail::wsola_from_buf(back_y, simd);
    for (std::size_t i = 0; i < ys.size(); ++i)
      ASSERT_EQ(std::bit_cast<std::uint32_t>(back_y[i]), std::bit_cast<std::uint32_t>(detail::wsola_from_buf(ys[i])))
          << ys[i] << " with set " << static_cast<int>(simd);
  }
}

// Each value of `turns` and the `ulps` floats on either side of it.
std::vector<float> around(std::initializer_list<float> turns, int ulps) {
  std::vector<float> out;
  for (const float t : turns) {
    float lo = t, hi = t;
    for (int i = 0; i < ulps; ++i) lo = std::nextafter(lo, -INF), hi = std::nextafter(hi, INF);
    for (float v = lo; v < hi; v = std::nextafter(v, INF)) out.push_back(v);
    out.push_back(hi);
  }
  return out;
}

std::vector<Simd> wide_forms() {
  std::vector<Simd> out;
  for (Simd simd : {Simd::Avx2, Simd::Avx512})
    if (simd_supported(simd)) out.push_back(simd);
  return out;
}

// The wide forms convert every value where the conversions turn as the scalar form does: into the scale where
// x 2^31 crosses k 128 + 64 (x = (2k + 1) 2^-25), at full scale, among denormals; back where y + 0.5 crosses a
// whole number (y = k + 0.5; in float32, 0.5 - 2^-25 plus 0.5 would round up to 1) and where the result clips.
TEST(TempoWsola, WideFormsConvertAsTheScalarForm) {
  std::vector<float> into = around({0.0f, 0x1p-25f, -0x1p-25f, 0x1.8p-24f, -0x1.8p-24f, 0x1.4p-23f, 0x1.fffffep-2f,
                                    0.5f + 0x1p-25f, -0.5f - 0x1p-25f, 0x1.fffffcp-1f, 1.0f, -1.0f, 0x1p31f, 0x1p-126f},
                                   8);
  for (const float v : {INF, -INF, NAN_F, -NAN_F, 3e38f, -3e38f, 1e-45f, -1e-45f, 0x1p-149f * 12345}) into.push_back(v);
  std::vector<float> back = around({0.5f, -0.5f, 1.5f, -1.5f, 2.5f, -2.5f, 0x1.fffffep-2f, -0x1.fffffep-2f, 0.25f,
                                    1000.5f, -1000.5f, 4194303.5f, -4194303.5f, 8388607.5f, -8388607.5f, 8388608.0f,
                                    -8388608.0f, 16777215.5f, -16777215.5f, 16777216.0f, -16777216.0f, -16777217.0f,
                                    0x1p-126f},
                                   8);
  for (const float v : {INF, -INF, NAN_F, -NAN_F, 3e38f, -3e38f, 1e-45f, -1e-45f, 0.0f, -0.0f}) back.push_back(v);
  for (Simd simd : wide_forms()) {
    SCOPED_TRACE("instruction set " + std::to_string(static_cast<int>(simd)));
    std::vector<double> codes(into.size());
    detail::wsola_to_buf(into, codes, simd);
    for (std::size_t i = 0; i < into.size(); ++i)
      EXPECT_EQ(std::bit_cast<std::uint64_t>(codes[i]), std::bit_cast<std::uint64_t>(static_cast<double>(
                                                            detail::wsola_to_buf(static_cast<double>(into[i])))))
          << std::hexfloat << into[i];
    std::vector<float> y = back;
    detail::wsola_from_buf(y, simd);
    for (std::size_t i = 0; i < back.size(); ++i)
      EXPECT_EQ(std::bit_cast<std::uint32_t>(y[i]), std::bit_cast<std::uint32_t>(detail::wsola_from_buf(back[i])))
          << std::hexfloat << back[i];
  }
}

// Whole stretches in the wide forms equal the baseline form's: quiet windows of a few codes either way, whose
// crossfades make values just below a half, and full-scale noise, at a few lengths and factors.
TEST(TempoWsola, WideFormsStretchAsTheBaseline) {
  std::mt19937 rng(7);
  struct Window {
    std::size_t n;
    int codes;  // the samples are whole codes in [-codes, codes]; 0 for full-scale noise
    double factor;
  };
  std::vector<Window> windows;
  for (int i = 0; i < 24; ++i) windows.push_back({10300, 3, 1.25});
  windows.insert(windows.end(), {{WIN_SAMPLES, 2, 1.25}, {WIN_SAMPLES, 0, 1.25}, {WIN_SAMPLES, 0, 0.8}, {5000, 0, 1.7}});
  for (const Window& w : windows) {
    std::vector<float> x(w.n);
    std::uniform_int_distribution<int> code(-w.codes, w.codes);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (float& v : x) v = w.codes ? static_cast<float>(code(rng)) * 0x1p-24f : noise(rng);
    std::vector<float> want(tempo_output_length(w.n, w.factor));
    WsolaScratch baseline(Simd::Baseline);
    tempo_wsola(x, want, baseline, w.factor);
    for (Simd simd : wide_forms()) {
      WsolaScratch scratch(simd);
      std::vector<float> got(want.size());
      tempo_wsola(x, got, scratch, w.factor);
      EXPECT_TRUE(same_floats(got, want)) << w.n << " samples of " << w.codes << " codes at " << w.factor
                                          << ", set " << static_cast<int>(simd);
    }
  }
}

TEST(TempoWsola, OutputLengthAndFactor) {
  struct Case {
    std::size_t n;
    double factor;
    std::size_t want;
  };
  const Case cases[] = {
      {44000, 1.25, 35200}, {0, 1.25, 0},  {1400, 1.25, 1120}, {10, 1.0, 10},  {5, 2.0, 3},
      {44000, -1.25, 0},    {44000, INFINITY, 0}, {44000, -INFINITY, 0}, {3, 0.5, 6},
  };
  for (const Case& c : cases) EXPECT_EQ(tempo_output_length(c.n, c.factor), c.want) << c.n << " at " << c.factor;

  const std::vector<float> x(100, 0.1f);
  EXPECT_TRUE(tempo_wsola(x, -1.25).empty());
  EXPECT_TRUE(tempo_wsola(std::vector<float>{}).empty());
  EXPECT_THROW(tempo_wsola(x, 0.0), std::invalid_argument);
  EXPECT_THROW(tempo_wsola(x, -0.0), std::invalid_argument);
  EXPECT_THROW(tempo_wsola(x, NAN), std::invalid_argument);
  EXPECT_THROW(tempo_wsola(x, 1e-300), std::length_error);
  WsolaScratch scratch;
  std::vector<float> wrong(79);
  EXPECT_THROW(tempo_wsola(x, wrong, scratch), std::invalid_argument);
}

// NaN reads as silence: the result is that of the same audio with zeros in its place, and finite.
TEST(TempoWsola, NanReadsAsSilence) {
  std::vector<float> with_nan = case_input("speech");
  std::vector<float> with_zero = with_nan;
  for (std::size_t at : {0u, 1u, 1120u, 1311u, 1500u, 20000u, 43999u}) {
    with_nan[at] = NAN_F;
    with_zero[at] = 0.0f;
  }
  for (std::size_t at = 30000; at < 31000; ++at) {
    with_nan[at] = -NAN_F;
    with_zero[at] = 0.0f;
  }
  const std::vector<float> got = tempo_wsola(with_nan);
  EXPECT_TRUE(same_floats(got, tempo_wsola(with_zero)));
  EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](float v) { return std::isfinite(v); }));
}

}  // namespace
}  // namespace velmora::ostrand
