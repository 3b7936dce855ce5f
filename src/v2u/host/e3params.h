#pragma once
// The fitted eye-event model of a model pack (e3fit.json): the logistic onset hazard, the calibration's bias
// offset, the event library with its filter, the flutter probability, the path slope, the residual model,
// the refractory time and the hazard feature windows. Built once by Pack, then only read.
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "common/ndarray.h"

namespace velmora::v2u {

struct E3Params {
  // Reads the parsed document `r` with the calibration named `cal` (a key of "cal"; `cal` is taken as stored,
  // so a non-text name is looked up as its text and fails). Throws KeyError naming the first missing key, in
  // the order the fields are listed below, and std::invalid_argument for values that do not convert.
  E3Params(const json::Value& r, const json::Value& cal);
  explicit E3Params(const json::Value& r, std::string_view cal = "eo") : E3Params(r, json::Value::string(std::string(cal))) {}

  NdArray w;       // float64 (NF): hazard weights
  double b = 0;    // hazard bias plus the calibration's delta
  NdArray mu_x;    // float64 (NF): feature means
  NdArray sd_x;    // float64 (NF): feature scales
  NdArray lib;     // float64 (M, NX): the event profiles whose last value is within 0.05 of zero, file order
  NdArray pre;     // float64 (M): eye measure before each kept event
  NdArray flut;    // bool (M): flutter flag of each kept event
  double q = 0;    // probability of drawing a flutter event
  int k = 150;     // events nearest the rest measure that the scheduler keeps (a constant)
  NdArray u;       // float64, a scalar or one value per delta column: the slope beyond the last knot
  json::Value res; // "resid" as parsed: "B", "V" and the AR(2) channel list "ar"
  std::int64_t REF = 0;                          // refractory time in frames
  std::vector<std::vector<std::int64_t>> aw;     // the "AWIN" pairs (a, b), in file order, as given
};

}  // namespace velmora::v2u
