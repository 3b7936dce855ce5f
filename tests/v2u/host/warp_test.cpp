#include "v2u/host/warp.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <limits>

#include "common/py_error.h"
#include "v2u/host/identity.h"
#include "v2u/host/support/render_fixture.h"

namespace velmora::v2u {
namespace {

using testing::expect_like_numpy;
using testing::render_expect;
using testing::render_identity;

constexpr std::int64_t N = std::int64_t{FRAME} * FRAME;

// A grid whose point for pixel (y, x) is fx(x), fy(y) in pixel coordinates of the source space.
template <class FX, class FY>
NdArray pixel_grid(FX fx, FY fy) {
  NdArray g = NdArray::uninitialized(DType::Float32, {FRAME, FRAME, 2});
  float* p = g.data<float>();
  for (int y = 0; y < FRAME; ++y)
    for (int x = 0; x < FRAME; ++x) {
      // (2 xs + 1) / 512 - 1 is exact for the quarter-pixel coordinates used here.
      p[(y * FRAME + x) * 2] = (2.0f * fx(x) + 1.0f) / 512.0f - 1.0f;
      p[(y * FRAME + x) * 2 + 1] = (2.0f * fy(y) + 1.0f) / 512.0f - 1.0f;
    }
  return g;
}

const auto same = [](int v) { return static_cast<float>(v); };

// The small grid of a fixture, resized to the frame as the renderer does.
NdArray resized(const NdArray& small) {
  NdArray g = NdArray::uninitialized(DType::Float32, {FRAME, FRAME, 2});
  const cv::Mat src(static_cast<int>(small.dim(0)), static_cast<int>(small.dim(1)), CV_32FC2, const_cast<float*>(small.data<float>()));
  cv::Mat dst(FRAME, FRAME, CV_32FC2, g.data<float>());
  cv::resize(src, dst, cv::Size(FRAME, FRAME), 0, 0, cv::INTER_LINEAR);
  return g;
}

NdArray warp(PlaneWarp& w, const NdArray& g) {
  NdArray out(DType::Float32, {3, FRAME, FRAME});
  w.warp(g.data<float>(), out.data<float>());
  return out;
}

TEST(FloorTest, EqualsTheLibraryFloorBitForBit) {
  const float inf = std::numeric_limits<float>::infinity();
  for (float v : {0.0f, -0.0f, 0.5f, -0.5f, -1e-8f, 1e-8f, 1.0f, -1.0f, 2.5f, -2.5f, 8388607.5f, -8388607.5f, 8388608.0f,
                  -8388609.0f, 3e9f, -3e9f, inf, -inf, std::nanf("")}) {
    const float a = detail::floor_f32(v), b = std::floor(v);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << v;
  }
}

// A texture of x^2 / 1024 + 256 c: zero second difference down, 2 / 1024 across away from the edges.
NdArray quadratic_planes(int H, int W) {
  NdArray t(DType::Float32, {1, 3, H, W});
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) t.data<float>()[(c * H + y) * W + x] = static_cast<float>(x * x) / 1024.0f + 256.0f * c;
  return cone(t);
}

TEST(PlaneWarpTest, PixelCentresGiveTheTextureAndHalfPixelsTheCorrectedQuadratic) {
  PlaneWarp w(quadratic_planes(FRAME, FRAME));
  const NdArray id = warp(w, pixel_grid(same, same));
  const NdArray half = warp(w, pixel_grid([](int x) { return x + 0.5f; }, same));
  const float* a = id.data<float>();
  const float* h = half.data<float>();
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < FRAME; y += 37)
      for (int x = 0; x < FRAME; ++x) {
        const std::int64_t i = c * N + y * FRAME + x;
        ASSERT_EQ(a[i], static_cast<float>(x * x) / 1024.0f + 256.0f * c) << c << " " << y << " " << x;
        // Bilinear gives (x^2 + x + 1/2) / 1024; one eighth of the second difference takes it to (x + 1/2)^2 / 1024.
        if (x >= 1 && x <= FRAME - 3) {
          ASSERT_EQ(h[i], (x + 0.5f) * (x + 0.5f) / 1024.0f + 256.0f * c) << c << " " << y << " " << x;
        }
      }
}

