#include "v2u/host/head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/json_convert.h"
#include "common/py_error.h"
#include "v2u/host/detector.h"
#include "v2u/host/encoder.h"
#include "v2u/host/support/motion_fixture.h"

namespace velmora::v2u {
namespace {

using namespace motion_fixture;

constexpr std::int64_t NH = 288;  // width of the main fixture detector's hidden output

// Passes draws on from another source and records them: the kinds in call order ("c", "u", "x") and the values.
class Recording final : public NoiseSource {
 public:
  explicit Recording(NoiseSource& inner) : inner_(inner) {}
  std::int64_t code(std::span<const double> w) override {
    calls += "c";
    rec.code.push_back(inner_.code(w));
    return rec.code.back();
  }
  float u() override {
    calls += "u";
    rec.u.push_back({inner_.u()});
    return static_cast<float>(rec.u.back()[0]);
  }
  std::vector<float> x0(std::int64_t n) override {
    calls += "x";
    std::vector<float> v = inner_.x0(n);
    rec.x0.emplace_back(v.begin(), v.end());
    return v;
  }
  std::string calls;
  NoiseRecord rec;

 private:
  NoiseSource& inner_;
};

bool same_rows(const NdArray& a, const NdArray& b) {
  return a.shape() == b.shape() && std::memcmp(a.raw_data(), b.raw_data(), a.nbytes()) == 0;
}

void expect_reference(const std::string& name, std::int64_t steps) {
  const NdArray want = ref().at("head_" + name + "_rows");
  NumpyNoise noise(ref().at("head_" + name + "_seed").values<std::uint64_t>()[0]);
  HeadL hl(pack(name), ref().at("head_" + name + "_idv"), noise);
  for (std::int64_t k = 0; k < steps; ++k) {
    SCOPED_TRACE("token " + std::to_string(k));
    expect_same(hl.step(token_feat(k), token_hidden(k, NH)), want.item(k));
  }
  EXPECT_EQ(hl.tokens(), steps);
}

TEST(HeadLTest, RowsMatchNumPy) {
  expect_reference("main", 150);
  // Degree 2 and 1 splines, two slow points per token, a fast knot per frame, no codes, broadcast statistics.
  expect_reference("head2", 60);
}

TEST(HeadLTest, DrawsCodeThenUThenX0) {
  NumpyNoise live(5);
  Recording noise(live);
  HeadL hl(pack("main"), ref().at("head_main_idv"), noise);  // ncode 4, Lc 3
  for (std::int64_t k = 0; k < 7; ++k) hl.step(token_feat(k), token_hidden(k, NH));
  EXPECT_EQ(noise.calls, "cuxuxuxcuxuxuxcux");
  NumpyNoise live2(5);
  Recording none(live2);
  HeadL h2(pack("head2"), ref().at("head_head2_idv"), none);  // ncode 0 (and Lc 0, never divided by)
  for (std::int64_t k = 0; k < 3; ++k) h2.step(token_feat(k), token_hidden(k, NH));
  EXPECT_EQ(none.calls, "uxuxux");
  EXPECT_EQ(h2.code(), 0);
}

TEST(HeadLTest, ReplayedDrawsGiveTheSameRows) {
  NumpyNoise live(77);
  Recording noise(live);
  HeadL a(pack("main"), ref().at("head_main_idv"), noise);
  std::vector<NdArray> rows;
  for (std::int64_t k = 0; k < 20; ++k) rows.push_back(a.step(token_feat(k), token_hidden(k, NH)));
  RecNoise replay(noise.rec);
  HeadL b(pack("main"), ref().at("head_main_idv"), replay);
  for (std::int64_t k = 0; k < 20; ++k) EXPECT_TRUE(same_rows(b.step(token_feat(k), token_hidden(k, NH)), rows[k])) << k;
  // One token past the record: no more u; the token count stays.
  EXPECT_THROW(b.step(token_feat(20), token_hidden(20, NH)), std::out_of_range);
  EXPECT_EQ(b.tokens(), 20);
}

// Rows of `n` tokens with live noise of one seed.
std::vector<NdArray> run(std::int64_t n, std::int64_t cap, std::int64_t keep, std::int64_t* dropped = nullptr) {
  NumpyNoise noise(9);
  HeadL hl(pack("main"), ref().at("head_main_idv"), noise, cap, keep);
  std::vector<NdArray> out;
  for (std::int64_t k = 0; k < n; ++k) out.push_back(hl.step(token_feat(k % 50), token_hidden(k % 50, NH)));
  if (dropped) *dropped = hl.dropped();
  return out;
}

TEST(HeadLTest, CompactionChangesNoRow) {
  const std::vector<NdArray> whole = run(2000, 3000, 64);
  std::int64_t dropped = 0;
  const std::vector<NdArray> defaults = run(2000, 1024, 64, &dropped);
  EXPECT_EQ(dropped, 959 * 2);  // at tokens 1023 and 1982
  const struct { std::int64_t cap, keep, dropped; } cases[] = {{8, 3, 96}, {8, 7, 92}, {1, 0, 99}};
  std::vector<std::vector<NdArray>> small;
  for (const auto& c : cases) {
    small.push_back(run(100, c.cap, c.keep, &dropped));
    EXPECT_EQ(dropped, c.dropped) << c.cap << " " << c.keep;
  }
  for (std::size_t k = 0; k < whole.size(); ++k) {
    ASSERT_TRUE(same_rows(defaults[k], whole[k])) << k;
    for (const auto& s : small) {
      if (k >= s.size()) continue;
      ASSERT_TRUE(same_rows(s[k], whole[k])) << k;
    }
  }
}

TEST(HeadLTest, BuffersWithoutRoomFailWithoutWritingOutside) {
  // keep >= cap frees nothing: 8 tokens fit, the 9th would store past the buffers' end.
  NumpyNoise noise(9);
  HeadL hl(pack("main"), ref().at("head_main_idv"), noise, 8, 8);
  for (std::int64_t k = 0; k < 8; ++k) hl.step(token_feat(k), token_hidden(k, NH));
  EXPECT_THROW(hl.step(token_feat(8), token_hidden(8, NH)), std::out_of_range);
  EXPECT_EQ(hl.tokens(), 8);
}

TEST(HeadLTest, RefusedSettingsAndInputs) {
  const NdArray idv = ref().at("head_main_idv");
  NumpyNoise noise(1);
  const std::string base = R"("p": 3, "nk": 1, "S": 4, "D": 4, "pf": 3, "nkf": 2, "ncode": 4, "eps": 0.001, "hid_shape": [1, 2, 8])";
  Pack pk(pack_dir("main"));
  const auto with = [&](const std::string& extra) {
    pk.h = json::parse("{" + base + ", " + extra + "}");
    return HeadL(pk, idv, noise);
  };
  // Later keys replace earlier ones.
  const char* refused[] = {R"("Lc": 3, "D": 0)", R"("Lc": 3, "nkf": 0)", R"("Lc": 3, "nkf": 5)", R"("Lc": 3, "p": 0)",
                           R"("Lc": 3, "pf": 21)", R"("Lc": 3, "S": -1)", R"("Lc": 3, "nk": -1)", R"("Lc": 3, "p": "x")",
                           R"("Lc": 3, "p": null)", R"("Lc": 3, "hid_shape": [1.5])", R"("Lc": 3, "eps": -1)"};
  for (const char* r : refused) EXPECT_THROW(with(r), std::invalid_argument) << r;
  try {
    with(R"("Lc": 3, "eps": 0)");
    ADD_FAILURE() << "made";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "math domain error");
  }
  try {
    pk.h = json::parse("{" + base + "}");
    HeadL hl(pk, idv, noise);
    ADD_FAILURE() << "made";
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "Lc");
  }
  // Reals and integer texts convert as Python's int() does.
  EXPECT_NO_THROW(with(R"("Lc": "3", "p": 3.7)"));
  // Codes every 0 tokens: the first step divides by zero.
  HeadL zero = with(R"("Lc": 0)");
  try {
    zero.step(token_feat(0), token_hidden(0, NH));
    ADD_FAILURE() << "stepped";
  } catch (const PyError& e) {
    EXPECT_EQ(e.python_class(), "ZeroDivisionError");
  }
  EXPECT_THROW(HeadL(pack("main"), idv, noise, 0, 0), std::invalid_argument);
  EXPECT_THROW(HeadL(pack("main"), idv, noise, 8, -1), std::invalid_argument);
  EXPECT_THROW(HeadL(pack("main"), idv.slice(0, 128), noise), std::invalid_argument);
  HeadL hl(pack("main"), idv, noise);
  EXPECT_THROW(hl.step(token_feat(0).slice(0, 2), token_hidden(0, NH)), std::invalid_argument);
}


// Blocks of 8 frames (2 frames of audio ahead) into tokens, the detector, and the head model on its hidden output.
TEST(HeadLTest, TheWholeMotionPathMatchesNumPy) {
  const Pack& pk = pack("main");
  Enc enc(pk);
  DetS det(pk, ref().at("e2e_idv126"));
  NumpyNoise noise(7);
  HeadL head(pk, ref().at("e2e_idv129"), noise);
  RampAudio aud(true);
  const NdArray motion = ref().at("e2e_motion"), rows = ref().at("e2e_rows");
  std::int64_t k = 0;
  for (std::int64_t b0 = 0; b0 < 64; b0 += 8) {
    const NdArray feats = enc.block(aud, b0, 8, 2);
    for (std::int64_t t = 0; t < 2; ++t, ++k) {
      SCOPED_TRACE("token " + std::to_string(k));
      const NdArray feat4 = feats.slice(4 * t, 4 * t + 4);
      const DetStep s = det.step(feat4);
      expect_same(s.motion, motion.item(k));
      expect_same(head.step(feat4, s.h), rows.item(k));
    }
  }
}

}  // namespace
}  // namespace velmora::v2u
