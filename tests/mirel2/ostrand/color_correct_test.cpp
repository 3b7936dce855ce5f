#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "common/sha256.h"
#include "mirel2/ostrand/color_correct.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"

namespace velmora::ostrand {
namespace {

using testing::BundleFixture;
using testing::ScopedEnv;
using testing::TempDir;

const std::string DASH = "\u2014";

std::string row(int first = -1) {
  std::string r = "[";
  for (int v = 0; v < 256; ++v) {
    if (v) r += ',';
    r += std::to_string(v == 0 && first >= 0 ? first : v);
  }
  return r + "]";
}
const std::string IDENTITY = "{\"lut\": [" + row() + "," + row() + "," + row() + "]}";

TEST(ColorCorrect, RejectionsCarryTheirReasons) {
  const std::string flat = [] {
    std::string s = "[";
    for (int i = 0; i < 768; ++i) {
      if (i) s += ',';
      s += std::to_string(i % 256);
    }
    return s + "]";
  }();
  struct Case {
    std::optional<std::string> raw;
    std::string reason;
  };
  const Case cases[] = {
      {std::nullopt, "this container carries no color.json"},
      {"", "color.json is present but is not parsable json (Expecting value: line 1 column 1 (char 0)) " + DASH +
               " refusing to invent an identity LUT"},
      {"\xEF\xBB\xBF{}", "color.json is present but is not parsable json (Unexpected UTF-8 BOM (decode using "
                         "utf-8-sig): line 1 column 1 (char 0)) " + DASH + " refusing to invent an identity LUT"},
      {"{\"lut\": \"\xff\"}", "color.json is present but is not parsable json ('utf-8' codec can't decode byte 0xff "
                              "in position 9: invalid start byte) " + DASH + " refusing to invent an identity LUT"},
      {"[]", "color.json is present but is not a json object (got list)"},
      {"\"x\"", "color.json is present but is not a json object (got str)"},
      {"3", "color.json is present but is not a json object (got int)"},
      {"NaN", "color.json is present but is not a json object (got float)"},
      {"true", "color.json is present but is not a json object (got bool)"},
      {"null", "color.json is present but is not a json object (got NoneType)"},
      {"{\"lut\": null, \"gain\": [1,1,1], \"bias\": [0,0,0]}",
       "color.json: 'lut' is not a uint8 array (int() argument must be a string, a bytes-like object or a real "
       "number, not 'NoneType')"},
      {"{\"lut\": [[1, 2], [3]]}", "color.json: 'lut' is not a uint8 array (setting an array element with a "
                                   "sequence: the nesting has an inhomogeneous shape after 1 dimensions)"},
      {"{\"lut\": [256]}", "color.json: 'lut' is not a uint8 array (Python integer 256 out of bounds for uint8)"},
      {"{\"lut\": [-1.5]}", "color.json: 'lut' is not a uint8 array (float -1.5 out of bounds for uint8)"},
      {"{\"lut\": [NaN]}", "color.json: 'lut' is not a uint8 array (cannot convert float NaN to integer)"},
      {"{\"lut\": [true]}", "color.json: 'lut' is not a uint8 array (expected a number, got bool)"},
      {"{\"lut\": [\"7\"]}", "color.json: 'lut' is not a uint8 array (expected a number, got str)"},
      {"{\"lut\": [{}]}", "color.json: 'lut' is not a uint8 array (int() argument must be a string, a bytes-like "
                          "object or a real number, not 'dict')"},
      {"{\"lut\": [" + row() + "," + row() + "]}", "color.json: 'lut' has shape (2, 256), the contract is (3, 256) " +
                                                        DASH + " refusing to apply a mis-shaped table"},
      {"{\"lut\": " + flat + "}", "color.json: 'lut' has shape (768,), the contract is (3, 256) " + DASH +
                                      " refusing to apply a mis-shaped table"},
      {"{\"lut\": 5}", "color.json: 'lut' has shape (), the contract is (3, 256) " + DASH +
                           " refusing to apply a mis-shaped table"},
      {"{\"lut\": [[], [], []]}", "color.json: 'lut' has shape (3, 0), the contract is (3, 256) " + DASH +
                                      " refusing to apply a mis-shaped table"},
      {"{\"gain\": [1, 2, \"x\"], \"bias\": [0, 0, 0]}",
       "color.json: 'gain'/'bias' are not float arrays (expected a number, got str)"},
      {"{\"gain\": [1, 2, 3], \"bias\": {}}",
       "color.json: 'gain'/'bias' are not float arrays (float() argument must be a string or a real number, not "
       "'dict')"},
      {"{\"gain\": [1, 2, 3, 4], \"bias\": [0, 0, 0]}", "color.json: gain(4,)/bias(3,), the contract is (3,)/(3,)"},
      {"{\"gain\": 2, \"bias\": null}", "color.json: gain()/bias(), the contract is (3,)/(3,)"},
      {"{}", "color.json is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: [])"},
      {"{\"gain\": [1, 1, 1]}", "color.json is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: ['gain'])"},
      {"{\"LUT\": 1, \"b\\u00e9\": 2, \"Z\": 3, \"it's\": 4}",
       "color.json is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: ['LUT', 'Z', 'b\xc3\xa9', \"it's\"])"},
  };
  for (const auto& c : cases) {
    const auto r = parse_color_correct(c.raw ? std::optional<std::string_view>(*c.raw) : std::nullopt, "b!color.json");
    EXPECT_EQ(r.cc, nullptr) << r.text;
    EXPECT_EQ(r.text, c.reason);
  }
}

TEST(ColorCorrect, AcceptedFormsAndTheirSuccessTexts) {
  const auto lut = parse_color_correct(IDENTITY, "b!color.json");
  ASSERT_NE(lut.cc, nullptr);
  EXPECT_EQ(lut.cc->kind, "lut");
  EXPECT_EQ(lut.cc->source, "b!color.json");
  EXPECT_EQ(lut.text, "per-channel LUT (model->driver) from b!color.json");
  EXPECT_EQ(parse_color_correct(IDENTITY).text, "per-channel LUT (model->driver) from color.json");

  // The last duplicate counts; "lut" wins over gain and bias; fractions of table entries are dropped.
  const auto dup = parse_color_correct("{\"lut\": 1, \"gain\": [1,1,1], \"bias\": [0,0,0], \"lut\": [" +
                                       row(3) + "," + row() + "," + row().replace(1, 1, "255.9") + "]}");
  ASSERT_NE(dup.cc, nullptr) << dup.text;
  EXPECT_EQ((*dup.cc->lut)[0][0], 3);
  EXPECT_EQ((*dup.cc->lut)[2][0], 255);

  const auto gb = parse_color_correct("{\"gain\": [2, 1.1, NaN], \"bias\": [-10, Infinity, 1e400]}");
  ASSERT_NE(gb.cc, nullptr) << gb.text;
  EXPECT_EQ(gb.cc->kind, "gain_bias");
  EXPECT_EQ(gb.text, "per-channel gain/bias from color.json");
  EXPECT_EQ((*gb.cc->gain)[1], 1.1f);
  EXPECT_TRUE(std::isnan((*gb.cc->gain)[2]));
  EXPECT_EQ((*gb.cc->bias)[2], std::numeric_limits<float>::infinity());
  EXPECT_EQ(gb.cc->describe(), "per-channel gain=[2.0, 1.1, nan] bias=[-10.0, inf, inf]");
  // Numbers beyond float32 become infinite.
  const auto big = parse_color_correct("{\"gain\": [3.4e38, -1e39, 1e-50], \"bias\": [3.5e38, 0, null]}");
  ASSERT_NE(big.cc, nullptr);
  EXPECT_EQ(big.cc->describe(), "per-channel gain=[3.4e+38, -inf, 0.0] bias=[inf, 0.0, nan]");
  // From 2^24 on, the shortest float32 digits padded with zeros, not the exact value (123456792).
  const auto wide = parse_color_correct("{\"gain\": [16777217, 1e15, 0.0001], \"bias\": [123456789, -1e9, 0.5]}");
  ASSERT_NE(wide.cc, nullptr);
  EXPECT_EQ(wide.cc->describe(),
            "per-channel gain=[16777216.0, 1000000000000000.0, 1e-04] bias=[123456790.0, -1000000000.0, 0.5]");
}

TEST(ColorCorrect, GainAndBiasAreTwoFloat32StepsClampedAndTruncated) {
  const float inf = std::numeric_limits<float>::infinity();
  const ColorCorrect cc{.kind = "gain_bias",
                        .lut = {},
                        .gain = ChannelValues{2.0f, 1.0f, std::nanf("")},
                        .bias = ChannelValues{-10.0f, 0.5f, 0.0f},
                        .source = ""};
  const std::vector<std::uint8_t> in = {0, 10, 7, 5, 0, 255, 100, 254, 1, 200, 255, 0};
  const std::vector<std::uint8_t> want = {0, 10, 0, 0, 0, 0, 190, 254, 0, 255, 255, 0};
  EXPECT_EQ(cc.apply(in), want);
  // Infinite gain: 0 * inf is NaN (0), anything else saturates.
  const ColorCorrect wild{.kind = "gain_bias", .lut = {}, .gain = ChannelValues{inf, -inf, 1.0f},
                          .bias = ChannelValues{0.0f, 0.0f, -inf}, .source = ""};
  EXPECT_EQ(wild.apply(std::vector<std::uint8_t>{0, 0, 0, 3, 3, 3}), (std::vector<std::uint8_t>{0, 0, 0, 255, 0, 0}));

  const ColorCorrect unit{.kind = "gain_bias", .lut = {}, .gain = ChannelValues{1, 1, 1}, .bias = ChannelValues{0, 0, 0},
                          .source = ""};
  std::vector<std::uint8_t> all(256 * 3);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i / 3);
  EXPECT_EQ(unit.apply(all), all);
  EXPECT_THROW(unit.apply(std::vector<std::uint8_t>(4)), std::invalid_argument);
}

TEST(ColorCorrect, TablesLookUpPerChannelAndDescribeTheirDeviation) {
  const auto identity = parse_color_correct(IDENTITY).cc;
  std::vector<std::uint8_t> frame(416 * 3 * 2);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 31 + i / 7);
  EXPECT_EQ(identity->apply(frame), frame);
  EXPECT_EQ(identity->describe(),
            "per-channel LUT (model->driver), deviation from identity: R max 0 mean 0.0/G max 0 mean 0.0/B max 0 mean 0.0");