TEST(PlaneWarpTest, PointsBeyondASmallTextureRepeatItsEdges) {
  const int H = 5, W = 7;
  NdArray t(DType::Float32, {1, 3, H, W});
  for (std::int64_t i = 0; i < t.size(); ++i) t.data<float>()[i] = static_cast<float>(i);
  PlaneWarp w(cone(t));
  // Integer coordinates left of and below the texture, and inside it.
  const NdArray out = warp(w, pixel_grid([](int x) { return x < 256 ? -10.0f : 3.0f; }, [](int y) { return y < 256 ? 600.0f : 2.0f; }));
  const float* o = out.data<float>();
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(o[c * N], t.data<float>()[(c * H + H - 1) * W]);                     // bottom-left corner
    EXPECT_EQ(o[c * N + 300 * FRAME + 300], t.data<float>()[(c * H + 2) * W + 3]);  // pixel (2, 3)
  }
}

TEST(PlaneWarpTest, MatchesNumPyAndOpenCVOnTheFixtureGrid) {
  PlaneWarp w(render_identity()->planes);  // two stacks: only the first is sampled
  expect_like_numpy<float>(warp(w, resized(render_expect().at("warp_grid"))), "warp", 1);
}

TEST(PlaneWarpTest, RefusesAPlaneStackOfOtherThanTwelveChannels) {
  EXPECT_THROW(PlaneWarp(NdArray(DType::Float32, {1, 8, 4, 4})), std::invalid_argument);
  EXPECT_THROW(PlaneWarp(NdArray(DType::Float32, {12, 4, 4})), std::invalid_argument);
  EXPECT_THROW(PlaneWarp(NdArray(DType::Float64, {1, 12, 4, 4})), std::invalid_argument);
}

NdArray patterned_frame() {
  NdArray o(DType::Float32, {3, FRAME, FRAME});
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < FRAME; ++y)
      for (int x = 0; x < FRAME; ++x) o.data<float>()[(c * FRAME + y) * FRAME + x] = ((c * 7 + y * 3 + x * 5) % 64) / 32.0f - 1.0f;
  return o;
}

NdArray filled(Shape s, float v) {
  NdArray a(DType::Float32, s);
  for (float& x : a.values<float>()) x = v;
  return a;
}

TEST(CompositeTest, FullRegionOnPixelCentresCopiesOrBlendsThePatchExactly) {
  const NdArray gm = pixel_grid(same, same);
  NdArray patch(DType::Float32, {3, FRAME, FRAME});
  for (std::int64_t i = 0; i < patch.size(); ++i) patch.data<float>()[i] = static_cast<float>(i % 1000) / 1000.0f;
  const Region full{0, 512, 0, 512};
  NdArray o = patterned_frame();
  composite(o, gm, full, patch, filled({1, FRAME, FRAME}, 1.0f));
  EXPECT_EQ(std::memcmp(o.raw_data(), patch.raw_data(), patch.nbytes()), 0);
  // Half a mask: every pixel the exact float32 blend; a second mask channel is ignored.
  NdArray two = filled({2, FRAME, FRAME}, 0.5f);
  for (std::int64_t i = N; i < 2 * N; ++i) two.data<float>()[i] = 0.0f;
  NdArray b = patterned_frame();
  const NdArray before = patterned_frame();
  composite(b, gm, full, patch, two);
  for (std::int64_t i = 0; i < b.size(); i += 7)
    ASSERT_EQ(b.data<float>()[i], 0.5f * patch.data<float>()[i] + (1.0f - 0.5f) * before.data<float>()[i]) << i;
}

