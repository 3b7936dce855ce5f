#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/json_convert.h"
#include "common/support/fixture.h"
#include "v2u/host/eye_map.h"

namespace velmora::v2u {
namespace {

using testing::json_fixture;

const double NaN = std::numeric_limits<double>::quiet_NaN();

NdArray arr(const json::Value& v) { return json::to_array(v, DType::Float64); }
NdArray vec(std::initializer_list<double> v) { return NdArray::of<double>(v); }

void expect_same(std::span<const double> got, std::span<const double> want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) EXPECT_TRUE(std::isnan(got[i])) << what << " [" << i << "]";
    else EXPECT_EQ(got[i], want[i]) << what << " [" << i << "]";
  }
}

const NdArray P9 = vec({0.0, 0.1, 0.22, 0.35, 0.5, 0.62, 0.75, 0.88, 1.0});

TEST(EyeMap, KeysEqualNumpy) {
  // A dip flattened by the running maximum, a rise too small to count, a third column never read, an eye
  // creeping up by 0.0009 (single knot: keys 0.0), a rest measure above a_ref, another a_ref.
  const json::Value f = json_fixture("v2u_eyes/eyes.json");
  int c = 0;
  for (const json::Value& k : f.find("eyemap")->as_array()) {
    SCOPED_TRACE("case " + std::to_string(c++));
    const EyeMap m(arr(*k.find("e_img")), arr(*k.find("P")), k.find("a_ref")->as_double());
    for (std::size_t i = 0; i < 2; ++i) {
      const auto& kn = k.find("knots")->as_array()[i].as_array();
      expect_same(m.knots[i].ek, arr(kn[0]).values<double>(), "ek");
      expect_same(m.knots[i].pk, arr(kn[1]).values<double>(), "pk");
      EXPECT_EQ(m.A[i], k.find("A")->as_array()[i].as_double());
      EXPECT_EQ(m.rest[i], k.find("rest")->as_array()[i].as_double());
    }
    const NdArray key = m.key(arr(*k.find("f")));
    EXPECT_EQ(key.shape(), Shape({arr(*k.find("f")).size(), 2}));
    expect_same(key.values<double>(), arr(*k.find("key")).values<double>(), "key");
  }
  EXPECT_EQ(c, 4);
}

TEST(EyeMap, AmountsReadAsFloat64FromAnyType) {
  const NdArray e = NdArray::of<double>(std::vector<double>{0.2, 0.25, 0.5, 0.5, 0.9, 0.6}, {3, 2});
  const EyeMap m(e, NdArray::of<float>({0.0f, 0.5f, 1.0f}));
  const NdArray k32 = m.key(NdArray::of<float>({0.25f, 1.0f}));
  const NdArray k64 = m.key(vec({0.25, 1.0}));
  expect_same(k32.values<double>(), k64.values<double>(), "float32 amounts");
  EXPECT_EQ(m.A[0], 0.73);  // the last measure 0.9 is capped
  EXPECT_EQ(m.A[1], 0.6);
  EXPECT_EQ(m.key(NdArray(DType::Float64, {0})).shape(), Shape({0, 2}));
}

TEST(EyeMap, RefusesMalformedTables) {
  const NdArray good = NdArray(DType::Float64, {3, 2});
  struct Case {
    const char* what;
    NdArray e_img, P;
  } cases[] = {
      {"no rows", NdArray(DType::Float64, {0, 2}), NdArray(DType::Float64, {0})},
      {"one eye", NdArray(DType::Float64, {3, 1}), vec({0, 1, 2})},
      {"one axis", NdArray(DType::Float64, {3}), vec({0, 1, 2})},
      {"P too short", good, vec({0, 1})},
      {"P of two axes", good, NdArray(DType::Float64, {3, 1})},
  };
  for (const Case& c : cases) EXPECT_THROW(EyeMap(c.e_img, c.P), std::invalid_argument) << c.what;
  const EyeMap m(good, vec({0, 1, 2}));
  EXPECT_THROW(m.key(NdArray::scalar(0.5)), std::invalid_argument);
  EXPECT_THROW(m.key(NdArray(DType::Float64, {2, 1})), std::invalid_argument);
}

