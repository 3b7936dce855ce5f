#include <gtest/gtest.h>

#include "common/support/fixture.h"
#include "v2u/host/noise.h"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace velmora::v2u {
namespace {

using testing::json_fixture;
using testing::StreamDigest;

std::vector<double> numbers(const json::Value& list) {
  std::vector<double> out;
  for (const json::Value& v : list.as_array()) out.push_back(v.as_double());
  return out;
}

std::vector<double> row0(const json::Value& palette_entry) {
  std::vector<double> w = numbers(*palette_entry.find("w"));
  w.resize(static_cast<std::size_t>(palette_entry.find("k")->as_int()));
  return w;
}

TEST(NumpyNoise, CallScriptsEqualNumpy) {
  const json::Value f = json_fixture("v2u_noise/numpy_noise.json");
  std::vector<std::vector<double>> palette;
  for (const json::Value& p : f.find("palette")->as_array()) palette.push_back(row0(p));
  for (const json::Value& c : f.find("cases")->as_array()) {
    const std::string& seed = c.find("seed")->as_string();
    SCOPED_TRACE("seed " + seed);
    NumpyNoise noise(SeedInt::parse(seed));
    const auto& head = c.find("head")->as_array();
    StreamDigest d;
    std::size_t i = 0;
    for (const json::Value& op : c.find("ops")->as_array()) {
      const auto& o = op.as_array();
      if (o[0].as_int() == 0) {
        const std::int64_t r = noise.code(palette[static_cast<std::size_t>(o[1].as_int())]);
        if (i < head.size()) {
          EXPECT_EQ(r, head[i].as_int()) << "call " << i;
        }
        d.add(r);
      } else if (o[0].as_int() == 1) {
        const float r = noise.u();
        if (i < head.size()) {
          EXPECT_EQ(r, head[i].as_double()) << "call " << i;
        }
        d.add(r);
      } else {
        const std::vector<float> r = noise.x0(o[1].as_int());
        ASSERT_EQ(r.size(), static_cast<std::size_t>(o[1].as_int()));
        if (i < head.size()) {
          EXPECT_EQ(std::vector<double>(r.begin(), r.end()), numbers(head[i])) << "call " << i;
        }
        d.add(std::span<const float>(r));
      }
      ++i;
    }
    ASSERT_GT(i, 3000u);
    EXPECT_EQ(d.hex(), c.find("sha256")->as_string());
  }
}

TEST(NumpyNoise, UCanRoundUpToOne) {
  const json::Value f = *json_fixture("v2u_noise/numpy_noise.json").find("u_one");
  NumpyNoise noise(f.find("seed")->as_int());
  for (std::int64_t i = 0; i < f.find("index")->as_int(); ++i) ASSERT_LT(noise.u(), 1.0f);
  EXPECT_EQ(noise.u(), 1.0f);
}

TEST(NumpyNoise, OrderOfCallsDefinesTheStream) {
  NumpyNoise a(42), b(42), swapped(42);
  const float ua = a.u();
  const std::vector<float> xa = a.x0(3);
  EXPECT_EQ(b.u(), ua);
  EXPECT_EQ(b.x0(3), xa);
  const std::vector<float> xs = swapped.x0(3);
  EXPECT_NE(xs, xa);
  EXPECT_NE(swapped.u(), ua);
  EXPECT_TRUE(NumpyNoise(7).x0(0).empty());
  EXPECT_THROW(a.x0(-1), std::invalid_argument);
}

TEST(NumpyNoise, CodeOfOneWeightStillDrawsADouble) {
  NumpyNoise noise(3), twin(3);
  std::vector<double> w(40, 0.0);
  w[17] = 0.5;
  EXPECT_EQ(noise.code(w), 17);
  twin.u();
  EXPECT_EQ(noise.u(), twin.u());
}

TEST(NumpyNoise, BadWeightsAndSeedsAreRefused) {
  struct Case {
    std::vector<double> w;
    const char* message;
  };
  const Case cases[] = {
      {{}, "a must be a positive integer unless no samples are taken"},
      {{0.0, 0.0}, "probabilities contain NaN"},
      {{1.0, NAN}, "probabilities contain NaN"},
      {{1.0, -0.5}, "probabilities are not non-negative"},
  };
  NumpyNoise noise(9), twin(9);
  for (const Case& c : cases) {
    try {
      noise.code(c.w);
      ADD_FAILURE() << c.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(noise.u(), twin.u());  // nothing was drawn
  try {
    NumpyNoise bad(-1);
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "expected non-negative integer");
  }
}

TEST(RecNoise, CursorsAreIndependentAndStayOnErrors) {
  RecNoise rec(NoiseRecord{{4, 2}, {{0.1}, {0.7}, {0.1, 0.2}}, {{1.5, -2.0, 1e-50}, {3.0}}});
  EXPECT_EQ(rec.code({}), 4);
  EXPECT_EQ(rec.code(std::vector<double>{1.0, 2.0}), 2);  // weights ignored
  EXPECT_EQ(rec.iu(), 0u);
  EXPECT_EQ(rec.ix(), 0u);
  EXPECT_EQ(rec.u(), 0.1f);  // the first recorded value, whatever codes came before
  EXPECT_EQ(rec.x0(3), (std::vector<float>{1.5f, -2.0f, 0.0f}));
  EXPECT_EQ(rec.u(), 0.7f);

  struct Failure {
    const char* what;
    std::function<void()> call;
    const char* message;
  };
  const Failure failures[] = {
      {"code past the end", [&] { rec.code({}); }, "list index out of range"},
      {"u of two values", [&] { rec.u(); }, "cannot reshape array of size 2 into shape (1,)"},
      {"x0 of the wrong size", [&] { rec.x0(2); }, "cannot reshape array of size 1 into shape (1,2)"},
  };
  for (const Failure& f : failures) {
    try {
      f.call();
      ADD_FAILURE() << f.what;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), f.message) << f.what;
    }
  }
  EXPECT_EQ(rec.ic(), 2u);
  EXPECT_EQ(rec.iu(), 2u);
  EXPECT_EQ(rec.ix(), 1u);
  EXPECT_THROW(rec.code({}), std::out_of_range);
  EXPECT_THROW(rec.u(), std::invalid_argument);
  EXPECT_EQ(rec.x0(1), std::vector<float>{3.0f});
  EXPECT_THROW(rec.x0(1), std::out_of_range);
}