TEST(CompositeTest, SamplePointsHalfAPatchPixelBeyondTheRegionLeaveTheFrameAlone) {
  // Rows 128 .. 256 of the source hold a patch of 16 rows (8 source pixels each): iy = q / 8 - 16.5 for a
  // sample point at continuous row q, so q = 124 and q = 260 lie exactly on the strict limits -1 and 16.
  const NdArray rgb = filled({3, 16, FRAME}, 0.25f), mask = filled({1, 16, FRAME}, 1.0f);
  const Region r{128, 256, 0, 512};
  const struct {
    float row;  // pixel coordinate of every sample point (q - 0.5)
    bool inside;
  } cases[] = {{123.5f, false}, {123.75f, true}, {259.25f, true}, {259.5f, false}, {-4000.0f, false}};
  for (const auto& c : cases) {
    const NdArray gm = pixel_grid(same, [&](int) { return c.row; });
    Compositor comp;
    EXPECT_EQ(comp.place(gm.data<float>(), r, 16, FRAME).empty(), !c.inside) << c.row;
    NdArray o = patterned_frame();
    composite(o, gm, r, rgb, mask);
    const NdArray before = patterned_frame();
    EXPECT_EQ(std::memcmp(o.raw_data(), before.raw_data(), o.nbytes()) == 0, !c.inside) << c.row;
  }
}

TEST(CompositeTest, PixelsJustLeftOfThePatchTakeTheirWeightFromItsFirstColumn) {
  // Sample points half a pixel left of centre: frame column 0 sits at patch column -0.5.
  const NdArray gm = pixel_grid([](int x) { return x - 0.5f; }, same);
  NdArray rgb(DType::Float32, {3, FRAME, FRAME});
  for (std::int64_t i = 0; i < rgb.size(); ++i) rgb.data<float>()[i] = static_cast<float>(i % 77) / 64.0f;
  NdArray o = patterned_frame();
  const NdArray before = patterned_frame();
  Compositor comp;
  const Box box = comp.place(gm.data<float>(), Region{0, 512, 0, 512}, FRAME, FRAME);
  EXPECT_EQ(box.ca, 0);
  composite(o, gm, Region{0, 512, 0, 512}, rgb, filled({1, FRAME, FRAME}, 1.0f));
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < FRAME; y += 31) {
      const std::int64_t i = c * N + y * FRAME;
      // Mask taps at columns -1 (outside: 0) and 0 (1) give 0.5; the colour repeats column 0.
      ASSERT_EQ(o.data<float>()[i], 0.5f * rgb.data<float>()[i] + 0.5f * before.data<float>()[i]);
    }
}

TEST(CompositeTest, MatchesNumPyAndOpenCVForEachRegionAndPatch) {
  const NpzFile& z = render_expect();
  const Identity& idn = *render_identity();
  const NdArray gm = resized(z.at("comp_grid"));
  const Region roi_m = region_of(idn.roi_m), roi_e = region_of(idn.roi_e);
  const struct {
    const char* name;
    Region roi;
    NdArray rgb, mask;
  } cases[] = {
      {"bank", roi_m, idn.r.b_rgb.item(1), idn.r.b_mask.item(1)},
      {"eye", roi_e, idn.r.e_rgb.item(2), idn.r.e_mR.item(2)},  // the mask is 9 x 13, the patch 10 x 12
      {"edge", {-40.0, 100.0, 450.0, 600.0}, idn.r.b_rgb.item(0), idn.r.b_mask.item(0)},
      {"tiny", {200.0, 203.5, 300.0, 302.25}, idn.r.e_rgb.item(1), idn.r.e_mL.item(1)},
  };
  for (const auto& c : cases) {
    NdArray o = patterned_frame();
    composite(o, gm, c.roi, c.rgb, c.mask);
    const NdArray before = patterned_frame();
    std::int64_t changed = 0;
    for (std::int64_t i = 0; i < o.size(); ++i) changed += o.data<float>()[i] != before.data<float>()[i];
    EXPECT_EQ(changed, z.at(std::string("comp_") + c.name + "_changed").as_double(0)) << c.name;
    expect_like_numpy<float>(o, std::string("comp_") + c.name, 1);
  }
}

