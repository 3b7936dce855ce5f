#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "common/numpy_interp.h"
#include "common/numpy_minmax.h"
#include "common/support/fixture.h"

namespace velmora {
namespace {

std::vector<double> numbers(const json::Value& list) {
  std::vector<double> out;
  for (const json::Value& v : list.as_array()) out.push_back(v.as_double());
  return out;
}

// Bit equality, NaN equal to NaN.
void expect_same(double got, double want, const std::string& where) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << where << ": " << got;
  } else {
    EXPECT_EQ(got, want) << where;
    EXPECT_EQ(std::signbit(got), std::signbit(want)) << where;
  }
}

TEST(NumpyInterp, EqualsNumpy) {
  // Ends, exact knots, tied knots, a single knot (NaN too), infinite values and the retry from the right.
  const json::Value f = testing::json_fixture("v2u_eyes/eyes.json");
  int c = 0;
  for (const json::Value& k : f.find("interp")->as_array()) {
    const std::vector<double> xp = numbers(*k.find("xp")), fp = numbers(*k.find("fp"));
    const std::vector<double> x = numbers(*k.find("x")), y = numbers(*k.find("y"));
    std::vector<double> all(x.size());
    interp(x, xp, fp, all);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const std::string where = "case " + std::to_string(c) + " x=" + std::to_string(x[i]);
      expect_same(interp(x[i], xp, fp), y[i], where);
      expect_same(all[i], y[i], where);
    }
    ++c;
  }
  EXPECT_GE(c, 7);
}

TEST(NumpyInterp, RefusesWhatNumpyRefuses) {
  const std::vector<double> none, one{1.0}, two{1.0, 2.0};
  try {
    interp(0.0, none, none);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "array of sample points is empty");
  }
  try {
    interp(0.0, two, one);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "fp and xp are not of the same length.");
  }
  // Knots out of order give some value of fp, read inside the arrays.
  const std::vector<double> xp{3.0, 1.0, 2.0, 0.0, 5.0, 4.0}, fp{1, 2, 3, 4, 5, 6};
  for (double x : {-1.0, 0.5, 2.5, 4.5, 9.0}) EXPECT_TRUE(std::isfinite(interp(x, xp, fp)));
}

TEST(NumpyMinMax, NanRules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(np_maximum(nan, 1.0)));
  EXPECT_TRUE(std::isnan(np_maximum(1.0, nan)));
  EXPECT_EQ(np_maximum(0.5, 2.0), 2.0);
  const std::vector<double> v{3.0, 1.0, 1.0, nan, 0.0};
  const auto at = [&](std::int64_t i) { return v[static_cast<std::size_t>(i)]; };
  EXPECT_EQ(np_argmin(5, at), 3);  // the first NaN wins
  EXPECT_EQ(np_argmin(3, at), 1);  // the lowest of equal smallest
  EXPECT_EQ(np_argmin(1, at), 0);
}

}  // namespace
}  // namespace velmora
