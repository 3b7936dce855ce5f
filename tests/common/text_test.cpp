#include <gtest/gtest.h>

#include "common/env.h"
#include "common/log_line.h"
#include "common/pytext.h"
#include "common/strict_int.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace velmora {
namespace {

TEST(StrictInt, AcceptsAndRefusesLikePythonInt) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> want;
  };
  const Case cases[] = {
      {"4", 4},         {" 4\t\n", 4},   {"+4", 4},      {"-4", -4},     {"0", 0},      {"007", 7},
      {"1_000", 1000},  {"-0", 0},       {"", {}},       {"  ", {}},     {"+", {}},     {"4.0", {}},
      {"_1", {}},       {"1_", {}},      {"1__0", {}},   {"- 4", {}},    {"0x10", {}},  {"4 4", {}},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", {}},        {"99999999999999999999999", {}},  {"\xd9\xa3", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_strict_int(c.text), c.want) << "text: " << py_repr(c.text);
}

TEST(StrictInt, SaturatingFormClampsOnlyWhatIsAnInteger) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> want;
  };
  const Case cases[] = {
      {" 42 ", 42},  {"9223372036854775808", INT64_MAX},  {"-9223372036854775809", INT64_MIN},
      {"99_999_999_999_999_999_999", INT64_MAX},  {"-9223372036854775808", INT64_MIN},
      {"99999999999999999999x", {}},  {"99999999999999999999_", {}},  {"1__0", {}},  {"", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_strict_int_saturating(c.text), c.want) << "text: " << py_repr(c.text);
}

TEST(PyRepr, QuotesAndEscapesAsPython) {
  struct Case {
    const char* text;
    const char* want;
  };
  const Case cases[] = {
      {"abc", "'abc'"},           {"it's", "\"it's\""},        {"a'b\"c", "'a\\'b\"c'"},
      {"a\\b", "'a\\\\b'"},       {"l1\nl2\r\t", "'l1\\nl2\\r\\t'"}, {"\x01\x7f", "'\\x01\\x7f'"},
      {"caf\xc3\xa9", "'caf\xc3\xa9'"}, {"", "''"},
  };
  for (const auto& c : cases) EXPECT_EQ(py_repr(std::string_view(c.text)), c.want);
  EXPECT_EQ(py_repr(std::vector<std::string>{"dec16", "dec8"}), "['dec16', 'dec8']");
  EXPECT_EQ(py_repr(std::vector<std::string>{}), "[]");
}

TEST(PyText, PrefixCountsCodePointsAndPathsJoinAsPosix) {
  EXPECT_EQ(utf8_prefix("abcdef", 2), "ab");
  EXPECT_EQ(utf8_prefix("\xc3\xa9\xe2\x80\x94z", 2), "\xc3\xa9\xe2\x80\x94");
  EXPECT_EQ(utf8_prefix("ab", 12), "ab");
  EXPECT_EQ(utf8_prefix("\xff\xfe" "a", 2), "\xff\xfe");
  EXPECT_EQ(path_join("a", "b"), "a/b");
  EXPECT_EQ(path_join("a/", "b"), "a/b");
  EXPECT_EQ(path_join("", "b"), "b");
  EXPECT_EQ(path_join("a", "/b"), "/b");
  EXPECT_EQ(path_basename("x/y/z.bin"), "z.bin");
  EXPECT_EQ(path_basename("z.bin"), "z.bin");
  EXPECT_EQ(path_basename("x/"), "");
}

TEST(EnvSwitch, OnlyTheFourOffWordsTurnAFeatureOff) {
  struct Case {
    std::optional<std::string_view> value;
    bool on;
  };
  const Case cases[] = {
      {std::nullopt, true}, {"", true},      {"1", true},   {"yes", true}, {"0", false},   {" OFF ", false},
      {"False", false},     {"no\n", false}, {"nope", true}, {"00", true},  {"  ", true},
  };
  for (const auto& c : cases) EXPECT_EQ(switch_text_on(c.value), c.on) << (c.value ? *c.value : "<unset>");
  ::setenv("VELMORA_TEST_SWITCH", "off", 1);
  EXPECT_FALSE(env_switch_on("VELMORA_TEST_SWITCH"));
  ::unsetenv("VELMORA_TEST_SWITCH");
  EXPECT_TRUE(env_switch_on("VELMORA_TEST_SWITCH"));
}

TEST(TaggedLog, JoinsPartsWithBlanks) {
  const TaggedLog log("[tarnhost]");
  EXPECT_EQ(log.format({"a", "b c"}), "[tarnhost] a b c\n");
  EXPECT_EQ(log.format({}), "[tarnhost]\n");
}

}  // namespace
}  // namespace velmora