TEST(XCal, LevelsAndKeysEqualNumpy) {
  // Three calibrations: uneven, both eyes on one level (keys of the mean level), and one that ends below
  // the last level (clamping above the last kept step).
  const json::Value f = json_fixture("v2u_eyes/eyes.json");
  int c = 0;
  for (const json::Value& k : f.find("xcal")->as_array()) {
    SCOPED_TRACE("case " + std::to_string(c++));
    const XCal x(arr(*k.find("m")), arr(*k.find("P")));
    EXPECT_EQ(x.E, 9);
    expect_same(x.lev(arr(*k.find("p"))).values<double>(), arr(*k.find("lev")).values<double>(), "lev");
    expect_same(x.par(arr(*k.find("lv"))).values<double>(), arr(*k.find("par")).values<double>(), "par");
    expect_same(x.keys(arr(*k.find("kfl"))).values<double>(), arr(*k.find("keys")).values<double>(), "keys");
  }
  EXPECT_EQ(c, 3);
}

TEST(XCal, RefusesCalibrationsThatDoNotFit) {
  struct Case {
    const char* what;
    std::optional<NdArray> m;
    NdArray P;
    const char* message;
  } cases[] = {
      {"E - 2 values", vec({1, 2, 3, 4, 5, 6, 7}), P9, "xcal_m must hold 8 finite floats"},
      {"E values", vec({1, 2, 3, 4, 5, 6, 7, 8, 9}), P9, "xcal_m must hold 8 finite floats"},
      {"a NaN", vec({1, 2, 3, NaN, 5, 6, 7, 8}), P9, "xcal_m must hold 8 finite floats"},
      {"an infinity", vec({1, 2, 3, 4, 5, 6, 7, -INFINITY}), P9, "xcal_m must hold 8 finite floats"},
      {"none", std::nullopt, P9, "xcal_m must hold 8 finite floats"},
      {"a scalar", NdArray::scalar(1.0), vec({0.0, 1.0}), "xcal_m must hold 1 finite floats"},
      {"two axes", NdArray(DType::Float64, {1, 1}), vec({0.0, 1.0}), "xcal_m must hold 1 finite floats"},
      {"no levels", NdArray(DType::Float64, {0}), NdArray(DType::Float64, {0}), "xcal_m must hold -1 finite floats"},
  };
  for (const Case& c : cases) {
    try {
      XCal x(c.m, c.P);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message) << c.what;
    }
  }
}

TEST(XCal, OneLevelMapsEveryPairToIt) {
  const XCal x(NdArray(DType::Float64, {0}), vec({0.4}));
  const NdArray k = x.keys(NdArray::of<double>(std::vector<double>{0.0, 1.0, 0.9, NaN}, {2, 2}));
  for (double v : k.values<double>()) EXPECT_EQ(v, 0.4);
}

TEST(XCal, AStepIsKeptByItsRiseOverTheStepBefore) {
  // Mean levels 0, 1, 0.5, 1 + 5e-10: the last step rises 0.5 over its neighbour, so it is kept although it
  // lies less than 1e-9 above step 1; the kept knots 0, 1, 1 + 5e-10 still increase. A mean level of 3
  // clamps to that last step: left level 3, right level -1 + 1e-9 (NumPy's results).
  const XCal x(vec({1.0, -1.0, -1.0 + 1e-9}), vec({0.0, 1.0, 2.0, 3.0}));
  const NdArray k = x.keys(NdArray::of<double>(std::vector<double>{3.0, 3.0, 1.0, 1.0, 0.5, 0.5}, {3, 2}));
  EXPECT_EQ(k.values<double>()[0], 3.0);
  EXPECT_EQ(k.values<double>()[1], 0.0);
  EXPECT_EQ(k.values<double>()[2], 1.0);
  EXPECT_EQ(k.values<double>()[3], 1.0);
  EXPECT_EQ(k.values<double>()[4], 0.5);
  EXPECT_EQ(k.values<double>()[5], 0.5);
}

TEST(XCal, FallingStepsNeverMakeKnotsGoBack) {
  // Mean levels 0, 2, 0.5, 1: the last step rises above its neighbour but not above step 1, so it is left
  // out and a mean level of 1 lies halfway along the first segment.
  const NdArray P = vec({0.0, 0.1, 0.3, 0.6});
  const XCal x(vec({3.0, -1.0, -1.0}), P);
  const NdArray k = x.keys(NdArray::of<double>(std::vector<double>{0.1, 0.1}, {1, 2}));
  EXPECT_EQ(k.values<double>()[0], x.par(0.5));
  EXPECT_EQ(k.values<double>()[1], x.par(1.5));  // b at left level 0.5, between 0 and 3
  EXPECT_THROW(x.keys(NdArray(DType::Float64, {2, 1})), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::v2u