// The patch coordinate of the compositing step, written out as it is stated.
float patch_coordinate(float g, float k, float c, float n) {
  float u = g * k;
  u = u + c;
  u = u - 1.0f;
  float t = u + 1.0f;
  t = t * n;
  t = t * 0.5f;
  return t - 0.5f;
}

TEST(InsideSpanTest, AgreesWithTheCoordinatesOnEveryKindOfGridValue) {
  const float inf = std::numeric_limits<float>::infinity();
  // Scale, offset and length of regions across, beyond, reversed, narrow and huge.
  const struct {
    double a, b;
    int n;
  } axes[] = {{128.25, 400.0, 20}, {0, 512, 512}, {-40, 100, 7}, {400, 128.25, 20}, {300, 300.001, 3}, {-1e30, 1e30, 5}, {0.1, 0.2, 1}};
  for (const auto& ax : axes) {
    const float k = static_cast<float>(512 / (ax.b - ax.a)), c = static_cast<float>((512 - 2 * ax.a) / (ax.b - ax.a));
    const float n = static_cast<float>(ax.n);
    const auto span = detail::inside_span(k, c, n);
    ASSERT_TRUE(span);
    std::vector<float> gs = {0.0f, -0.0f, inf, -inf, std::nanf(""), 3e38f, -3e38f, 1e-40f, -1e-40f, span->lo, span->hi};
    for (float e : {span->lo, span->hi}) {  // three floats either side of each end
      float up = e, down = e;
      for (int d = 0; d < 3; ++d) gs.insert(gs.end(), {up = std::nextafter(up, inf), down = std::nextafter(down, -inf)});
    }
    for (int i = 0; i <= 4000; ++i) gs.push_back(-1.5f + i * 0.00075f);
    for (float g : gs) {
      const float ix = patch_coordinate(g, k, c, n);
      EXPECT_EQ(g >= span->lo && g <= span->hi, ix > -1.0f && ix < n) << "g " << g << " region " << ax.a << " " << ax.b;
    }
  }
  EXPECT_FALSE(detail::inside_span(0.0f, 1.0f, 4.0f));
  EXPECT_FALSE(detail::inside_span(inf, 1.0f, 4.0f));
}

TEST(CompositeTest, DegenerateRegionsAndBadShapesFailBeforeTheFrameIsTouched) {
  const NdArray gm = pixel_grid(same, same);
  const NdArray rgb = filled({3, 4, 4}, 0.5f), mask = filled({1, 4, 4}, 1.0f);
  for (const Region& r : {Region{10, 10, 0, 50}, Region{0, 50, 20, 20}}) {
    NdArray o = patterned_frame();
    try {
      composite(o, gm, r, rgb, mask);
      ADD_FAILURE();
    } catch (const PyError& e) {
      EXPECT_EQ(e.python_class(), "ZeroDivisionError");
      EXPECT_STREQ(e.what(), "float division by zero");
    }
    const NdArray before = patterned_frame();
    EXPECT_EQ(std::memcmp(o.raw_data(), before.raw_data(), o.nbytes()), 0);
  }
  NdArray o = patterned_frame();
  const Region r{0, 50, 0, 50};
  EXPECT_THROW(composite(o, gm, r, filled({4, 4, 4}, 0.5f), mask), std::invalid_argument);
  EXPECT_THROW(composite(o, gm, r, rgb, filled({1, 0, 4}, 1.0f)), std::invalid_argument);
  EXPECT_THROW(composite(o, filled({256, 256, 2}, 0.0f), r, rgb, mask), std::invalid_argument);
}

