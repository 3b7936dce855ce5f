// Our linear sampling against OpenCV's own remap and resize, bit for bit, on random images and maps that
// include every kind of awkward value: NaN, infinities, values beyond int32 and int16 once quantised, exact
// ties of the 1/32 rounding, and points far outside the image.
#include "v2u/host/bilinear.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "support/float_bits.h"
#include "v2u/host/identity.h"
#include "v2u/host/warp.h"

namespace velmora::v2u {
namespace {

using velmora::testing::same_floats;

constexpr std::int64_t N = std::int64_t{FRAME} * FRAME;
const float inf = std::numeric_limits<float>::infinity();

// Coordinates around an axis of `len` pixels, one in eight of them awkward.
float coordinate(std::mt19937& rng, int len) {
  static const float odd[] = {std::nanf(""), inf, -inf, 3e9f, -3e9f, 70000.0f, -70000.0f, 1048575.9f, -0.0f, -0.5f,
                              -1.0f + 1.0f / 64, 0.5f + 1.0f / 64, 2.5f / 32, -1.5f / 32, 1e-30f};
  std::uniform_int_distribution<int> pick(0, 7 * static_cast<int>(std::size(odd)) - 1);
  const int k = pick(rng);
  if (k < static_cast<int>(std::size(odd))) return odd[k];
  if (k % 3 == 0) return static_cast<float>(std::uniform_int_distribution<int>(-64, 32 * (len + 2))(rng)) / 32.0f + 1.0f / 64;
  return std::uniform_real_distribution<float>(-3.0f, static_cast<float>(len) + 3.0f)(rng);
}

// Image values, a few of them not finite.
std::vector<float> image(std::mt19937& rng, std::int64_t n, bool finite = false) {
  std::vector<float> v(static_cast<std::size_t>(n));
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  std::uniform_int_distribution<int> odd(0, 499);
  for (float& x : v) {
    x = u(rng);
    if (finite) continue;
    if (const int k = odd(rng); k == 0) x = std::nanf("");
    else if (k == 1) x = inf;
    else if (k == 2) x = -inf;
  }
  return v;
}

cv::Mat mat(int rows, int cols, int type, const float* p) { return cv::Mat(rows, cols, type, const_cast<float*>(p)); }

std::vector<Simd> simds() {
  std::vector<Simd> out;
  for (Simd s : {Simd::Baseline, Simd::Avx2})
    if (simd_supported(s)) out.push_back(s);
  return out;
}

enum class Border { Replicate, Zero };

// remap of `src` (H x W x C) at the map points (mx[i], my[i]), i < n, through the per-point samplers.
template <int C>
void remap_linear(const float* src, int H, int W, Border border, const float* mx, const float* my, std::int64_t n,
                  float* dst) {
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int32_t qx = detail::remap_fixed(mx[i]), qy = detail::remap_fixed(my[i]);
    if (border == Border::Replicate)
      detail::sample_replicate<C>(src, H, W, qx, qy, dst + i * C);
    else
      detail::sample_zero<C>(src, H, W, qx, qy, dst + i * C);
  }
}

template <int C>
void check_remap(std::mt19937& rng, int H, int W, Border border) {
  const std::int64_t n = 4099;  // one row of points, not a multiple of any vector width
  const std::vector<float> src = image(rng, std::int64_t{H} * W * C);
  std::vector<float> mx(static_cast<std::size_t>(n)), my(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) mx[i] = coordinate(rng, W), my[i] = coordinate(rng, H);
  std::vector<float> got(static_cast<std::size_t>(n * C)), want(static_cast<std::size_t>(n * C));
  remap_linear<C>(src.data(), H, W, border, mx.data(), my.data(), n, got.data());
  cv::Mat dst = mat(1, static_cast<int>(n), CV_32FC(C), want.data());
  cv::remap(mat(H, W, CV_32FC(C), src.data()), dst, mat(1, static_cast<int>(n), CV_32FC1, mx.data()),
            mat(1, static_cast<int>(n), CV_32FC1, my.data()), cv::INTER_LINEAR,
            border == Border::Replicate ? cv::BORDER_REPLICATE : cv::BORDER_CONSTANT, cv::Scalar(0));
  EXPECT_TRUE(same_floats(got, want)) << C << " channels, " << H << " x " << W << ", border "
                                                          << (border == Border::Replicate ? "replicate" : "zero");
}

TEST(RemapTest, MatchesOpenCVOnRandomMapsWithAwkwardValues) {
  std::mt19937 rng(21);
  const int sizes[][2] = {{1, 1}, {1, 6}, {7, 1}, {5, 3}, {33, 47}};
  for (const auto& s : sizes)
    for (Border b : {Border::Replicate, Border::Zero}) {
      check_remap<1>(rng, s[0], s[1], b);
      check_remap<2>(rng, s[0], s[1], b);
      check_remap<3>(rng, s[0], s[1], b);
      check_remap<4>(rng, s[0], s[1], b);
    }
}

TEST(ResizeTest, MatchesOpenCVForUpDownSameAndHalvedSizesInBands) {
  std::mt19937 rng(22);
  const struct {
    int sh, sw, dh, dw, cn;
  } cases[] = {{64, 64, 512, 512, 2}, {1, 1, 512, 512, 2}, {37, 53, 512, 512, 2}, {600, 700, 512, 512, 2},
               {1024, 1024, 512, 512, 2},  // exactly half: OpenCV averages 2 x 2 blocks
               {512, 512, 512, 512, 2},    // same size: a copy
               {1024, 3, 512, 512, 2},     {2, 2, 3, 5, 1}, {9, 4, 16, 16, 3}, {5, 7, 16, 16, 4}, {8, 8, 4, 4, 3}};
  for (const auto& c : cases) {
    const std::vector<float> src = image(rng, std::int64_t{c.sh} * c.sw * c.cn);
    std::vector<float> want(static_cast<std::size_t>(std::int64_t{c.dh} * c.dw * c.cn));
    cv::Mat dst = mat(c.dh, c.dw, CV_32FC(c.cn), want.data());
    cv::resize(mat(c.sh, c.sw, CV_32FC(c.cn), src.data()), dst, cv::Size(c.dw, c.dh), 0, 0, cv::INTER_LINEAR);
    for (Simd simd : simds()) {
      const LinearResize r(c.sh, c.sw, c.dh, c.dw, c.cn, simd);
      std::vector<float> got(want.size(), -1.0f), scratch(static_cast<std::size_t>(r.scratch_size()));
      // Three uneven bands, as workers take them.
      const std::int64_t row = std::int64_t{c.dw} * c.cn;
      const int cuts[] = {0, c.dh / 3, c.dh / 3 + 1, c.dh};
      for (int k = 0; k < 3; ++k) r.rows(src.data(), cuts[k], cuts[k + 1], got.data() + cuts[k] * row, scratch.data());
      EXPECT_TRUE(same_floats(got, want))
          << c.sh << " x " << c.sw << " to " << c.dh << " x " << c.dw << " x " << c.cn << ", set " << static_cast<int>(simd);
    }
  }
  EXPECT_THROW(LinearResize(0, 4, 4, 4, 2), std::invalid_argument);
  EXPECT_THROW(LinearResize(4, 4, 4, 4, 5), std::invalid_argument);
  EXPECT_THROW(LinearResize(8, 8, 4, 4, 1), std::invalid_argument);  // halving one or four channels: not reproduced
}

// A frame grid: a gentle rotation about the centre, one point in eight awkward.
std::vector<float> grid(std::mt19937& rng) {
  std::vector<float> g(static_cast<std::size_t>(N * 2));
  std::uniform_int_distribution<int> odd(0, 7);
  for (int y = 0; y < FRAME; ++y)
    for (int x = 0; x < FRAME; ++x) {
      const float u = (x + 0.5f) / 256.0f - 1.0f, v = (y + 0.5f) / 256.0f - 1.0f;
      float* p = &g[static_cast<std::size_t>((y * FRAME + x) * 2)];
      p[0] = 1.02f * u + 0.07f * v;
      p[1] = -0.07f * u + 1.02f * v;
      // In grid units: a coordinate c in pixels is (2 c + 1) / 512 - 1.
      if (odd(rng) == 0) p[0] = (2.0f * coordinate(rng, FRAME) + 1.0f) / 512.0f - 1.0f;
      if (odd(rng) == 0) p[1] = (2.0f * coordinate(rng, FRAME) + 1.0f) / 512.0f - 1.0f;
    }
  return g;
}

TEST(PlaneWarpTest, MatchesOpenCVRemapAndTheCorrectionOnRandomGridsWithEveryInstructionSet) {
  std::mt19937 rng(23);
  const int sizes[][2] = {{1, 1}, {3, 5}, {61, 29}, {512, 512}};
  for (const auto& s : sizes) {
    const int H = s[0], W = s[1];
    const std::vector<float> t = image(rng, std::int64_t{12} * H * W, /*finite=*/H == 512);
    const NdArray planes = NdArray::of<float>(t, {1, 12, H, W});
    const std::vector<float> g = grid(rng);
    // The reference: OpenCV's remap of all 12 channels, then the correction as written.
    std::vector<float> hwc(t.size()), xs(static_cast<std::size_t>(N)), ys(static_cast<std::size_t>(N));
    for (std::int64_t i = 0; i < std::int64_t{H} * W; ++i)
      for (int c = 0; c < 12; ++c) hwc[static_cast<std::size_t>(i * 12 + c)] = t[static_cast<std::size_t>(c * H * W + i)];
    for (std::int64_t i = 0; i < N; ++i) {
      xs[i] = ((g[2 * i] + 1.0f) * 512.0f - 1.0f) * 0.5f;
      ys[i] = ((g[2 * i + 1] + 1.0f) * 512.0f - 1.0f) * 0.5f;
    }
    std::vector<float> sm(static_cast<std::size_t>(N * 12)), want(static_cast<std::size_t>(N * 3));
    cv::Mat dst = mat(FRAME, FRAME, CV_32FC(12), sm.data());
    cv::remap(mat(H, W, CV_32FC(12), hwc.data()), dst, mat(FRAME, FRAME, CV_32FC1, xs.data()),
              mat(FRAME, FRAME, CV_32FC1, ys.data()), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    for (std::int64_t i = 0; i < N; ++i) {
      const float fx = xs[i] - std::floor(xs[i]), fy = ys[i] - std::floor(ys[i]);
      const float ax = (fx * (1.0f - fx)) * 0.5f, ay = (fy * (1.0f - fy)) * 0.5f;
      const float* p = &sm[static_cast<std::size_t>(i * 12)];
      for (int c = 0; c < 3; ++c) {
        float v = p[c] - ax * p[3 + c];
        v = v - ay * p[6 + c];
        want[static_cast<std::size_t>(c * N + i)] = v + (ax * ay) * p[9 + c];
      }
    }
    for (Simd simd : simds()) {
      const PlaneWarp w(planes, simd);
      std::vector<float> got(want.size());
      w.warp(g.data(), got.data());
      EXPECT_TRUE(same_floats(got, want)) << H << " x " << W << " texture, set " << static_cast<int>(simd);
    }
  }
}

// Compositing as OpenCV's remap does it: patch coordinates over the box, the mask with a zero border, the
// colour with replicated edges, then the blend.
void composite_reference(float* o, const float* gm, const Region& roi, const Box& box, const std::vector<float>& rgb, int h,
                         int w, const std::vector<float>& mask, int mh, int mw) {
  const auto axis = [](double a, double b, int n, float g) {
    const float k = static_cast<float>(512.0 / (b - a)), c = static_cast<float>((512.0 - 2 * a) / (b - a));
    float u = g * k;
    u = u + c;
    u = u - 1.0f;
    float t = u + 1.0f;
    t = t * static_cast<float>(n);
    t = t * 0.5f;
    return t - 0.5f;
  };
  const int bh = box.height(), bw = box.width();
  std::vector<float> X(static_cast<std::size_t>(bh * bw)), Y(X.size()), m(X.size()), wv(X.size() * 3), hwc(rgb.size());
  for (int y = 0; y < bh; ++y)
    for (int x = 0; x < bw; ++x) {
      const float* g = gm + (static_cast<std::int64_t>(box.ra + y) * FRAME + box.ca + x) * 2;
      X[static_cast<std::size_t>(y * bw + x)] = axis(roi.x0, roi.x1, w, g[0]);
      Y[static_cast<std::size_t>(y * bw + x)] = axis(roi.y0, roi.y1, h, g[1]);
    }
  for (int i = 0; i < h * w; ++i)
    for (int c = 0; c < 3; ++c) hwc[static_cast<std::size_t>(i * 3 + c)] = rgb[static_cast<std::size_t>(c * h * w + i)];
  cv::Mat md = mat(bh, bw, CV_32FC1, m.data()), wd = mat(bh, bw, CV_32FC3, wv.data());
  cv::remap(mat(mh, mw, CV_32FC1, mask.data()), md, mat(bh, bw, CV_32FC1, X.data()), mat(bh, bw, CV_32FC1, Y.data()),
            cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::remap(mat(h, w, CV_32FC3, hwc.data()), wd, mat(bh, bw, CV_32FC1, X.data()), mat(bh, bw, CV_32FC1, Y.data()),
            cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  for (int y = 0; y < bh; ++y)
    for (int x = 0; x < bw; ++x)
      for (int c = 0; c < 3; ++c) {
        float& v = o[c * N + static_cast<std::int64_t>(box.ra + y) * FRAME + box.ca + x];
        const float mv = m[static_cast<std::size_t>(y * bw + x)];
        const float t1 = mv * wv[static_cast<std::size_t>((y * bw + x) * 3 + c)];
        const float t2 = 1.0f - mv;
        const float t3 = t2 * v;
        v = t1 + t3;
      }
}

TEST(CompositeTest, MatchesOpenCVOnRandomGridsForInterleavedAndSeparateMasks) {
  std::mt19937 rng(24);
  const struct {
    Region roi;
    int h, w, mh, mw;
  } cases[] = {{{100.5, 356.25, 80.0, 400.0}, 97, 131, 97, 131},  // mask of the patch's size: interleaved
               {{200.0, 264.0, 150.0, 246.0}, 10, 12, 9, 13},     // another size: sampled on its own
               {{-40.0, 100.0, 450.0, 600.0}, 33, 20, 33, 20},    // beyond the frame's edges
               {{0.0, 512.0, 0.0, 512.0}, 1, 1, 1, 1}};
  for (const auto& c : cases) {
    const std::vector<float> g = grid(rng);
    const std::vector<float> rgb = image(rng, std::int64_t{3} * c.h * c.w), mask = image(rng, std::int64_t{c.mh} * c.mw);
    const std::vector<float> frame = image(rng, N * 3, /*finite=*/true);
    const PatchSet patch(NdArray::of<float>(rgb, {1, 3, c.h, c.w}), NdArray::of<float>(mask, {1, 1, c.mh, c.mw}));
    for (Simd simd : simds()) {
      Compositor comp(simd);
      const Box box = comp.place(g.data(), c.roi, c.h, c.w);
      ASSERT_FALSE(box.empty());
      std::vector<float> got = frame, want = frame;
      patch.blend(comp, got.data(), 0);
      composite_reference(want.data(), g.data(), c.roi, box, rgb, c.h, c.w, mask, c.mh, c.mw);
      EXPECT_TRUE(same_floats(got, want)) << c.h << " x " << c.w << " patch, " << c.mh << " x " << c.mw
                                                              << " mask, set " << static_cast<int>(simd);
    }
  }
}

}  // namespace
}  // namespace velmora::v2u