  const auto red3 = parse_color_correct("{\"lut\": [" + row(3) + "," + row() + "," + row() + "]}").cc;
  EXPECT_EQ(red3->describe(),
            "per-channel LUT (model->driver), deviation from identity: R max 3 mean 0.0/G max 0 mean 0.0/B max 0 mean 0.0");
  std::vector<std::uint8_t> px = {0, 0, 0, 9, 9, 9};
  red3->apply(px, px);  // in place
  EXPECT_EQ(px, (std::vector<std::uint8_t>{3, 0, 0, 9, 9, 9}));

  // Means of 0.25 and 0.75 are written with ties to even: 0.2 and 0.8; a reversed table deviates by 128 on average.
  LutRows rows{};
  for (int v = 0; v < 256; ++v) {
    rows[0][v] = static_cast<std::uint8_t>(v < 64 ? v + 1 : v);
    rows[1][v] = static_cast<std::uint8_t>(v < 192 ? v + 1 : v);
    rows[2][v] = static_cast<std::uint8_t>(255 - v);
  }
  const ColorCorrect mixed{.kind = "lut", .lut = rows, .gain = {}, .bias = {}, .source = ""};
  EXPECT_EQ(mixed.describe(),
            "per-channel LUT (model->driver), deviation from identity: R max 1 mean 0.2/G max 1 mean 0.8/B max 255 "
            "mean 128.0");
  EXPECT_EQ(mixed.apply(std::vector<std::uint8_t>{0, 191, 0}), (std::vector<std::uint8_t>{1, 192, 255}));
}

