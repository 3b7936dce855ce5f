#pragma once
// The head-motion model of one stream. Per token of C frames the context graph reads the token's audio
// features, the detector's hidden output, the newest control points of two curves, a carried scalar and a
// recurrent state; the draw graph turns its context and fresh noise into increments of both curves and the
// next carried scalar. The increments are summed into the control points of a slow and a fast uniform
// B-spline; a token's rows are both splines evaluated at its frames.
#include <cstdint>
#include <vector>

#include "common/ndarray.h"
#include "v2u/host/noise.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {

class HeadL {
 public:
  // `pk` and `noise` must outlive the model. Settings come from the pack's "head" object (p, nk, S, D, pf, nkf,
  // ncode, Lc as integers, eps as a number, hid_shape as integers) and the archive's h2l_id_mu, h2l_id_sd,
  // h2l_l_mu and h2l_l_sd. `idv129`: 129 numbers, the last three the head pose in degrees. The control-point
  // buffers hold `cap_tokens` tokens; `keep_tokens` are kept when they are compacted. Throws KeyError for a
  // missing key or member, std::invalid_argument for a value without an integer reading, statistics that do
  // not fit, eps <= 0 ("math domain error") and settings that would make the splines undefined: degrees
  // outside 1 .. 20, negative counts, D < 1, nkf outside 1 .. C, cap_tokens < 1 or keep_tokens < 0.
  HeadL(const Pack& pk, const NdArray& idv129, NoiseSource& noise, std::int64_t cap_tokens = 1024, std::int64_t keep_tokens = 64);

  // One token, in stream order: `feat4` holds its C x 3 x 768 audio features (any real type), `h` the
  // detector's hidden output for the same token (any shape). Returns float64 (C, 3), the rows of frames
  // C k .. C k + 3. Draws, in this order, a code (when ncode != 0 and k is a multiple of Lc), u and x0 from the
  // noise source. Throws std::invalid_argument for a feature count other than C x 3 x 768 and graph outputs
  // that do not fit, PyError ZeroDivisionError when codes are drawn with Lc = 0, std::out_of_range when a
  // control point would lie outside its buffer (keep_tokens >= cap_tokens, or settings whose splines outrun
  // the points written), and passes errors of the runs and of the noise source on. A failed step does not
  // advance the token count; what it changed before failing stays changed.
  NdArray step(const NdArray& feat4, const NdArray& h);

  std::int64_t tokens() const { return k_; }        // tokens stepped so far
  std::int64_t dropped() const { return kb_; }      // tokens whose control points were compacted away
  std::int64_t code() const { return code_; }       // the code fed to the draw graph last

 private:
  struct Curve {
    std::int64_t n = 0;       // points per token
    std::int64_t q = 0;       // degree, and leading zero points after the S history points
    std::int64_t space = 0;   // frames per knot
    std::vector<float> pts;   // 3 values per point
    std::int64_t size() const { return static_cast<std::int64_t>(pts.size() / 3); }
    float* at(std::int64_t pos);  // bounds-checked point
  };
  std::int64_t newest(const Curve& c) const { return S_ + c.n * (k_ - kb_) + c.q - 1; }
  void compact();
  void history(Curve& c, NdArray& feed);
  void extend(Curve& c, const NdArray& inc, const char* name);
  void rows(Curve& c, double* out);

  const Pack& pk_;
  NoiseSource& noise_;
  std::int64_t S_ = 0, ncode_ = 0, Lc_ = 0, nx0_ = 0;
  std::int64_t cap_ = 0, keep_ = 0;
  Curve slow_, fast_;
  float lprev_ = 0.0f;
  std::int64_t code_ = 0, k_ = 0, kb_ = 0;
  NdArray l_mu_, l_sd_;
  // Graph inputs kept between steps.
  NdArray f_, hh_, shist_, fhist_, lprev_in_, tok_, idt_, hid_, pose_deg_, k0_, code_in_, u_, x0_;
  NdArray lprev0_, lpn_diff_, lpn_, lpn_view_;  // the carried scalar standardised, in the statistics' shape
  std::vector<double> weights_;  // row 0 of the code probabilities
  std::vector<double> bw_;       // spline weights of one frame
};

}  // namespace velmora::v2u
