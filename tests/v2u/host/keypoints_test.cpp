#include "v2u/host/keypoints.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "common/py_error.h"
#include "v2u/host/support/render_fixture.h"

namespace velmora::v2u {
namespace {

const std::string PACK = VELMORA_SOURCE_DIR "/tests/fixtures/v2u/pack";

// The fixture pack (DRIVEN 0, 1, 2, 30, 31 and EYE_DIMS 33, 34, 2: column 2 is listed twice), optionally with
// a stitching network that adds nothing, so that results can be written out in closed form.
std::unique_ptr<Pack> pack(bool plain_stitch) {
  auto pk = std::make_unique<Pack>(PACK);
  if (plain_stitch) pk->stw = {{NdArray(DType::Float32, {65, 126}), NdArray(DType::Float32, {65})}};
  return pk;
}

SourceKeypoints source() {
  SourceKeypoints s;
  s.kp_c = NdArray(DType::Float64, {21, 3});
  s.exp = NdArray(DType::Float64, {63});
  for (int i = 0; i < 63; ++i) {
    s.kp_c.data<double>()[i] = (i % 7) * 0.375 - 1.0;
    s.exp.data<double>()[i] = (i % 5) * 0.0625;
  }
  // A rotation about z: a transposed convention would turn the other way.
  s.R = NdArray::of<double>(std::vector<double>{0.8, -0.6, 0.0, 0.6, 0.8, 0.0, 0.0, 0.0, 1.0}, {3, 3});
  s.t = NdArray::of<double>({0.25, -0.5, 7.0});
  s.scale = 1.5;
  s.x_s = NdArray(DType::Float32, {21, 3});
  return s;
}

NdArray rows(std::int64_t T, double fill) {
  NdArray m(DType::Float64, {T, 69});
  for (double& v : m.values<double>()) v = fill;
  for (std::int64_t i = 0; i < T; ++i)
    for (int c = 63; c < 66; ++c) m.data<double>()[i * 69 + c] = 0.0;
  return m;
}

TEST(ComposeTest, WithoutRotationGivesScaledOffsetKeypointsAndOnlyListedColumnsMove) {
  const auto pk = pack(true);
  SourceKeypoints src = source();
  const double* kp = src.kp_c.data<double>();
  const double* R = src.R.data<double>();
  // Row 0 is all zero; row 1 carries 0.5 in every column but the rotation.
  NdArray m = rows(2, 0.0);
  for (int c = 0; c < 63; ++c) m.data<double>()[69 + c] = 0.5;
  const NdArray out = compose(*pk, src, m);
  ASSERT_EQ(out.shape(), (Shape{2, 21, 3}));
  ASSERT_EQ(out.dtype(), DType::Float32);
  bool listed[63] = {};
  for (int c : {0, 1, 2, 30, 31, 33, 34}) listed[c] = true;
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < 21; ++k)
      for (int d = 0; d < 3; ++d) {
        const int c = 3 * k + d;
        const double K = (kp[3 * k] * R[d] + kp[3 * k + 1] * R[3 + d]) + kp[3 * k + 2] * R[6 + d];
        const double delta = src.exp.data<double>()[c] + (i == 1 && listed[c] ? 0.5 : 0.0);  // column 2 once
        const double want = 1.5 * (K + delta) + (d == 0 ? 0.25 : d == 1 ? -0.5 : 0.0);
        ASSERT_EQ(out.data<float>()[i * 63 + c], static_cast<float>(want)) << i << " " << k << " " << d;
      }
  // The third translation value is never read.
  src.t.data<double>()[2] = -100.0;
  const NdArray again = compose(*pk, src, m);
  EXPECT_EQ(std::memcmp(again.raw_data(), out.raw_data(), out.nbytes()), 0);
}

TEST(ComposeTest, RotationTurnsKeypointsAsRowVectors) {
  const auto pk = pack(true);
  SourceKeypoints src = source();
  src.R = NdArray::of<double>(std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}, {3, 3});
  for (double& v : src.kp_c.values<double>()) v = 0.0;
  for (double& v : src.exp.values<double>()) v = 0.0;
  src.kp_c.data<double>()[0] = 1.0;  // keypoint 0 = (1, 0, 0)
  src.t = NdArray::of<double>({0.0, 0.0});
  src.scale = 1.0;
  NdArray m = rows(1, 0.0);
  m.data<double>()[65] = std::numbers::pi / 2;  // a quarter turn about z
  const NdArray out = compose(*pk, src, m);
  EXPECT_NEAR(out.data<float>()[0], 0.0f, 1e-7);
  EXPECT_EQ(out.data<float>()[1], -1.0f);
  EXPECT_EQ(out.data<float>()[2], 0.0f);
}