TEST(ColorCorrect, DescriptorHashesExactlyTheCorrectionsBytes) {
  EXPECT_EQ(color_descriptor(nullptr), std::nullopt);
  const auto red3 = parse_color_correct("{\"lut\": [" + row(3) + "," + row() + "," + row() + "]}").cc;
  std::string table;
  for (int k = 0; k < 3; ++k)
    for (int v = 0; v < 256; ++v) table.push_back(static_cast<char>(k == 0 && v == 0 ? 3 : v));
  ASSERT_EQ(table.size(), 768u);
  const auto d = color_descriptor(red3.get());
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->kind, "lut");
  EXPECT_EQ(d->sha256, sha256_hex(table));

  const auto gb = parse_color_correct("{\"gain\": [2, 1, 0.5], \"bias\": [-10, 0, 1.5]}").cc;
  // Little-endian float32: 2.0 = 00 00 00 40, 1.0 = 00 00 80 3f, 0.5 = 00 00 00 3f, -10 = 00 00 20 c1, 1.5 = 00 00 c0 3f.
  const std::string bytes("\0\0\0\x40\0\0\x80\x3f\0\0\0\x3f\0\0\x20\xc1\0\0\0\0\0\0\xc0\x3f", 24);
  EXPECT_EQ(color_descriptor(gb.get())->sha256, sha256_hex(bytes));
  EXPECT_EQ(color_descriptor(gb.get())->kind, "gain_bias");
}

