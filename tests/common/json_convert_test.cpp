#include <gtest/gtest.h>

#include <cmath>

#include "common/json_convert.h"
#include "common/py_error.h"

namespace velmora::json {
namespace {

TEST(JsonConvertTest, PythonIntFloatAndStr) {
  const struct { const char* text; std::int64_t want; } ints[] = {
      {"5", 5}, {"-6.9", -6}, {"6.9", 6}, {"true", 1}, {"\" 1_000 \"", 1000}, {"-0.5", 0}};
  for (const auto& c : ints) EXPECT_EQ(py_int(parse(c.text)), c.want) << c.text;
  for (const char* bad : {"NaN", "Infinity", "null", "[1]", "{}", "\"1.5\"", "1e300"})
    EXPECT_ANY_THROW(py_int(parse(bad))) << bad;
  EXPECT_EQ(py_float(parse("3")), 3.0);
  EXPECT_EQ(py_float(parse("false")), 0.0);
  EXPECT_TRUE(std::isnan(py_float(parse("NaN"))));
  EXPECT_EQ(py_float(parse("\" 1e-5 \"")), 1e-5);
  EXPECT_THROW(py_float(parse("\"x\"")), std::invalid_argument);
  EXPECT_THROW(py_float(parse("null")), std::invalid_argument);
  const struct { const char* text; const char* want; } strs[] = {
      {"7.0", "7.0"}, {"6.9", "6.9"}, {"7", "7"}, {"null", "None"}, {"true", "True"}, {"\"ab\"", "ab"},
      {"1e-05", "1e-05"}, {"0.0001", "0.0001"}, {"1e16", "1e+16"}, {"123456789012345.6", "123456789012345.6"},
      {"-0.0", "-0.0"}, {"NaN", "nan"}, {"-Infinity", "-inf"}, {"1.5e300", "1.5e+300"},
      {"[1, \"a\", null]", "[1, 'a', None]"}, {"{\"k\": 2.5}", "{'k': 2.5}"}, {"99999999999999999999", "99999999999999999999"}};
  for (const auto& c : strs) EXPECT_EQ(py_str(parse(c.text)), c.want) << c.text;
}

TEST(JsonConvertTest, ArraysAndLookups) {
  const NdArray m = to_array(parse("[[1, 2.5], [NaN, null]]"), DType::Float64);
  EXPECT_EQ(m.shape(), (Shape{2, 2}));
  EXPECT_EQ(m.as_double(1), 2.5);
  EXPECT_TRUE(std::isnan(m.as_double(2)));
  EXPECT_TRUE(std::isnan(m.as_double(3)));
  EXPECT_EQ(to_array(parse("3"), DType::Float64).shape(), Shape{});
  EXPECT_EQ(to_array(parse("[]"), DType::Float64).shape(), (Shape{0}));
  EXPECT_EQ(to_array(parse("[[], []]"), DType::Float64).shape(), (Shape{2, 0}));
  const NdArray b = to_array(parse("[true, 0, 2, 0.0]"), DType::Bool);
  EXPECT_EQ(std::vector<bool>(b.values<bool>().begin(), b.values<bool>().end()), (std::vector<bool>{true, false, true, false}));
  for (const char* bad : {"[[1], [1, 2]]", "[1, [2]]", "[\"a\"]", "[{}]"})
    EXPECT_THROW(to_array(parse(bad), DType::Float64), std::invalid_argument) << bad;
  EXPECT_THROW(to_array(parse("[null]"), DType::Bool), std::invalid_argument);
  const Value o = parse("{\"a\": 1}");
  EXPECT_EQ(at(o, "a").as_int(), 1);
  try {
    at(o, "b");
    ADD_FAILURE();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "b");
    EXPECT_STREQ(e.what(), "'b'");
  }
  EXPECT_THROW(at(parse("[1]"), "a"), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::json
