#include <gtest/gtest.h>

#include "common/pytext.h"
#include "common/py_float.h"
#include "common/utf8.h"

#include <cmath>
#include <limits>
#include <optional>

namespace velmora {
namespace {

TEST(PyFloat, AcceptsAndRefusesLikePythonFloat) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* text;
    std::optional<double> want;
  };
  const Case cases[] = {
      {"10", 10.0},      {" 2.5\t\n", 2.5},  {"1e1", 10.0},      {"-1E-2", -0.01},  {"+.5", 0.5},
      {"5.", 5.0},       {"5.e3", 5000.0},   {"1_0.5e1_0", 1.05e11}, {"1e400", inf}, {"-1e400", -inf},
      {"1e-400", 0.0},   {"inf", inf},       {"-Infinity", -inf}, {"iNF", inf},    {"0", 0.0},
      {"", {}},          {" ", {}},          {".", {}},           {"e5", {}},      {"1e", {}},
      {"1e+", {}},       {"1_", {}},         {"_1", {}},          {"1__0", {}},    {"1_.5", {}},
      {"1._5", {}},      {"0x10", {}},       {"in_f", {}},        {"infinit", {}}, {"1 0", {}},
      {"abc", {}},       {"--1", {}},        {"1\x1c", {}},       {"nan(1)", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_py_float(c.text), c.want) << "text: " << py_repr(c.text);
  for (const char* t : {"nan", " -NaN ", "+nan"}) {
    const auto v = parse_py_float(t);
    ASSERT_TRUE(v) << t;
    EXPECT_TRUE(std::isnan(*v)) << t;
  }
}

TEST(PyFloat, ReprAsPython) {
  struct Case {
    double value;
    const char* want;
  };
  const Case cases[] = {
      {20.0, "20.0"},       {25.0, "25.0"},        {0.001, "0.001"},        {1e-4, "0.0001"},
      {9.99e-5, "9.99e-05"}, {1e16, "1e+16"},       {1e15, "1000000000000000.0"}, {123456789012345.6, "123456789012345.6"},
      {-0.0, "-0.0"},       {1.0 / 3, "0.3333333333333333"}, {1e300, "1e+300"}, {5e-324, "5e-324"},
      {100000.0, "100000.0"}, {-2.5, "-2.5"},
      {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(py_float_repr(c.value), c.want);
  // The float32 form takes the shortest digits of the 32-bit value, padded with zeros, as NumPy prints it;
  // the float nearest 1e-4 lies below it and is written in exponent form.
  const std::pair<float, const char*> singles[] = {
      {1.1f, "1.1"},     {-10.0f, "-10.0"}, {1e-4f, "1e-04"},   {1.00001e-4f, "0.000100001"}, {1e-5f, "1e-05"},
      {16777216.0f, "16777216.0"},          {16777218.0f, "16777218.0"},  {123456789.0f, "123456790.0"},
      {-123456789.0f, "-123456790.0"},      {9.99e15f, "9990000000000000.0"},
      {1e16f, "1e+16"},  {3.4028235e38f, "3.4028235e+38"},     {-0.0f, "-0.0"},
  };
  for (const auto& [value, want] : singles) EXPECT_EQ(py_float32_repr(value), want);
}

TEST(Utf8DecodeReplace, OneReplacementPerMaximalInvalidSubsequence) {
  // Expected texts are Python's bytes.decode("utf-8", "replace").
  struct Case {
    const char* bytes;
    const char* want;
  };
  const Case cases[] = {
      {"abc", "abc"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xc3", "\xef\xbf\xbd"},
      {"\xc3\x28", "\xef\xbf\xbd\x28"},
      {"\xe2\x82", "\xef\xbf\xbd"},
      {"\xe2\x82\xac", "\xe2\x82\xac"},
      {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xf0\x9f\x98", "\xef\xbf\xbd"},
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xf5\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xff", "\xef\xbf\xbd"},
      {"\x61\xf0\x9f\x62", "\x61\xef\xbf\xbd\x62"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_decode_replace(c.bytes), c.want) << py_repr(c.bytes);
  EXPECT_EQ(utf8_decode_replace(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace velmora
