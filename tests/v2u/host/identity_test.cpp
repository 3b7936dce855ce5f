#include <gtest/gtest.h>

#include <cstring>
#include <system_error>

#include "common/file_read.h"
#include "common/py_error.h"
#include "v2u/host/identity.h"

namespace velmora::v2u {
namespace {

const std::string DIR = VELMORA_SOURCE_DIR "/tests/fixtures/v2u/identity/";

void expect_same(const NdArray& got, const NdArray& want) {
  ASSERT_EQ(got.shape(), want.shape());
  ASSERT_EQ(got.dtype(), want.dtype());
  EXPECT_EQ(std::memcmp(got.raw_data(), want.raw_data(), got.nbytes()), 0);
}

TEST(IdentityTest, LoadsTheArchiveIntoTypedCopies) {
  const NpzFile z = NpzFile::load(DIR + "full.npz");
  const Identity idn(z, json::Value::string("doc"));
  EXPECT_EQ(idn.doc.as_string(), "doc");
  EXPECT_EQ(idn.src.kp_c.shape(), (Shape{21, 3}));
  EXPECT_EQ(idn.src.exp.dtype(), DType::Float64);  // stored as float32
  EXPECT_EQ(idn.src.exp.as_double(5), z.at("src_exp").as_double(5));
  EXPECT_EQ(idn.src.scale, 1.25);
  EXPECT_EQ(idn.src.x_s.dtype(), DType::Float32);
  EXPECT_EQ(idn.shift, -0.5);
  ASSERT_TRUE(idn.xcal_m && idn.bank_proj && idn.bank_mu);
  EXPECT_EQ(idn.bank_proj->shape(), (Shape{5, 2}));
  EXPECT_EQ(idn.roi_m.dtype(), DType::Float32);
  EXPECT_EQ(idn.roi_e.as_double(0), static_cast<double>(0.1f));
  EXPECT_EQ(idn.r.g_f128.dtype(), DType::Float32);
  // A column-major member reads out row-major with the same values.
  EXPECT_EQ(idn.r.b_x.shape(), (Shape{3, 21, 3}));
  EXPECT_EQ(idn.r.b_x.as_double(1 * 63 + 4 * 3 + 2), z.at("b_x").as_double(1 * 63 + 4 * 3 + 2));
  const NpzFile planes = NpzFile::load(DIR + "planes.npz");
  expect_same(idn.planes, planes.at("full_planes"));
  // The same archive from bytes in memory.
  const Identity mem = Identity::load_bytes(std::make_shared<const std::string>(read_file(DIR + "full.npz")));
  expect_same(mem.planes, idn.planes);
}

TEST(IdentityTest, OptionalMembersOneNumbersAndRefusals) {
  const Identity e = Identity::load(DIR + "optional_empty.npz");
  EXPECT_FALSE(e.xcal_m);
  EXPECT_FALSE(e.bank_proj);
  EXPECT_FALSE(e.bank_mu);
  EXPECT_EQ(e.src.scale, 2.0);  // stored as (1, 1)
  try {
    Identity::load(DIR + "no_bank_mu.npz");
    ADD_FAILURE();
  } catch (const KeyError& k) {
    EXPECT_EQ(k.key(), "bank_mu");
  }
  EXPECT_THROW(Identity::load(DIR + "two_scales.npz"), std::invalid_argument);
  EXPECT_THROW(Identity::load(DIR + "object.npz"), NpyError);
  EXPECT_THROW(Identity::load(DIR + "absent.npz"), std::system_error);
}

TEST(ConeTest, MatchesNumPyAtEdgesAndOnEveryType) {
  const NpzFile z = NpzFile::load(DIR + "planes.npz");
  expect_same(cone(z.at("ramp_in")), z.at("ramp_out"));
  expect_same(cone(z.at("row_in")), z.at("row_out"));
  expect_same(cone(z.at("f64_in")), z.at("f64_out"));
  // A ramp across: zero second difference inside, +1 and -1 at the two border columns.
  const NdArray r = cone(z.at("ramp_in"));
  EXPECT_EQ(r.shape(), (Shape{1, 4, 3, 6}));
  const float* d2x = r.data<float>() + 1 * 18;
  EXPECT_EQ(std::vector<float>(d2x, d2x + 6), (std::vector<float>{1, 0, 0, 0, 0, -1}));
  // One row: every difference down, and so every mixed one, is zero.
  const NdArray one = cone(z.at("row_in"));
  for (int i = 2 * 2 * 5; i < 4 * 2 * 5; ++i) EXPECT_EQ(one.data<float>()[i], 0.0f);
  EXPECT_THROW(cone(NdArray(DType::Float32, {3, 4, 5})), std::invalid_argument);
  EXPECT_THROW(cone(NdArray(DType::Float32, {1, 3, 0, 5})), std::invalid_argument);
  EXPECT_EQ(cone(NdArray(DType::Int32, {1, 1, 2, 2})).dtype(), DType::Float32);
}

}  // namespace
}  // namespace velmora::v2u