TEST(ComposeTest, MatchesNumPyOnTheFixturePackForBothRowTypes) {
  const auto pk = pack(false);
  const Identity idn = Identity::load(VELMORA_SOURCE_DIR "/tests/fixtures/v2u/identity/full.npz");
  const NpzFile& z = testing::render_expect();
  for (const char* kind : {"", "32"}) {
    const NdArray out = compose(*pk, idn.src, z.at(std::string("compose_rows") + kind));
    const NdArray& want = z.at(std::string("compose_out") + kind);
    ASSERT_EQ(out.shape(), want.shape());
    ASSERT_EQ(out.dtype(), DType::Float32);
    // NumPy runs the matrix products and the stitch layers through BLAS, whose summation order is its own
    // (the results agree exactly on the machine that made the fixture).
    for (std::int64_t i = 0; i < out.size(); ++i) {
      const float w = want.data<float>()[i];
      EXPECT_NEAR(out.data<float>()[i], w, 1e-5 * std::max(1.0f, std::fabs(w))) << kind << " " << i;
    }
  }
}

TEST(ComposeTest, EmptyBlocksAndRefusedInputs) {
  const auto pk = pack(true);
  const SourceKeypoints src = source();
  EXPECT_EQ(compose(*pk, src, NdArray(DType::Float32, {0, 69})).shape(), (Shape{0, 21, 3}));
  EXPECT_THROW(compose(*pk, src, NdArray(DType::Float64, {2, 65})), std::invalid_argument);
  EXPECT_THROW(compose(*pk, src, NdArray(DType::Float64, {69})), std::invalid_argument);
  SourceKeypoints short_t = source();
  short_t.t = NdArray::of<double>({1.0});
  EXPECT_THROW(compose(*pk, short_t, rows(1, 0)), std::out_of_range);
  SourceKeypoints bad_exp = source();
  bad_exp.exp = NdArray(DType::Float64, {62});
  EXPECT_THROW(compose(*pk, bad_exp, rows(1, 0)), std::invalid_argument);
  // A negative column would wrap onto the rotation columns; one past the offsets has no place.
  for (std::int64_t c : {-1, 63}) {
    auto wrong = pack(true);
    wrong->EYE_DIMS = NdArray::of<std::int64_t>({5, c});
    EXPECT_THROW(compose(*wrong, src, rows(1, 0)), std::out_of_range) << c;
  }
}

TEST(PoseTrackTest, HandsRotationOnlyKeypointsToThePoseHelperAndReturnsItsResult) {
  const auto pk = pack(false);
  Identity idn = Identity::load(VELMORA_SOURCE_DIR "/tests/fixtures/v2u/identity/full.npz");
  std::vector<NdArray> seen_xs, seen_kp;
  const NdArray answer = NdArray::of<double>({42.0});
  const PoseFn fake = [&](const NdArray& xs, const NdArray& kp) {
    seen_xs.push_back(xs);
    seen_kp.push_back(kp);
    return answer;
  };
  NdArray a = rows(3, 0.25), b = rows(3, -7.0);
  for (std::int64_t i = 0; i < 3; ++i)
    for (int c = 63; c < 66; ++c) a.data<double>()[i * 69 + c] = b.data<double>()[i * 69 + c] = 0.1 * (i + c - 62);
  const NdArray ra = pose_track(*pk, idn, a, fake);
  EXPECT_EQ(ra.raw_data(), answer.raw_data());  // unchanged
  pose_track(*pk, idn, b, fake);
  ASSERT_EQ(seen_kp.size(), 2u);
  EXPECT_EQ(std::memcmp(seen_kp[0].raw_data(), seen_kp[1].raw_data(), seen_kp[0].nbytes()), 0);
  EXPECT_EQ(seen_xs[0].raw_data(), idn.src.x_s.raw_data());  // as stored
  EXPECT_EQ(seen_kp[0].shape(), (Shape{3, 21, 3}));
  // Only the rotation columns reach the keypoints: the same as composing zero rows with those rotations.
  NdArray rig = rows(3, 0.0);
  for (std::int64_t i = 0; i < 3; ++i)
    for (int c = 63; c < 66; ++c) rig.data<double>()[i * 69 + c] = a.data<double>()[i * 69 + c];
  const NdArray want = compose(*pk, idn.src, rig);
  EXPECT_EQ(std::memcmp(seen_kp[0].raw_data(), want.raw_data(), want.nbytes()), 0);
  try {
    pose_track(*pk, idn, a, PoseFn{});
    ADD_FAILURE();
  } catch (const PyError& e) {
    EXPECT_EQ(e.python_class(), "ImportError");
  }
}

}  // namespace
}  // namespace velmora::v2u
