#include "v2u/host/e3params.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/json_convert.h"
#include "common/py_error.h"

namespace velmora::v2u {

E3Params::E3Params(const json::Value& r, const json::Value& cal) {
  const json::Value& hz = json::at(r, "hazard");
  w = json::to_array(json::at(hz, "w"), DType::Float64);
  const double b0 = json::py_float(json::at(hz, "b"));
  // The calibration name is looked up as stored: a name that is not text is no key of the object.
  const json::Value& cals = json::at(r, "cal");
  if (!cal.is_string()) throw KeyError(json::py_str(cal));
  const json::Value* entry = &json::at(cals, cal.as_string());
  b = b0 + json::py_float(json::at(*entry, "delta"));
  mu_x = json::to_array(json::at(hz, "mu_x"), DType::Float64);
  sd_x = json::to_array(json::at(hz, "sd_x"), DType::Float64);

  const NdArray rel = json::to_array(json::at(r, "lib_rel"), DType::Float64);
  const NdArray pre_all = json::to_array(json::at(r, "lib_pre"), DType::Float64);
  const NdArray flut_all = json::to_array(json::at(r, "lib_flut"), DType::Bool);
  if (rel.rank() != 2 || rel.dim(1) == 0)
    throw std::invalid_argument("lib_rel must be a matrix of event profiles with at least one frame, not shape " + rel.shape().str());
  const std::int64_t N = rel.dim(0), NX = rel.dim(1);
  for (const NdArray* a : {&pre_all, &flut_all})
    if (a->rank() != 1 || a->dim(0) != N)
      throw std::invalid_argument("boolean index did not match: lib_pre and lib_flut need " + std::to_string(N) +
                                  " entries, one per event, not shape " + a->shape().str());
  // Keep an event when its profile ends at rest: |last value| <= 0.05 (a NaN end drops it).
  std::vector<std::int64_t> keep;
  const double* rv = rel.data<double>();
  for (std::int64_t e = 0; e < N; ++e)
    if (std::fabs(rv[e * NX + NX - 1]) <= 0.05) keep.push_back(e);
  const auto M = static_cast<std::int64_t>(keep.size());
  lib = NdArray(DType::Float64, {M, NX});
  pre = NdArray(DType::Float64, {M});
  flut = NdArray(DType::Bool, {M});
  for (std::int64_t i = 0; i < M; ++i) {
    const std::int64_t e = keep[static_cast<std::size_t>(i)];
    std::copy(rv + e * NX, rv + (e + 1) * NX, lib.data<double>() + i * NX);
    pre.data<double>()[i] = pre_all.data<double>()[e];
    flut.data<bool>()[i] = flut_all.data<bool>()[e];
  }

  q = json::py_float(json::at(r, "q_flut_val"));
  k = 150;
  u = json::to_array(json::at(r, "u"), DType::Float64);
  res = json::at(r, "resid");
  REF = json::py_int(json::at(r, "REFRACT"));
  const json::Value& awin = json::at(json::at(r, "causal"), "AWIN");
  if (!awin.is_array()) throw std::invalid_argument(std::string("'") + awin.type_name() + "' object is not iterable");
  for (const json::Value& x : awin.as_array()) {
    if (!x.is_array()) throw std::invalid_argument(std::string("'") + x.type_name() + "' object is not iterable");
    std::vector<std::int64_t> pair;
    for (const json::Value& e : x.as_array()) pair.push_back(json::py_int(e));
    aw.push_back(std::move(pair));
  }
}

}  // namespace velmora::v2u
