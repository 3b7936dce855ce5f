#include "v2u/host/encoder.h"

#include <gtest/gtest.h>

#include <string>

#include "v2u/host/support/motion_fixture.h"

namespace velmora::v2u {
namespace {

using namespace motion_fixture;

TEST(EncTest, FramePositionsInTheTrunk) {
  const struct { std::int64_t gi, win_start; double p; std::int64_t i0; double al; } cases[] = {
      // Block b0 = 196, B = 8, R = 8.
      {196, 103680, 277.9095477386934, 277, 0.9095477386933908},
      {199, 103680, 302.0, 302, 0.0},
      {200, 103680, 307.0150753768844, 307, 0.015075376884396974},
      {203, 103680, 331.1055276381909, 331, 0.1055276381908925},
      // Block b0 = 296, B = 8, R = 8: the same positions, anchors 100 and 200.
      {296, 167680, 277.9095477386934, 277, 0.9095477386933908},
      {300, 167680, 307.0150753768844, 307, 0.015075376884396974},
      // The first frame of a stream, alone in its block.
      {0, -31360, 392.0, 392, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gi);
    const detail::TrunkPosition pos = detail::trunk_position(c.gi, c.win_start);
    EXPECT_EQ(pos.p, c.p);
    EXPECT_EQ(pos.i0, c.i0);
    EXPECT_EQ(pos.al, c.al);
  }
  // Where the anchor moves on, consecutive frames lie about 5.015 steps apart, not 8.03.
  for (const std::int64_t gi : {200, 300, 1200}) {
    const double step = detail::trunk_position(gi, 0).p - detail::trunk_position(gi - 1, 0).p;
    EXPECT_NEAR(step, 800.0 - 99.0 * (1598.0 / 199.0), 1e-9);
  }
}

TEST(EncTest, BlocksMatchNumPy) {
  const NpzFile& z = ref();
  Enc enc(pack("main"));
  const auto blocks = z.at("enc_blocks").values<std::int64_t>();
  const auto as_float = z.at("enc_f32").values<bool>();
  for (std::size_t n = 0; n < as_float.size(); ++n) {
    const std::int64_t b0 = blocks[3 * n], B = blocks[3 * n + 1], R = blocks[3 * n + 2];
    SCOPED_TRACE("block " + std::to_string(b0) + " " + std::to_string(B) + " " + std::to_string(R));
    RampAudio aud(as_float[n]);
    const NdArray out = enc.block(aud, b0, B, R);
    ASSERT_EQ(aud.asked.size(), 1u);
    EXPECT_EQ(aud.asked[0], std::make_pair((b0 + B + R) * 640 - 32000, (b0 + B + R) * 640));
    const std::string key = "enc_" + std::to_string(n);
    if (z.contains(key)) {
      expect_same(out, z.at(key));
      continue;
    }
    EXPECT_EQ(digest(out), text_of(z.at(key + "_sha")));
    expect_same(out.item(0), z.at(key + "_ends").item(0));
    expect_same(out.item(B - 1), z.at(key + "_ends").item(1));
  }
  // No state carries over: an earlier block again gives the same features.
  RampAudio aud(false);
  expect_same(enc.block(aud, 0, 1, 0), z.at("enc_0"));
}

TEST(EncTest, PrivateSessionsGiveThePackFeatures) {
  const Pack& pk = pack("main");
  const EncPair pair(pk, 2);
  EXPECT_EQ(pair.s_trunk.intra_op_threads(), 2);
  EXPECT_EQ(pair.s_head.intra_op_threads(), 2);
  EXPECT_EQ(pair.trunk_in, "audio");
  EXPECT_EQ(pair.trunk_out, "trunk");
  RampAudio a1(true), a2(true);
  expect_same(Enc(pair).block(a1, 296, 8, 8), Enc(pk).block(a2, 296, 8, 8));
}

// A 393-step trunk with float16 output: frame 0 samples step 392.0, the last column, and frame 1 samples
// just past it, where the last column is taken alone.
TEST(EncTest, Float16TrunkAndItsLastColumn) {
  Enc enc(pack("enc16"));
  RampAudio aud(false);
  expect_same(enc.block(aud, 0, 1, 0), ref().at("enc16_0"));
  expect_same(enc.block(aud, 1, 1, 0), ref().at("enc16_1"));
  // Frame 199 of this block would sample step 398.
  try {
    enc.block(aud, 192, 8, 0);
    ADD_FAILURE() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "frame 199 samples trunk step 398, outside the 393 steps of its window");
  }
}

class ShortAudio : public AudioWindow {
 public:
  NdArray window(std::int64_t, std::int64_t) override { return NdArray(DType::Float32, {31999}); }
};

TEST(EncTest, RefusedBlocksAndOutputs) {
  Enc enc(pack("main"));
  RampAudio aud(false);
  EXPECT_THROW(enc.block(aud, 0, 0, 4), std::invalid_argument);
  EXPECT_TRUE(aud.asked.empty());  // refused before the audio is read
  ShortAudio short_audio;
  EXPECT_THROW(enc.block(short_audio, 0, 1, 0), std::invalid_argument);
  // B + R beyond 50 would sample before the window's first step (NumPy would take a column from its end).
  try {
    enc.block(aud, 0, 1, 60);
    ADD_FAILURE() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "frame 0 samples trunk step -88, outside the 400 steps of its window");
  }
  // A head graph with 11 rows per frame, one fewer than the groups use.
  Enc bad(pack("bad"));
  EXPECT_THROW(bad.block(aud, 0, 1, 0), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::v2u
