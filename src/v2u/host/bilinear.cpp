#include "v2u/host/bilinear.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velmora::v2u {

LinearResize::LinearResize(int sh, int sw, int dh, int dw, int cn, Simd simd)
    : simd_(usable_simd(simd, Simd::Avx2, "the resize")), sh_(sh), sw_(sw), dh_(dh), dw_(dw), cn_(cn) {
  if (sh < 1 || sw < 1 || dh < 1 || dw < 1 || cn < 1 || cn > 4)
    throw std::invalid_argument("cannot resize " + std::to_string(sh) + " x " + std::to_string(sw) + " x " +
                                std::to_string(cn) + " to " + std::to_string(dh) + " x " + std::to_string(dw));
  if (sh == dh && sw == dw) {
    mode_ = Mode::Copy;
    return;
  }
  // OpenCV averages 2 x 2 blocks when both scales are exactly 2, which integer sizes give only here. For one
  // or four channels it then sums in another order, which is not reproduced.
  if (sw == 2 * dw && sh == 2 * dh) {
    if (cn != 2 && cn != 3) throw std::invalid_argument("halving an image of " + std::to_string(cn) + " channels is not supported");
    mode_ = Mode::HalveByArea;
    return;
  }
  const double scale_x = 1.0 / (static_cast<double>(dw) / sw), scale_y = 1.0 / (static_cast<double>(dh) / sh);
  xmax_ = dw;
  xtab_.resize(static_cast<std::size_t>(dw) * cn);
  for (int dx = 0; dx < dw; ++dx) {
    float fx = static_cast<float>((dx + 0.5) * scale_x - 0.5);
    int sx = static_cast<int>(std::floor(fx));
    fx -= static_cast<float>(sx);
    if (sx < 0) fx = 0, sx = 0;
    if (sx + 1 >= sw) {
      xmax_ = std::min(xmax_, dx);
      if (sx >= sw - 1) fx = 0, sx = sw - 1;
    }
    for (int k = 0; k < cn; ++k) xtab_[static_cast<std::size_t>(dx) * cn + k] = {sx * cn + k, 1.0f - fx, fx};
  }
  xmax_ *= cn;
  ytab_.resize(static_cast<std::size_t>(dh));
  for (int dy = 0; dy < dh; ++dy) {
    float fy = static_cast<float>((dy + 0.5) * scale_y - 0.5);
    const int sy = static_cast<int>(std::floor(fy));
    fy -= static_cast<float>(sy);
    ytab_[static_cast<std::size_t>(dy)] = {sy, 1.0f - fy, fy};
  }
}

// The row loops, compiled for the baseline and for AVX2 (wider registers for the same per-element operations).
struct LinearResize::Kernel {
  [[gnu::always_inline]] static void hrow(const LinearResize& r, const float* s, float* d) {
    const int n = r.dw_ * r.cn_, cn = r.cn_;
    const Tap* xt = r.xtab_.data();
    int e = 0;
    for (; e < r.xmax_; ++e) d[e] = s[xt[e].at] * xt[e].a0 + s[xt[e].at + cn] * xt[e].a1;
    for (; e < n; ++e) d[e] = s[xt[e].at];
  }

  [[gnu::always_inline]] static void rows(const LinearResize& r, const float* src, int r0, int r1, float* dst, float* scratch) {
    const std::int64_t srow = std::int64_t{r.sw_} * r.cn_, drow = std::int64_t{r.dw_} * r.cn_;
    if (r.mode_ == Mode::Copy) {
      std::memcpy(dst, src + r0 * srow, static_cast<std::size_t>((r1 - r0) * drow) * sizeof(float));
      return;
    }
    if (r.mode_ == Mode::HalveByArea) {
      const int cn = r.cn_;
      for (int dy = r0; dy < r1; ++dy, dst += drow) {
        const float* s0 = src + 2 * dy * srow;
        const float* s1 = s0 + srow;
        for (int dx = 0; dx < r.dw_; ++dx)
          for (int k = 0; k < cn; ++k) {
            const int a = 2 * dx * cn + k;
            float sum = 0.0f;  // OpenCV's sum starts at 0, which turns a -0 block into +0
            sum += ((s0[a] + s0[a + cn]) + s1[a]) + s1[a + cn];
            dst[dx * cn + k] = sum * 0.25f;
          }
      }
      return;
    }
    // The two horizontally interpolated source rows of the last output row, kept for the next.
    float* buf[2] = {scratch, scratch + drow};
    int held[2] = {-1, -1};
    const auto hrow_of = [&](int row, int other) {
      for (int k = 0; k < 2; ++k)
        if (held[k] == row) return k;
      const int slot = held[0] == other ? 1 : 0;
      hrow(r, src + row * srow, buf[slot]);
      held[slot] = row;
      return slot;
    };
    const auto clip = [&](int row) { return row < 0 ? 0 : (row < r.sh_ ? row : r.sh_ - 1); };
    for (int dy = r0; dy < r1; ++dy, dst += drow) {
      const Tap& t = r.ytab_[static_cast<std::size_t>(dy)];
      const int ra = clip(t.at), rb = clip(t.at + 1);
      const float* a = buf[hrow_of(ra, rb)];
      const float* b = buf[hrow_of(rb, ra)];
      const float b0 = t.a0, b1 = t.a1;
      for (std::int64_t e = 0; e < drow; ++e) dst[e] = a[e] * b0 + b[e] * b1;
    }
  }

  static void baseline(const LinearResize& r, const float* src, int r0, int r1, float* dst, float* scratch) {
    rows(r, src, r0, r1, dst, scratch);
  }
#if defined(__x86_64__)
  __attribute__((target("avx2"))) static void avx2(const LinearResize& r, const float* src, int r0, int r1, float* dst,
                                                   float* scratch) {
    rows(r, src, r0, r1, dst, scratch);
  }
#endif
};

void LinearResize::rows(const float* src, int r0, int r1, float* dst, float* scratch) const {
#if defined(__x86_64__)
  if (simd_ != Simd::Baseline) return Kernel::avx2(*this, src, r0, r1, dst, scratch);
#endif
  Kernel::baseline(*this, src, r0, r1, dst, scratch);
}

}  // namespace velmora::v2u
