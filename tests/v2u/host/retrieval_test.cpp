#include "v2u/host/retrieval.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "v2u/host/support/render_fixture.h"

namespace velmora::v2u {
namespace {

std::vector<std::int64_t> ints(const NdArray& a) {
  const auto v = a.values<std::int64_t>();
  return {v.begin(), v.end()};
}

NdArray column(std::vector<double> v) { return NdArray::of<double>(v, {static_cast<std::int64_t>(v.size()), 1}); }

// A bank on a line: entry 0 at 0, entry 1 at 10, unit scale.
Retr line(double hyst = 0.85) { return Retr(column({0, 10}), NdArray::of<double>({1.0}), std::nullopt, std::nullopt, hyst); }

TEST(RetrTest, MatchesNumPyOnTheFixtureBankAcrossCalls) {
  const NpzFile& z = testing::render_expect();
  const NdArray& keys = z.at("retr_keys");
  Retr proj(*testing::render_identity());
  EXPECT_EQ(ints(proj(keys.slice(0, 25))), ints(z.at("retr_proj_0")));
  EXPECT_EQ(ints(proj(keys.slice(25, 60))), ints(z.at("retr_proj_1")));  // the previous choice carries over
  const Identity& idn = *testing::render_identity();
  Retr raw(idn.bank_key, z.at("retr_sd_rows"), std::nullopt, std::nullopt);  // one scale row per entry
  EXPECT_EQ(ints(raw(keys)), ints(z.at("retr_raw")));
}

TEST(RetrTest, HysteresisHoldsThePreviousEntryUpToTheFactor) {
  // The first query picks its entry outright; the second is placed so that the previous entry's distance
  // is `ratio` times the best one's.
  const struct {
    double first, ratio, hyst;
    std::int64_t want;
  } cases[] = {
      {0, 1.17, 0.85, 0},   // 17 % farther: stays
      {0, 1.18, 0.85, 1},   // 18 % farther: replaced
      {10, 1.0, 0.85, 1},   // a tie: the lowest index is best, the previous stays
      {10, 1.0, 1.0, 1},    // hyst 1 keeps ties
      {0, 1.01, 1.0, 1},    // and nothing more
      {0, 1e300, 0.85, 1},  // best at distance 0 replaces a previous entry at a positive one
  };
  for (const auto& c : cases) {
    Retr r = line(c.hyst);
    EXPECT_EQ(ints(r(column({c.first}))), std::vector<std::int64_t>{c.first == 0 ? 0 : 1});
    // prev at distance ratio * d, the other entry at d: q = 10 ratio / (1 + ratio) from the previous one.
    const double d = 10 / (1 + c.ratio), q = c.first == 0 ? 10 - d : d;
    EXPECT_EQ(ints(r(column({c.ratio == 1e300 ? 10 - c.first : q}))), std::vector<std::int64_t>{c.want})
        << "ratio " << c.ratio << " hyst " << c.hyst;
    EXPECT_EQ(r.prev(), c.want);
  }
}

TEST(RetrTest, TiesPickTheLowestIndexAndTheFirstNaNWins) {
  Retr r = line();
  EXPECT_EQ(ints(r(column({5}))), std::vector<std::int64_t>{0});
  Retr nan(column({0, std::nan(""), 10, std::nan("")}), NdArray::of<double>({1.0}), std::nullopt, std::nullopt);
  EXPECT_EQ(ints(nan(column({10, 0}))), (std::vector<std::int64_t>{1, 1}));
}

TEST(RetrTest, ProjectsKeysAfterSubtractingTheMean) {
  // Kb = ((1, 0) - mu) . (1, 2) = -2 and ((0, 1) - mu) . (1, 2) = -1; the query (3, 0) projects to 0.
  const NdArray key = NdArray::of<double>(std::vector<double>{1, 0, 0, 1}, {2, 2});
  const NdArray proj = NdArray::of<double>(std::vector<double>{1, 2}, {2, 1});
  Retr r(key, NdArray::of<double>({0.5}), proj, NdArray::of<double>({1, 1}));
  EXPECT_EQ(r.Kb().values<double>()[0], -2.0);
  EXPECT_EQ(r.Kb().values<double>()[1], -1.0);
  EXPECT_EQ(ints(r(NdArray::of<float>(std::vector<float>{3, 0}, {1, 2}))), std::vector<std::int64_t>{1});
  EXPECT_THROW(Retr(key, NdArray::of<double>({1.0}), proj, std::nullopt), std::invalid_argument);
  EXPECT_THROW(Retr(key, NdArray::of<double>({1.0, 2.0, 3.0}), std::nullopt, std::nullopt), std::invalid_argument);
}

TEST(RetrTest, EmptyAndMisshapenQueriesLeaveTheChoiceAlone) {
  Retr r = line();
  r(column({10}));
  EXPECT_EQ(r(NdArray(DType::Float64, {0, 1})).size(), 0);
  EXPECT_THROW(r(NdArray(DType::Float64, {3, 2})), std::invalid_argument);
  EXPECT_THROW(r(NdArray(DType::Float64, {3})), std::invalid_argument);
  EXPECT_EQ(r.prev(), 1);
}

}  // namespace
}  // namespace velmora::v2u