// Patch sizes whose blend could not address every texel in 32-bit float offsets (4 floats a texel) or whose
// taps overflow 16 bits are refused where the patch is placed, whoever made it.
TEST(CompositeTest, PlacingRefusesPatchSizesThatCannotBeSampled) {
  const NdArray gm = pixel_grid(same, same);
  const struct {
    int h, w;
    bool ok;
  } cases[] = {{16384, 32767, true},  {25000, 25000, false}, {16385, 32767, false}, {32768, 1, false},
               {1, 32768, false},     {0, 4, false},         {4, -1, false},        {1, 1, true}};
  for (const auto& c : cases) {
    Compositor comp;
    if (c.ok)
      EXPECT_NO_THROW(comp.place(gm.data<float>(), Region{0, 512, 0, 512}, c.h, c.w)) << c.h << " x " << c.w;
    else
      EXPECT_THROW(comp.place(gm.data<float>(), Region{0, 512, 0, 512}, c.h, c.w), std::invalid_argument) << c.h << " x " << c.w;
  }
}

TEST(RegionTest, TakesExactlyFourValuesWidenedFromFloat32) {
  const Region r = region_of(NdArray::of<float>({0.1f, 2.0f, 3.0f, 4.5f}));
  EXPECT_EQ(r.y0, static_cast<double>(0.1f));  // not 0.1
  EXPECT_EQ(r.x1, 4.5);
  try {
    region_of(NdArray::of<float>({1, 2, 3}));
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "not enough values to unpack (expected 4, got 3)");
  }
  try {
    region_of(NdArray::of<double>({1, 2, 3, 4, 5}));
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "too many values to unpack (expected 4)");
  }
}

// The float32 sample whose image (v + 1) * 127.5 is exactly `target`.
float mapping_to(float target) {
  float v = target / 127.5f - 1.0f;
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  for (int d = -64; d <= 64; ++d) {
    const std::uint32_t b = bits + d;
    float t;
    std::memcpy(&t, &b, 4);
    if ((t + 1.0f) * 127.5f == target) return t;
  }
  ADD_FAILURE() << "no float maps to " << target;
  return 0;
}

TEST(ToRgb8Test, ClipsScalesRoundsHalfToEvenAndTurnsNaNToZero) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float v;
    int want;
  } cases[] = {{-1.0f, 0}, {1.0f, 255}, {0.0f, 128}, {-7.0f, 0}, {3.0f, 255}, {-inf, 0}, {inf, 255}, {std::nanf(""), 0},
               {mapping_to(253.5f), 254}, {mapping_to(252.5f), 252}, {mapping_to(128.5f), 128}, {mapping_to(129.5f), 130},
               {0.5f, 191}, {-0.999f, 0}};
  NdArray o(DType::Float32, {3, FRAME, FRAME});
  const int n = static_cast<int>(std::size(cases));
  // Case k in pixel k of channel k % 3, so that the channel order is checked too; further on, every case in
  // every channel and position of a 16-pixel group, to check how each form interleaves the bytes.
  for (int k = 0; k < n; ++k) o.data<float>()[(k % 3) * N + k] = cases[k].v;
  for (std::int64_t i = 64; i < 64 + 16 * n * 3; ++i) o.data<float>()[(i % 3) * N + i] = cases[(i / 3) % n].v;
  for (Simd simd : {Simd::Baseline, Simd::Avx2}) {
    if (!simd_supported(simd)) continue;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(N * 3));
    to_rgb8(o.data<float>(), rgb.data(), simd);
    for (int k = 0; k < n; ++k) EXPECT_EQ(rgb[k * 3 + k % 3], cases[k].want) << "case " << k << ": " << cases[k].v;
    for (std::int64_t i = 64; i < 64 + 16 * n * 3; ++i)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(rgb[i * 3 + c], c == i % 3 ? cases[(i / 3) % n].want : 128) << "pixel " << i << " channel " << c;
    EXPECT_EQ(rgb[N * 3 - 1], 128);  // a zero sample
  }
}

}  // namespace
}  // namespace velmora::v2u
