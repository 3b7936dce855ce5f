#include <gtest/gtest.h>

#include "common/json.h"

#include <cmath>
#include <string>

namespace velmora::json {
namespace {

TEST(Json, ReadsValuesWithPythonKinds) {
  const Value v = parse(R"( {"i": 3, "f": 3.0, "e": 1e2, "big": 123456789012345678901234567890, "neg": -0,
                           "huge": 1e400, "nan": NaN, "inf": -Infinity, "s": "a\u00e9\ud83d\ude00\n",
                           "l": [true, false, null], "o": {}} )");
  ASSERT_TRUE(v.is_object());
  EXPECT_TRUE(v.find("i")->is_int());
  EXPECT_EQ(v.find("i")->as_int(), 3);
  EXPECT_TRUE(v.find("f")->is_float());
  EXPECT_EQ(v.find("e")->as_double(), 100.0);
  EXPECT_TRUE(v.find("big")->is_int());
  EXPECT_FALSE(v.find("big")->int_fits());
  EXPECT_EQ(v.find("big")->int_text(), "123456789012345678901234567890");
  EXPECT_THROW(v.find("big")->as_int(), std::out_of_range);
  EXPECT_TRUE(std::isinf(v.find("huge")->as_double()));
  EXPECT_TRUE(std::isnan(v.find("nan")->as_double()));
  EXPECT_EQ(v.find("inf")->as_double(), -INFINITY);
  EXPECT_EQ(v.find("s")->as_string(), "a\xc3\xa9\xf0\x9f\x98\x80\n");
  EXPECT_EQ(v.find("l")->as_array().size(), 3u);
  EXPECT_STREQ(v.find("o")->type_name(), "dict");
  EXPECT_FALSE(v.find("o")->truthy());
  EXPECT_EQ(v.find("missing"), nullptr);
}

TEST(Json, RepeatedKeyKeepsFirstPlaceAndLastValue) {
  const Value v = parse(R"({"a": 1, "b": 2, "a": 3})");
  const auto& o = v.as_object();
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].first, "a");
  EXPECT_EQ(o[0].second.as_int(), 3);
  EXPECT_EQ(o[1].first, "b");
}

TEST(Json, ErrorsCarryPythonTexts) {
  struct Case {
    std::string text;
    const char* cls;
    const char* message;
  };
  const Case cases[] = {
      {"", "JSONDecodeError", "Expecting value: line 1 column 1 (char 0)"},
      {"\xEF\xBB\xBF{}", "JSONDecodeError", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
      {"{} x", "JSONDecodeError", "Extra data: line 1 column 4 (char 3)"},
      {"{\"a\" 1}", "JSONDecodeError", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
      {"{\"a\": 1,}", "JSONDecodeError", "Expecting property name enclosed in double quotes: line 1 column 9 (char 8)"},
      {"[1 2]", "JSONDecodeError", "Expecting ',' delimiter: line 1 column 4 (char 3)"},
      {"[1,]", "JSONDecodeError", "Expecting value: line 1 column 4 (char 3)"},
      {"\n\"abc", "JSONDecodeError", "Unterminated string starting at: line 2 column 1 (char 1)"},
      {"\"a\tb\"", "JSONDecodeError", "Invalid control character at: line 1 column 3 (char 2)"},
      {"\"\\x\"", "JSONDecodeError", "Invalid \\escape: line 1 column 2 (char 1)"},
      {"\"\\u12\"", "JSONDecodeError", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      // An escape cut off by the end of the text, also the second half of a surrogate pair.
      {"\"\\u1234", "JSONDecodeError", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      {"\"\\ud800\\udc00", "JSONDecodeError", "Invalid \\uXXXX escape: line 1 column 9 (char 8)"},
      {"\"\xc3\xa9\" x", "JSONDecodeError", "Extra data: line 1 column 5 (char 4)"},
      {"[\"\xff\"]", "UnicodeDecodeError", "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte"},
      {std::string(2000, '['), "RecursionError", "maximum recursion depth exceeded while decoding a JSON document"},
  };
  for (const auto& c : cases) {
    try {
      parse(c.text);
      ADD_FAILURE() << "parsed: " << c.text;
    } catch (const Error& e) {
      EXPECT_EQ(e.python_class(), c.cls) << c.text;
      EXPECT_STREQ(e.what(), c.message) << c.text;
    }
  }
}

}  // namespace
}  // namespace velmora::json