TEST(RecNoise, StandsWhereNumpyNoiseStands) {
  NumpyNoise live(2024);
  NoiseRecord record;
  const std::vector<double> w = {0.2, 0.3, 0.5};
  for (int step = 0; step < 5; ++step) {
    record.code.push_back(live.code(w));
    record.u.push_back({live.u()});
    const std::vector<float> x = live.x0(4);
    record.x0.emplace_back(x.begin(), x.end());
  }
  NumpyNoise again(2024);
  RecNoise replay(record);
  std::vector<NoiseSource*> sources = {&again, &replay};
  for (int step = 0; step < 5; ++step) {
    std::vector<std::vector<float>> got;
    for (NoiseSource* s : sources) {
      const auto c = static_cast<float>(s->code(w));
      const float u = s->u();
      std::vector<float> x = s->x0(4);
      x.push_back(c);
      x.push_back(u);
      got.push_back(x);
    }
    EXPECT_EQ(got[0], got[1]) << "step " << step;
  }
}

json::Value res_of(const json::Value& c) { return *c.find("res"); }

TEST(AR2Noise, RowsEqualNumpy) {
  const json::Value f = json_fixture("v2u_noise/ar2_noise.json");
  for (const json::Value& c : f.find("cases")->as_array()) {
    const std::string& seed = c.find("seed")->as_string();
    SCOPED_TRACE("seed " + seed);
    AR2Noise noise(res_of(c), SeedInt::parse(seed));
    const std::size_t m = noise.channels();
    ASSERT_EQ(m, c.find("res")->find("ar")->as_array().size());
    StreamDigest d;
    std::vector<double> first;
    const auto& calls = c.find("calls")->as_array();
    const auto& after = c.find("after")->as_array();
    for (std::size_t k = 0; k < calls.size(); ++k) {
      const std::int64_t t0 = calls[k].as_array()[0].as_int(), t1 = calls[k].as_array()[1].as_int();
      const std::vector<double> rows = noise.rows(t0, t1);
      ASSERT_EQ(rows.size(), static_cast<std::size_t>(t1 - t0) * m);
      d.add(std::span<const double>(rows));
      first.insert(first.end(), rows.begin(), rows.end());
      EXPECT_EQ(noise.b0(), after[k].as_array()[0].as_int()) << "after rows(" << t0 << ", " << t1 << ")";
      EXPECT_EQ(noise.kept_rows(), after[k].as_array()[1].as_int()) << "after rows(" << t0 << ", " << t1 << ")";
    }
    std::vector<double> head;
    for (const json::Value& r : c.find("head")->as_array())
      for (double v : numbers(r)) head.push_back(v);
    first.resize(std::min(first.size(), head.size()));
    EXPECT_EQ(first, head);
    EXPECT_EQ(d.hex(), c.find("sha256")->as_string());
  }
}

// The first fixture case, asked for row by row instead of in one call.
TEST(AR2Noise, RowsDoNotDependOnHowTheyAreAskedFor) {
  const json::Value c = json_fixture("v2u_noise/ar2_noise.json").find("cases")->as_array()[0];
  ASSERT_EQ(c.find("calls")->as_array().size(), 1u);
  AR2Noise whole(res_of(c), SeedInt::parse(c.find("seed")->as_string()));
  AR2Noise single(res_of(c), SeedInt::parse(c.find("seed")->as_string()));
  const std::vector<double> all = whole.rows(0, 3000);
  StreamDigest d;
  for (std::int64_t t = 0; t < 3000; ++t) {
    const std::vector<double> r = single.rows(t, t + 1);
    ASSERT_EQ(r, std::vector<double>(all.begin() + t * 3, all.begin() + t * 3 + 3)) << "frame " << t;
  }
  // Seeds equal modulo 2**32 give the same rows: 5 + 2**32 and 5 - 2**32 like 5.
  const std::vector<Ar2Channel> ar = {{0.5, 0.1, 1.0}, {1.2, -0.4, 0.2}};
  const std::vector<double> five = AR2Noise(ar, 5).rows(0, 2100);
  EXPECT_EQ(AR2Noise(ar, std::int64_t{5} + (std::int64_t{1} << 32)).rows(0, 2100), five);
  EXPECT_EQ(AR2Noise(ar, std::int64_t{5} - (std::int64_t{1} << 32)).rows(0, 2100), five);
  EXPECT_NE(AR2Noise(ar, 6).rows(0, 2100), five);
}

