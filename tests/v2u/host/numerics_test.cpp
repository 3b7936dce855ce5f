#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "common/npy.h"
#include "common/sha256.h"
#include "v2u/host/constants.h"
#include "v2u/host/numerics.h"

namespace velmora::v2u {
namespace {

const NpzFile& ref() {
  static const NpzFile z = NpzFile::load(VELMORA_SOURCE_DIR "/tests/fixtures/v2u/numerics.npz");
  return z;
}

std::vector<double> doubles(const NdArray& a) {
  std::vector<double> v;
  for (std::int64_t i = 0; i < a.size(); ++i) v.push_back(a.as_double(i));
  return v;
}

// Bit-for-bit equality, NaN equal to NaN.
void expect_same(const NdArray& got, const NdArray& want) {
  ASSERT_EQ(got.shape(), want.shape());
  ASSERT_EQ(got.dtype(), want.dtype());
  ASSERT_EQ(std::memcmp(got.raw_data(), want.raw_data(), got.nbytes()), 0) << "first values " << got.as_double(0) << " vs " << want.as_double(0);
}

// Within `ulps` units in the last place of max(|want|, 1): for results of sin, cos, pow and 3 x 3 products,
// where NumPy uses its own vectorised functions or BLAS.
void expect_near(const NdArray& got, const NdArray& want, double ulps) {
  ASSERT_EQ(got.shape(), want.shape());
  for (std::int64_t i = 0; i < got.size(); ++i) {
    const double w = want.as_double(i);
    const double tol = ulps * std::numeric_limits<double>::epsilon() * std::max(std::fabs(w), 1.0);
    ASSERT_NEAR(got.as_double(i), w, tol) << "at " << i;
  }
}

TEST(SeedTest, Md5PrefixSeeds) {
  EXPECT_EQ(detail::md5(""), 3558706393u);
  EXPECT_EQ(detail::md5("abc"), 2416005272u);
  EXPECT_EQ(item_seed("abc"), 268521624u);
  EXPECT_EQ(seed_of("a", "bc"), 1329063612u);
  EXPECT_EQ(seed_of("a", "bc"), detail::md5("a:bc"));
  EXPECT_EQ(seed_of("t", 42), detail::md5("t:42"));
  EXPECT_EQ(seed_of("t", -7), detail::md5("t:-7"));
}

TEST(ConstantsTest, ValuesThatOtherStagesRelyOn) {
  EXPECT_EQ(SP8, 8.030150753768844);
  EXPECT_NE(SP8, 8.0);
  EXPECT_EQ(TBINS.size(), 14u);
  EXPECT_EQ(HOP * (SWIN / HOP), SWIN);
}

TEST(F16rtTest, MatchesNumPyAndKeepsShape) {
  expect_same(f16rt(ref().at("f16_in")), ref().at("f16_out"));
  const NdArray r = f16rt(NdArray::of<double>({1.0 / 3.0, 65519.0, 65520.0, -65520.0}).reshaped({2, 2}));
  EXPECT_EQ(r.shape(), (Shape{2, 2}));
  EXPECT_EQ(r.dtype(), DType::Float32);
  EXPECT_EQ(r.values<float>()[0], 0.333251953125f);
  EXPECT_EQ(r.values<float>()[1], 65504.0f);
  EXPECT_EQ(r.values<float>()[2], std::numeric_limits<float>::infinity());
  EXPECT_EQ(r.values<float>()[3], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(f16rt(NdArray::of<std::int64_t>({3, 2049})).values<float>()[1], 2048.0f);
}

std::vector<double> lcg_window(int n, std::uint64_t seed) {
  std::vector<double> v(static_cast<std::size_t>(n));
  std::uint64_t s = seed;
  for (auto& x : v) {
    s = (s * 1103515245 + 12345) % 2147483648u;
    x = (static_cast<double>(s) / 2147483648.0 - 0.5) * 0.6 + 0.01;
  }
  return v;
}

TEST(ZscoreTest, MatchesNumPyBitForBitForEveryInputType) {
  for (int n : {32000, 1000}) {
    const NdArray w = NdArray::of<double>(lcg_window(n, 7), Shape{n});
    const NdArray f32 = [&] {
      NdArray t = NdArray::uninitialized(DType::Float64, w.shape());
      for (int i = 0; i < n; ++i) t.data<double>()[i] = w.data<double>()[i] * 3;
      return t.astype(DType::Float32);
    }();
    const NdArray i16 = [&] {
      NdArray t = NdArray::uninitialized(DType::Float64, w.shape());
      for (int i = 0; i < n; ++i) t.data<double>()[i] = w.data<double>()[i] * 9000;
      return t.astype(DType::Int16);
    }();
    for (auto [name, in] : {std::pair{"f64", w}, std::pair{"f32", f32}, std::pair{"i16", i16}}) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(n));
      const NdArray z = zscore_native(in);
      ASSERT_EQ(z.dtype(), DType::Float32);
      if (n == 1000) {
        expect_same(z, ref().at(std::string("z1000_") + name + "_out"));
      } else {
        const NdArray& sha = ref().at(std::string("z32000_") + name + "_sha");
        const std::string want(reinterpret_cast<const char*>(sha.raw_data()), sha.nbytes());
        const auto got = doubles(z);
        EXPECT_EQ(std::vector<double>(got.begin(), got.begin() + 8), doubles(ref().at(std::string("z32000_") + name + "_head")));
        EXPECT_EQ(sha256_hex(std::string_view(static_cast<const char*>(z.raw_data()), z.nbytes())), want);
      }
    }
  }
  EXPECT_EQ(doubles(zscore_native(NdArray::of<double>({0.0, 2.0}))), (std::vector<double>{-1.0, 1.0}));
  EXPECT_EQ(doubles(zscore_native(NdArray::of<float>({3.5f, 3.5f, 3.5f}))), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(BweightsTest, ClosedFormAndGeneralForm) {
  // Dyadic positions make every power exact: bit for bit.
  expect_same(bweights(ref().at("bw_dyadic_in")), ref().at("bw_dyadic_out"));
  // Elsewhere NumPy's pow differs from the C library's by an ulp now and then.
  expect_near(bweights(ref().at("bw_rand_in")), ref().at("bw_rand_out"), 4);
  expect_near(bweights(ref().at("bw_dyadic_in"), 2), ref().at("bw_p2_out"), 4);
  // The truncated-power sum cancels terms up to (p + 1)^p / p! (26 for p = 4), so ulps of pow grow there.
  expect_near(bweights(ref().at("bw_rand_in"), 4), ref().at("bw_p4_out"), 64);
  EXPECT_EQ(doubles(bweights(NdArray::scalar(0.0))), (std::vector<double>{1.0 / 6, 2.0 / 3, 1.0 / 6, 0.0}));
  EXPECT_EQ(doubles(bweights(NdArray::scalar(0.5))), (std::vector<double>{1.0 / 48, 23.0 / 48, 23.0 / 48, 1.0 / 48}));
  EXPECT_EQ(bweights(NdArray::scalar(0.5)).shape(), (Shape{4}));
  EXPECT_EQ(bweights(NdArray(DType::Float32, {4})).shape(), (Shape{4, 4}));
  EXPECT_THROW(bweights(NdArray::scalar(0.5), 0), std::invalid_argument);
  EXPECT_EQ(detail::Np(NdArray::of<double>({0.5, 1.5, 2.5, -1.0, 4.0}), 3).shape(), (Shape{5}));
  EXPECT_EQ(detail::Np(2.0, 3), 2.0 / 3.0);
}

TEST(TauFeatTest, BinEdgesAndStartedOffset) {
  const struct { std::int64_t tau; bool started; int pos; } cases[] = {
      {0, false, 0}, {3, false, 0}, {4, false, 1}, {124, false, 11}, {125, false, 12}, {999999999, false, 12},
      {3, true, 13}, {125, true, 25}, {37, true, 20}, {38, false, 8},
  };
  for (const auto& c : cases) {
    const NdArray x = tau_feat(c.tau, c.started);
    ASSERT_EQ(x.shape(), (Shape{26}));
    for (int i = 0; i < 26; ++i) EXPECT_EQ(x.values<float>()[i], i == c.pos ? 1.0f : 0.0f) << c.tau << " " << i;
  }
  EXPECT_THROW(tau_feat(-1, false), std::out_of_range);
  EXPECT_THROW(tau_feat(1000000000, true), std::out_of_range);
}

TEST(PathDeltaTest, EveryBranchMatchesNumPy) {
  const NpzFile& z = ref();
  expect_same(path_delta(z.at("pd_p"), z.at("pd_d"), z.at("pd_c"), z.at("pd_u")), z.at("pd_out"));
  expect_same(path_delta(z.at("pd_p"), z.at("pd_d"), z.at("pd_c"), NdArray::scalar(0.25)), z.at("pd_out_scalar_u"));
  const NdArray one = path_delta(NdArray::scalar(0.0), z.at("pd_d"), z.at("pd_c"), z.at("pd_u"));
  EXPECT_EQ(one.shape(), (Shape{1, 4}));
  EXPECT_EQ(doubles(one), (std::vector<double>{0, 0, 0, 0}));
  std::vector<double> row(4);
  path_delta(0.31, z.at("pd_d"), z.at("pd_c"), z.at("pd_u"), row);
  EXPECT_EQ(row, doubles(path_delta(NdArray::scalar(0.31), z.at("pd_d"), z.at("pd_c"), z.at("pd_u"))));
  // The last knot gives the last row; a NaN level gives a NaN row instead of reading before the first knot.
  EXPECT_EQ(doubles(path_delta(NdArray::scalar(1.2), z.at("pd_d"), z.at("pd_c"), z.at("pd_u"))), doubles(z.at("pd_d").item(4)));
  for (double v : doubles(path_delta(NdArray::scalar(std::nan("")), z.at("pd_d"), z.at("pd_c"), z.at("pd_u")))) EXPECT_TRUE(std::isnan(v));
  EXPECT_THROW(path_delta(NdArray(DType::Float64, {2, 2}), z.at("pd_d"), z.at("pd_c"), z.at("pd_u")), std::invalid_argument);
  EXPECT_THROW(path_delta(NdArray::scalar(0.5), z.at("pd_d").item(0).reshaped({1, 4}), NdArray::of<double>({0.0}), z.at("pd_u")), std::invalid_argument);
  EXPECT_THROW(path_delta(NdArray::scalar(0.5), z.at("pd_d"), NdArray::of<double>({0, 1, 0.5, 2, 3}), z.at("pd_u")), std::invalid_argument);
  EXPECT_THROW(path_delta(NdArray::scalar(0.5), z.at("pd_d"), z.at("pd_c"), NdArray::of<double>({1, 2})), std::invalid_argument);
}

TEST(RotvecTest, RodriguesWithinUlpsOfNumPy) {
  // NumPy's sin and cos are its own vectorised ones, and K @ K goes through BLAS: a few ulp apart.
  expect_near(rotvec_to_rotmat(ref().at("rv_in")), ref().at("rv_out"), 8);
  const NdArray I = rotvec_to_rotmat(NdArray(DType::Float32, {3}));
  EXPECT_EQ(doubles(I), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
  // Below th = 1e-8 the limits apply but K is still the vector's own: I + K + K^2 / 2.
  const double t[3] = {1e-9, -2e-9, 3e-10};
  const NdArray s = rotvec_to_rotmat(NdArray::of<double>({t[0], t[1], t[2]}));
  EXPECT_EQ(s.as_double(1), -t[2] + 0.5 * (t[0] * t[1]));
  EXPECT_EQ(rotvec_to_rotmat(NdArray(DType::Float64, {2, 3})).shape(), (Shape{2, 3, 3}));
  EXPECT_THROW(rotvec_to_rotmat(NdArray(DType::Float64, {4})), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::v2u
