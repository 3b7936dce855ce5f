#include <gtest/gtest.h>

#include <cmath>

#include "common/file_read.h"
#include "common/json_convert.h"
#include "common/py_error.h"
#include "v2u/host/e3params.h"

namespace velmora::v2u {
namespace {

json::Value fixture() {
  return json::parse(read_file(VELMORA_SOURCE_DIR "/tests/fixtures/v2u/pack/e3fit.json"));
}

// The fixture document with member `key` of the top level (or of `parent`) replaced by `text`, or dropped
// when `text` is empty.
json::Value edited(const std::string& key, const std::string& text, const std::string& parent = "") {
  const json::Value doc = fixture();
  auto edit = [&](const json::Value& obj) {
    json::Object o;
    bool seen = false;
    for (const auto& [k, v] : obj.as_object()) {
      if (k != key) {
        o.emplace_back(k, v);
      } else {
        seen = true;
        if (!text.empty()) o.emplace_back(k, json::parse(text));
      }
    }
    if (!seen && !text.empty()) o.emplace_back(key, json::parse(text));
    return json::Value::object(std::move(o));
  };
  if (parent.empty()) return edit(doc);
  json::Object o;
  for (const auto& [k, v] : doc.as_object()) o.emplace_back(k, k == parent ? edit(v) : v);
  return json::Value::object(std::move(o));
}

TEST(E3ParamsTest, ReadsTheFitAndFiltersTheLibrary) {
  const E3Params e(fixture());
  EXPECT_EQ(e.w.shape(), (Shape{28}));
  EXPECT_EQ(e.w.dtype(), DType::Float64);
  EXPECT_EQ(e.b, -2.0 + 0.25);
  EXPECT_EQ(e.sd_x.as_double(0), 1.0);
  // Profiles ending at 0.05 and -0.05 stay; 0.0500001 and NaN go (the file writes NaN as a bare token).
  ASSERT_EQ(e.lib.shape(), (Shape{3, 4}));
  EXPECT_EQ(e.lib.as_double(4 + 1), 0.7);
  EXPECT_EQ(e.pre.values<double>()[2], 0.7);
  EXPECT_EQ(std::vector<bool>(e.flut.values<bool>().begin(), e.flut.values<bool>().end()), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(e.q, 0.125);
  EXPECT_EQ(e.k, 150);
  EXPECT_EQ(e.u.shape(), (Shape{12}));
  EXPECT_EQ(e.REF, 3);  // 3.7 truncated
  EXPECT_EQ(e.aw, (std::vector<std::vector<std::int64_t>>{{-4, 0}, {0, 2}}));
  EXPECT_EQ(json::at(e.res, "ar").as_array().size(), 2u);
  // Another calibration changes only the bias.
  const E3Params ec(fixture(), "ec");
  EXPECT_EQ(ec.b, -2.0 - 1.5);
  EXPECT_EQ(ec.lib.shape(), e.lib.shape());
}

TEST(E3ParamsTest, EdgeValues) {
  EXPECT_EQ(E3Params(edited("lib_rel", "[[0, 1, 2], [0, 1, 3], [1, 1, 1], [0, 0, 0.06], [0, 0, 9]]")).lib.shape(), (Shape{0, 3}));
  EXPECT_EQ(E3Params(edited("u", "0.5")).u.shape(), Shape{});
  EXPECT_EQ(E3Params(edited("u", "2")).u.as_double(0), 2.0);
  EXPECT_EQ(E3Params(edited("AWIN", "[]", "causal")).aw.size(), 0u);
  EXPECT_EQ(E3Params(edited("REFRACT", "-2.5")).REF, -2);
  EXPECT_EQ(E3Params(edited("k", "7")).k, 150);
  EXPECT_EQ(E3Params(edited("b", "1", "hazard")).b, E3Params(edited("b", "1.0", "hazard")).b);
  EXPECT_THROW(E3Params(edited("lib_pre", "[1, 2]")), std::invalid_argument);
  EXPECT_THROW(E3Params(edited("lib_flut", "[true]")), std::invalid_argument);
  EXPECT_THROW(E3Params(edited("lib_rel", "[[0, 1], [0]]")), std::invalid_argument);
  EXPECT_THROW(E3Params(edited("lib_rel", "[]")), std::invalid_argument);
  EXPECT_THROW(E3Params(edited("q_flut_val", "\"x\"")), std::invalid_argument);
  EXPECT_EQ(E3Params(edited("q_flut_val", "\"0.5\"")).q, 0.5);
  EXPECT_THROW(E3Params(edited("REFRACT", "null")), std::invalid_argument);
  EXPECT_THROW(E3Params(edited("AWIN", "[1]", "causal")), std::invalid_argument);
  EXPECT_THROW(E3Params(fixture(), json::Value::integer(1)), KeyError);
}

TEST(E3ParamsTest, MissingKeysAreNamedInConstructionOrder) {
  const struct { std::string key, parent, want; } cases[] = {
      {"hazard", "", "hazard"}, {"w", "hazard", "w"}, {"b", "hazard", "b"}, {"cal", "", "cal"},
      {"eo", "cal", "eo"}, {"mu_x", "hazard", "mu_x"}, {"sd_x", "hazard", "sd_x"}, {"lib_rel", "", "lib_rel"},
      {"lib_pre", "", "lib_pre"}, {"lib_flut", "", "lib_flut"}, {"q_flut_val", "", "q_flut_val"}, {"u", "", "u"},
      {"resid", "", "resid"}, {"REFRACT", "", "REFRACT"}, {"causal", "", "causal"}, {"AWIN", "causal", "AWIN"},
  };
  for (const auto& c : cases) {
    try {
      E3Params e(edited(c.key, "", c.parent));
      ADD_FAILURE() << c.key << " not missed";
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), c.want);
    }
  }
  try {
    E3Params e(edited("cal", "{\"eo\": {\"other\": 1}}"));
    ADD_FAILURE() << "delta not missed";
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "delta");
  }
}

}  // namespace
}  // namespace velmora::v2u