TEST(AR2Noise, GrowsByBlocksAndReleasesBehindTheReader) {
  const std::vector<Ar2Channel> ar = {{0.5, 0.1, 1.0}, {1.2, -0.4, 0.2}};
  AR2Noise n(ar, 0);
  EXPECT_TRUE(n.rows(0, 0).empty());
  EXPECT_EQ(n.kept_rows(), 0);
  n.rows(0, 1);
  EXPECT_EQ(n.kept_rows(), 1024);
  n.rows(0, 10);
  const std::vector<double> r5000 = n.rows(5000, 5001);
  EXPECT_EQ(n.b0(), 5000);
  EXPECT_EQ(n.kept_rows(), 120);  // 5120 made
  try {
    n.rows(4999, 5002);
    ADD_FAILURE();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "AR2Noise: rows already released");
  }
  EXPECT_EQ(n.rows(5000, 5001), r5000);
  EXPECT_EQ(n.b0(), 5000);

  // 4096 rows before t0 are kept, 4097 are not.
  AR2Noise keep(ar, 0);
  keep.rows(4096, 4100);
  EXPECT_EQ(keep.b0(), 0);
  EXPECT_EQ(keep.kept_rows(), 5120);
  keep.rows(4097, 4100);
  EXPECT_EQ(keep.b0(), 4097);
  EXPECT_EQ(keep.kept_rows(), 5120 - 4097);

  // No channels: rows of zero columns, growth still by whole blocks.
  AR2Noise none(std::vector<Ar2Channel>{}, 1);
  EXPECT_TRUE(none.rows(0, 10).empty());
  EXPECT_EQ(none.kept_rows(), 1024);
}

TEST(AR2Noise, ALongJumpHoldsOnlyWhatItReturns) {
  const std::vector<Ar2Channel> ar = {{0.9, 0.05, 1.0}};
  AR2Noise jump(ar, 77), walk(ar, 77);
  const std::vector<double> far = jump.rows(3'000'000, 3'000'002);
  EXPECT_EQ(jump.b0(), 3'000'000);
  EXPECT_EQ(jump.kept_rows(), (3'000'002 + 1023) / 1024 * 1024 - 3'000'000);  // the rest of the last block
  for (std::int64_t t = 0; t < 3'000'000; t += 4000) walk.rows(t, t + 1);
  EXPECT_EQ(walk.rows(3'000'000, 3'000'002), far);
  EXPECT_EQ(walk.b0(), 3'000'000);
  EXPECT_EQ(walk.kept_rows(), jump.kept_rows());
}

TEST(AR2Noise, ABackwardRangeIsRefusedAndChangesNothing) {
  const std::vector<Ar2Channel> ar = {{0.9, 0.05, 1.0}};
  AR2Noise n(ar, 3), twin(ar, 3);
  EXPECT_THROW(n.rows(5000, 10), std::invalid_argument);
  EXPECT_EQ(n.b0(), 0);
  EXPECT_EQ(n.kept_rows(), 0);
  EXPECT_EQ(n.rows(1024, 1030), twin.rows(1024, 1030));
}

TEST(AR2Noise, ParametersAreReadFromTheResidualMapping) {
  const std::vector<double> want = AR2Noise(std::vector<Ar2Channel>{{1.0, -0.25, 2.0}}, -7).rows(0, 5);
  // Integers, booleans and float text convert as Python's float() converts them.
  EXPECT_EQ(AR2Noise(json::parse(R"({"ar": [{"sig": 2, "a1": true, "a2": "-0.25"}], "B": 0})"), -7).rows(0, 5), want);
  struct Case {
    const char* res;
    const char* message;
  };
  const Case cases[] = {
      {R"({"resid": []})", "'ar'"},
      {R"({"ar": [{"a1": 1, "sig": 1}]})", "'a2'"},
      {R"({"ar": [{"a1": 1, "a2": null, "sig": 1}]})", "float() argument must be a string or a real number, not 'NoneType'"},
      {R"({"ar": [{"a1": "x", "a2": 0, "sig": 1}]})", "could not convert string to float: 'x'"},
      {R"({"ar": 3})", "'int' object is not iterable"},
      {R"({"ar": [[1, 2, 3]]})", "list indices must be integers or slices, not str"},
  };
  for (const Case& c : cases) {
    try {
      AR2Noise(json::parse(c.res), 0);
      ADD_FAILURE() << c.res;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.message) << c.res;
    }
  }
}

}  // namespace
}  // namespace velmora::v2u
