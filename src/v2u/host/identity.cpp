#include "v2u/host/identity.h"

#include <algorithm>
#include <stdexcept>

#include "common/float16.h"
#include "common/pytext.h"

namespace velmora::v2u {

namespace {

// One plane's four blocks, in compute type T, each result rounded by `round` (identity for float and double,
// binary16 rounding for half-precision planes).
template <class T, class Round>
void cone_plane(const T* p, std::int64_t H, std::int64_t W, T* dx, T* dy, T* dxy, Round round) {
  auto at = [&](std::int64_t y, std::int64_t x) { return p[y * W + x]; };
  const T two = 2;
  for (std::int64_t y = 0; y < H; ++y) {
    const std::int64_t ym = std::max<std::int64_t>(y - 1, 0), yp = std::min<std::int64_t>(y + 1, H - 1);
    for (std::int64_t x = 0; x < W; ++x) {
      const std::int64_t xm = std::max<std::int64_t>(x - 1, 0), xp = std::min<std::int64_t>(x + 1, W - 1);
      dx[y * W + x] = round(round(at(y, xm) - round(two * at(y, x))) + at(y, xp));
      dy[y * W + x] = round(round(at(ym, x) - round(two * at(y, x))) + at(yp, x));
    }
  }
  for (std::int64_t y = 0; y < H; ++y) {
    const T* row = dy + y * W;
    for (std::int64_t x = 0; x < W; ++x) {
      const std::int64_t xm = std::max<std::int64_t>(x - 1, 0), xp = std::min<std::int64_t>(x + 1, W - 1);
      dxy[y * W + x] = round(round(row[xm] - round(two * row[x])) + row[xp]);
    }
  }
}

template <class T, class Round>
NdArray cone_as(const NdArray& P32or64, Round round) {
  const std::int64_t N = P32or64.dim(0), Q = P32or64.dim(1), H = P32or64.dim(2), W = P32or64.dim(3);
  const std::int64_t plane = H * W;
  std::vector<T> work(static_cast<std::size_t>(3 * plane));
  NdArray out = NdArray::uninitialized(DType::Float32, {N, 4 * Q, H, W});
  float* o = out.data<float>();
  const T* p = P32or64.data<T>();
  for (std::int64_t n = 0; n < N; ++n) {
    for (std::int64_t ch = 0; ch < Q; ++ch) {
      const T* src = p + (n * Q + ch) * plane;
      cone_plane<T>(src, H, W, work.data(), work.data() + plane, work.data() + 2 * plane, round);
      const T* blocks[4] = {src, work.data(), work.data() + plane, work.data() + 2 * plane};
      for (int b = 0; b < 4; ++b) {
        float* dst = o + ((n * 4 * Q) + b * Q + ch) * plane;
        for (std::int64_t i = 0; i < plane; ++i) dst[i] = static_cast<float>(blocks[b][i]);
      }
    }
  }
  return out;
}

NdArray f64(const NpzFile& z, const char* name) { return z.at(name).astype(DType::Float64); }
NdArray f32(const NpzFile& z, const char* name) { return z.at(name).astype(DType::Float32); }

std::optional<NdArray> optional_f64(const NpzFile& z, const char* name) {
  const NdArray& a = z.at(name);
  if (a.size() == 0) return std::nullopt;
  return a.astype(DType::Float64);
}

double one_number(const NpzFile& z, const char* name) {
  const NdArray& a = z.at(name);
  if (a.size() != 1)
    throw std::invalid_argument(std::string("identity member ") + py_repr(name) + " must hold one number, not shape " + a.shape().str());
  return a.as_double(0);
}

}  // namespace

NdArray cone(const NdArray& P) {
  if (P.rank() != 4) throw std::invalid_argument("cone: planes need four axes (items, channels, rows, columns), not shape " + P.shape().str());
  if (P.dim(2) == 0 || P.dim(3) == 0) throw std::invalid_argument("cone: can't extend empty axis of planes " + P.shape().str());
  const auto keep = [](auto v) { return v; };
  switch (P.dtype()) {
    case DType::Float32: return cone_as<float>(P, keep);
    case DType::Float16: return cone_as<float>(P.astype(DType::Float32), [](float v) { return half_to_float(float_to_half(v)); });
    default: return cone_as<double>(P.dtype() == DType::Float64 ? P : P.astype(DType::Float64), keep);
  }
}

Identity::Identity(const NpzFile& z, json::Value document) : doc(std::move(document)) {
  src.kp_c = f64(z, "src_kp_c");
  src.R = f64(z, "src_R");
  src.exp = f64(z, "src_exp");
  src.t = f64(z, "src_t");
  src.scale = one_number(z, "src_scale");
  src.x_s = f32(z, "src_x_s");
  idv = f64(z, "idv");
  pose = f64(z, "pose");
  shift = one_number(z, "shift");
  e_img = f64(z, "e_img");
  xcal_m = optional_f64(z, "xcal_m");
  bank_key = f64(z, "bank_key");
  bank_sd = f64(z, "bank_sd");
  bank_proj = optional_f64(z, "bank_proj");
  bank_mu = optional_f64(z, "bank_mu");
  roi_m = f32(z, "bank_roi");
  roi_e = f32(z, "eb_roi");
  r.g_src = f32(z, "g_src");
  r.g_f32 = f32(z, "g_f32");
  r.g_f128 = f32(z, "g_f128");
  r.x_s_t = f32(z, "x_s_t");
  r.b_rgb = f32(z, "b_rgb");
  r.b_mask = f32(z, "b_mask");
  r.b_x = f32(z, "b_x");
  r.b_f32 = f32(z, "b_f32");
  r.e_rgb = f32(z, "e_rgb");
  r.e_mL = f32(z, "e_mL");
  r.e_mR = f32(z, "e_mR");
  r.e_x = f32(z, "e_x");
  planes = cone(r.g_src);
}

Identity Identity::load(const std::string& path, json::Value doc) { return Identity(NpzFile::load(path), std::move(doc)); }

Identity Identity::load_bytes(std::shared_ptr<const std::string> bytes, json::Value doc) {
  return Identity(NpzFile::load_bytes(std::move(bytes), {}, "identity archive in memory"), std::move(doc));
}

}  // namespace velmora::v2u