TEST(ColorCorrect, LoadingLogsOneLineAndReadsEveryForm) {
  TempDir tmp;
  ScopedEnv on("MIREL2_COLOR_CORRECT", std::nullopt);
  const auto red3 = "{\"lut\": [" + row(3) + "," + row() + "," + row() + "]}";
  const auto paths = BundleFixture{{"x/color.json", red3}}.write_forms(tmp.path() / "nested");
  const auto flat = BundleFixture{{"color.json", red3}}.write_forms(tmp.path() / "flat");
  const std::string applied = "colour-correct: APPLIED " + DASH +
                              " per-channel LUT (model->driver), deviation from identity: R max 3 mean 0.0/G max 0 "
                              "mean 0.0/B max 0 mean 0.0";
  std::optional<ColorDescriptor> first;
  for (const auto& p : {flat.directory, flat.imx, flat.zip, paths.imx, paths.zip}) {
    const auto r = load_color_correct(p);
    ASSERT_NE(r.cc, nullptr) << p << ": " << r.text;
    EXPECT_EQ(r.text, applied);
    EXPECT_EQ(r.cc->source, p + "!color.json");
    const auto d = color_descriptor(r.cc.get());
    if (!first) first = d;
    EXPECT_EQ(d->sha256, first->sha256) << p;
  }
  const std::string not_applied_tail =
      ". The frames are the raw model output. A container carries the correction only if its producer packed one, "
      "so this says nothing about whether the identity HAS one; it is not an error and the render proceeds.";
  // The directory form looks only directly inside the folder.
  const auto none = load_color_correct(paths.directory);
  EXPECT_EQ(none.cc, nullptr);
  EXPECT_EQ(none.text, "colour-correct: NOT APPLIED " + DASH + " this container carries no color.json" + not_applied_tail);
  const auto broken = BundleFixture{{"color.json", "[]"}}.write_zip(tmp.path() / "broken.zip");
  EXPECT_EQ(load_color_correct(broken).text, "colour-correct: NOT APPLIED " + DASH +
                                                 " color.json is present but is not a json object (got list)" +
                                                 not_applied_tail);

  const std::string disabled = "colour-correct: DISABLED by MIREL2_COLOR_CORRECT=0 " + DASH +
                               " the frames are the RAW model output and will NOT match a live session's colours. This "
                               "switch exists to isolate the renderer for measurement; it is not a serving mode.";
  // Switched off, the bundle is not read at all: a container whose member cannot be read gives no error.
  auto crc = BundleFixture{{"color.json", red3}}.zip();
  crc.corrupt_data(0);
  const std::string unreadable = testing::write_bytes(tmp.path() / "crc.zip", crc.bytes);
  for (const char* off : {" OFF ", "0", "false", "no"}) {
    ScopedEnv env("MIREL2_COLOR_CORRECT", off);
    const auto r = load_color_correct(unreadable);
    EXPECT_EQ(r.cc, nullptr);
    EXPECT_EQ(r.text, disabled) << off;
  }
  for (const char* on : {"", "1", "disable"}) {
    ScopedEnv env("MIREL2_COLOR_CORRECT", on);
    EXPECT_EQ(load_color_correct(flat.zip).text, applied) << on;
    EXPECT_ANY_THROW(load_color_correct(unreadable)) << on;
  }
}

}  // namespace
}  // namespace velmora::ostrand
