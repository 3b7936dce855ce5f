#include "v2u/host/pack.h"

#include <cmath>
#include <stdexcept>

#include "common/file_read.h"
#include "common/json_convert.h"
#include "common/py_error.h"
#include "common/pytext.h"
#include "v2u/host/constants.h"

namespace velmora::v2u {

namespace {

json::Value read_json(const std::string& path) { return json::parse(read_file(path)); }

// An int64 copy of `a`. Reals truncate toward zero; a NaN, infinite or out-of-range real is refused, since
// these arrays index columns.
NdArray int64_copy(const NpzFile& z, const std::string& name) {
  const NdArray& a = z.at(name);
  if (is_float_dtype(a.dtype())) {
    for (std::int64_t i = 0; i < a.size(); ++i) {
      const double v = a.as_double(i);
      if (!std::isfinite(v) || v < -9223372036854775808.0 || v >= 9223372036854775808.0)
        throw std::invalid_argument("host.npz member " + py_repr(name) + " holds " + json::py_str(json::Value::number(v)) +
                                    ", which has no integer value");
    }
  }
  return a.astype(DType::Int64);
}

std::string graph_entry(const json::Value& j, const std::string& root, std::string_view key) {
  const json::Value& e = json::at(json::at(j, "graphs"), key);
  if (!e.is_string())
    throw std::invalid_argument(std::string("graph path of ") + py_repr(key) + " must be text, not '" + e.type_name() + "'");
  return path_join(root, e.as_string());
}

}  // namespace

bool trunk_exact(const json::Value& trunk_crop_r, std::int64_t R, std::optional<std::int64_t> R0) {
  // int() has no size limit: a radius beyond 64 bits never equals R, and a negative one always passes.
  if (const int beyond = json::py_int_beyond_int64(trunk_crop_r)) return beyond < 0;
  const std::int64_t c = trunk_crop_r.is_null() ? LEGACY_TRUNK_CROP_R : json::py_int(trunk_crop_r);
  for (const std::int64_t r : {R, R0.value_or(R)})
    if (!(c < 0 || c == r)) return false;
  return true;
}

// Everything the constructor loads, in load order; moved into the Pack's fields once complete.
struct Pack::Loaded {
  std::string root;
  json::Value j;
  std::optional<NpzFile> a;
  std::int64_t R = 0, F = 0, W_TOK = 0;
  NdArray det_dims, DRV, EYE4, DRIVEN, RKEY, EYE_DIMS, base69, W, P, d, c, pca_mu, pca_V;
  json::Value h;
  std::vector<std::pair<NdArray, NdArray>> stw;
  std::optional<E3Params> e3;
  std::optional<Session> s_trunk, s_head, s_det, s_hctx, s_hdraw, s_dflow;
  NdArray flow_dims;
  std::int64_t flow_D = 0;
  std::string motion_path, lite_path, trunk_in, trunk_out;
};

Pack::Pack(std::string root_dir, int threads) : Pack([&] {
  Loaded l;
  l.root = std::move(root_dir);
  l.j = read_json(path_join(l.root, "host.json"));
  // The crop check comes before the archive is read: a pack built for another radius is refused at once.
  const json::Value* crop = l.j.find("trunk_crop_r");
  const json::Value none;
  const json::Value& R = json::at(l.j, "R");
  if (!trunk_exact(crop ? *crop : none, json::py_int(R)))
    throw std::invalid_argument("shared set: trunk crop R " + json::py_str(crop ? *crop : none) + " is not exact at host R " +
                                json::py_str(R));
  l.a.emplace(NpzFile::load(path_join(l.root, "host.npz")));
  const NpzFile& z = *l.a;
  l.R = json::py_int(R);
  l.F = json::py_int(json::at(l.j, "det_F"));
  l.W_TOK = json::py_int(json::at(l.j, "det_window"));
  l.det_dims = int64_copy(z, "det_dims");
  l.DRV = int64_copy(z, "DRV");
  l.EYE4 = int64_copy(z, "EYE4");
  l.DRIVEN = int64_copy(z, "DRIVEN");
  l.RKEY = int64_copy(z, "RKEY");
  l.EYE_DIMS = int64_copy(z, "EYE_DIMS");
  l.base69 = z.at("base69").astype(DType::Float64);
  l.W = z.at("W").astype(DType::Float64);
  l.P = z.at("P").astype(DType::Float64);
  l.d = z.at("d").astype(DType::Float64);
  l.c = z.at("c").astype(DType::Float64);
  l.pca_mu = z.at("pca_mu").astype(DType::Float32);
  l.pca_V = z.at("pca_V").astype(DType::Float32);
  l.h = json::at(l.j, "head");
  const std::int64_t st_n = json::py_int(json::at(l.j, "st_n"));
  for (std::int64_t i = 0; i < st_n; ++i) {
    const std::string n = std::to_string(i);
    NdArray w = z.at("st_w" + n).astype(DType::Float32);
    l.stw.emplace_back(std::move(w), z.at("st_b" + n).astype(DType::Float32));
  }
  l.e3.emplace(read_json(path_join(l.root, "e3fit.json")), json::at(l.j, "e3_cal"));
  const int t = threads;
  l.s_trunk.emplace(ort_session(graph_entry(l.j, l.root, "enc_trunk"), t));
  l.s_head.emplace(ort_session(graph_entry(l.j, l.root, "enc_head"), t));
  l.s_det.emplace(ort_session(graph_entry(l.j, l.root, "det"), t));
  l.s_hctx.emplace(ort_session(graph_entry(l.j, l.root, "head_ctx"), t));
  l.s_hdraw.emplace(ort_session(graph_entry(l.j, l.root, "head_draw"), t));
  l.flow_dims = int64_copy(z, "det_flow_dims");
  if (l.flow_dims.size() > 0) l.s_dflow.emplace(ort_session(graph_entry(l.j, l.root, "det_flow"), t));
  const json::Value* fd = l.j.find("det_flow_D");
  l.flow_D = fd ? json::py_int(*fd) : 0;
  l.motion_path = graph_entry(l.j, l.root, "motion");
  l.lite_path = graph_entry(l.j, l.root, "lite");
  if (l.s_trunk->input_names().empty() || l.s_trunk->output_names().empty())
    throw std::invalid_argument("the enc_trunk graph needs an input and an output");
  l.trunk_in = l.s_trunk->input_names().front();
  l.trunk_out = l.s_trunk->output_names().front();
  return l;
}()) {}

Pack::Pack(Loaded&& l)
    : root(std::move(l.root)), j(std::move(l.j)), a(std::move(*l.a)), R(l.R), F(l.F), W_TOK(l.W_TOK),
      det_dims(std::move(l.det_dims)), DRV(std::move(l.DRV)), EYE4(std::move(l.EYE4)), DRIVEN(std::move(l.DRIVEN)),
      RKEY(std::move(l.RKEY)), EYE_DIMS(std::move(l.EYE_DIMS)), base69(std::move(l.base69)), W(std::move(l.W)),
      P(std::move(l.P)), d(std::move(l.d)), c(std::move(l.c)), pca_mu(std::move(l.pca_mu)), pca_V(std::move(l.pca_V)),
      h(std::move(l.h)), stw(std::move(l.stw)), e3(std::move(*l.e3)), s_trunk(std::move(*l.s_trunk)),
      s_head(std::move(*l.s_head)), s_det(std::move(*l.s_det)), s_hctx(std::move(*l.s_hctx)),
      s_hdraw(std::move(*l.s_hdraw)), flow_dims(std::move(l.flow_dims)), s_dflow(std::move(l.s_dflow)),
      flow_D(l.flow_D), motion_path(std::move(l.motion_path)), lite_path(std::move(l.lite_path)),
      trunk_in(std::move(l.trunk_in)), trunk_out(std::move(l.trunk_out)) {}

std::string Pack::graph_path(std::string_view key) const { return graph_entry(j, root, key); }

NdArray Pack::stitch(const NdArray& xs, const NdArray& xd) const {
  if (xs.rank() == 0 || xd.rank() == 0) throw std::invalid_argument("stitch: xs and xd need a first axis of rows");
  const std::int64_t N = xs.dim(0);
  if (xd.dim(0) != N || xd.size() != N * 63)
    throw std::invalid_argument("stitch: xd must hold " + std::to_string(N) + " rows of 21 x 3 values, not shape " + xd.shape().str());
  const std::int64_t ws = xs.shape().drop_first().size();
  const std::int64_t in0 = ws + 63;
  // Joined rows, converted to float32 after joining (the same values as converting each part); the result
  // starts as xd in float32.
  std::vector<float> x(static_cast<std::size_t>(N * in0));
  NdArray result = NdArray::uninitialized(DType::Float32, {N, 21, 3});
  float* o = result.data<float>();
  const auto rows_into = [&](const NdArray& a, std::int64_t width, std::int64_t at) {
    visit_dtype(a.dtype(), [&](auto t) {
      using T = decltype(t);
      const T* p = static_cast<const T*>(a.raw_data());
      for (std::int64_t n = 0; n < N; ++n)
        for (std::int64_t k = 0; k < width; ++k)
          x[static_cast<std::size_t>(n * in0 + at + k)] = static_cast<float>(widen(p[n * width + k]));
    });
  };
  rows_into(xs, ws, 0);
  rows_into(xd, 63, ws);
  for (std::int64_t n = 0; n < N; ++n) std::copy_n(x.begin() + n * in0 + ws, 63, o + n * 63);
  std::int64_t width = in0;
  std::vector<float> y;
  for (std::size_t i = 0; i < stw.size(); ++i) {
    const NdArray& w = stw[i].first;
    const NdArray& b = stw[i].second;
    if (w.rank() != 2 || w.dim(1) != width || b.size() != w.dim(0))
      throw std::invalid_argument("stitch: layer " + std::to_string(i) + " of shape " + w.shape().str() + " and bias " +
                                  b.shape().str() + " does not take rows of " + std::to_string(width));
    const std::int64_t out = w.dim(0);
    y.assign(static_cast<std::size_t>(N * out), 0.0f);
    const float* wv = w.data<float>();
    const float* bv = b.data<float>();
    const bool relu = i + 1 < stw.size();
    for (std::int64_t n = 0; n < N; ++n) {
      const float* xr = x.data() + n * width;
      for (std::int64_t o = 0; o < out; ++o) {
        const float* wr = wv + o * width;
        float acc = 0.0f;
        for (std::int64_t k = 0; k < width; ++k) acc += xr[k] * wr[k];
        float v = acc + bv[o];
        if (relu) v = std::isnan(v) ? v : (v < 0.0f ? 0.0f : v);
        y[static_cast<std::size_t>(n * out + o)] = v;
      }
    }
    x.swap(y);
    width = out;
  }
  if (width < 65) throw std::invalid_argument("stitch: the last layer gives " + std::to_string(width) + " values per row, not at least 65");
  for (std::int64_t n = 0; n < N; ++n) {
    const float* xr = x.data() + n * width;
    float* on = o + n * 63;
    for (int k = 0; k < 63; ++k) on[k] += xr[k];
    for (int k = 0; k < 21; ++k) {
      on[3 * k] += xr[63];
      on[3 * k + 1] += xr[64];
    }
  }
  return result;
}

}  // namespace velmora::v2u
