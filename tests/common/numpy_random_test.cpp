#include <gtest/gtest.h>

#include "common/numpy_random.h"
#include "common/support/fixture.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace velmora {
namespace {

using testing::json_fixture;
using testing::StreamDigest;

std::string hex128(uint128 v) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(v >> 64),
                static_cast<unsigned long long>(v));
  return buf;
}

void expect_state(const Pcg64& bits, const json::Value& want) {
  EXPECT_EQ(hex128(bits.state().state), want.find("state")->as_string());
  EXPECT_EQ(hex128(bits.state().inc), want.find("inc")->as_string());
  EXPECT_EQ(bits.state().has_uint32, want.find("has_uint32")->as_int() != 0);
  EXPECT_EQ(bits.state().uinteger, static_cast<std::uint32_t>(want.find("uinteger")->as_int()));
}

bool same_state(const Pcg64& a, const Pcg64& b) {
  return a.state().state == b.state().state && a.state().has_uint32 == b.state().has_uint32 &&
         a.state().uinteger == b.state().uinteger;
}

TEST(NumpyRandom, SeedingMatchesNumpy) {
  const json::Value cases = json_fixture("numpy_random/seeds.json");
  ASSERT_GT(cases.as_array().size(), 10u);
  for (const json::Value& c : cases.as_array()) {
    const json::Value& seed = *c.find("seed");
    std::vector<SeedInt> list;
    if (seed.is_array())
      for (const json::Value& v : seed.as_array()) list.push_back(SeedInt::parse(v.as_string()));
    const std::string label = seed.is_array() ? "list of " + std::to_string(list.size()) : seed.as_string();
    SCOPED_TRACE(label);
    auto make = [&] { return seed.is_array() ? SeedSequence(list) : SeedSequence(SeedInt::parse(seed.as_string())); };
    if (const json::Value* error = c.find("error")) {
      try {
        make();
        ADD_FAILURE() << "no error";
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(e.what(), error->as_string());
      }
      continue;
    }
    const SeedSequence ss = make();
    const auto& pool = c.find("pool")->as_array();
    for (std::size_t i = 0; i < SeedSequence::POOL_SIZE; ++i) EXPECT_EQ(ss.pool()[i], pool[i].as_int());
    const std::vector<std::uint32_t> words = ss.generate_state(8);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(words[i], c.find("words")->as_array()[i].as_int());
    expect_state(Pcg64(ss), c);
  }
}

TEST(NumpyRandom, SeedIntTextAndRemainders) {
  struct Case {
    const char* text;
    bool negative;
    std::vector<std::uint32_t> words;
    std::uint32_t mod;
  };
  const Case cases[] = {
      {"0", false, {0}, 0},
      {"-0", false, {0}, 0},
      {"+7", false, {7}, 7},
      {"-1", true, {1}, 4294967295u},
      {"4294967301", false, {5, 1}, 5},
      {"-4294967297", true, {1, 1}, 4294967295u},
      {"18446744073709551621", false, {5, 0, 1}, 5},
      {"-9223372036854775808", true, {0, 0x80000000u}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const SeedInt v = SeedInt::parse(c.text);
    EXPECT_EQ(v.negative(), c.negative);
    EXPECT_EQ(v.words(), c.words);
    EXPECT_EQ(v.mod_2_32(), c.mod);
  }
  EXPECT_EQ(SeedInt(std::numeric_limits<std::int64_t>::min()).words(), cases[7].words);
  EXPECT_EQ(SeedInt(-1).mod_2_32(), 4294967295u);
  EXPECT_EQ(SeedInt(std::uint64_t{1} << 32).words(), (std::vector<std::uint32_t>{0, 1}));
  for (const char* bad : {"", "-", "1.5", "12a", " 1", "0x10"}) EXPECT_THROW(SeedInt::parse(bad), std::invalid_argument) << bad;
}

TEST(NumpyRandom, IntegerAndListSeedsAsNumpyTakesThem) {
  // A list shorter than the pool is padded with zeros: [5] and [5, 0, 0, 0] seed like 5, a fifth zero does not.
  EXPECT_TRUE(same_state(default_rng(5).bit_generator(), default_rng({5, 0, 0, 0}).bit_generator()));
  EXPECT_FALSE(same_state(default_rng(5).bit_generator(), default_rng({5, 0, 0, 0, 0}).bit_generator()));
  EXPECT_TRUE(same_state(default_rng(0).bit_generator(), default_rng(std::span<const SeedInt>()).bit_generator()));
  // Seeds are not reduced: 2**32 + 5 is not 5, and is the list [5, 1].
  EXPECT_FALSE(same_state(default_rng(5).bit_generator(), default_rng(std::int64_t{0x100000005}).bit_generator()));
  EXPECT_TRUE(same_state(default_rng({5, 1}).bit_generator(), default_rng(std::int64_t{0x100000005}).bit_generator()));
  EXPECT_THROW(default_rng(-1), std::invalid_argument);
}

TEST(NumpyRandom, RandomStreamEqualsNumpy) {
  const json::Value f = *json_fixture("numpy_random/streams.json").find("random");
  Generator g = default_rng(SeedInt::parse(f.find("seed")->as_string()));
  std::vector<double> v(static_cast<std::size_t>(f.find("n")->as_int()));
  g.random(std::span<double>(v.data(), 1000));
  for (std::size_t i = 1000; i < v.size(); ++i) v[i] = g.random();
  const auto& head = f.find("head")->as_array();
  for (std::size_t i = 0; i < head.size(); ++i) ASSERT_EQ(v[i], head[i].as_double()) << "draw " << i;
  StreamDigest d;
  d.add(std::span<const double>(v));
  EXPECT_EQ(d.hex(), f.find("sha256")->as_string());
}

TEST(NumpyRandom, StandardNormalStreamEqualsNumpyTailIncluded) {
  const json::Value f = *json_fixture("numpy_random/streams.json").find("standard_normal");
  Generator g = default_rng(SeedInt::parse(f.find("seed")->as_string()));
  std::vector<double> v(static_cast<std::size_t>(f.find("n")->as_int()));
  // Single draws and array fills share one stream.
  const std::size_t half = v.size() / 2;
  g.standard_normal(std::span<double>(v.data(), half));
  for (std::size_t i = half; i < v.size(); ++i) v[i] = g.standard_normal();
  const auto& head = f.find("head")->as_array();
  for (std::size_t i = 0; i < head.size(); ++i) ASSERT_EQ(v[i], head[i].as_double()) << "draw " << i;
  const auto& tails = f.find("tails")->as_array();
  ASSERT_GE(tails.size(), 20u);
  for (const json::Value& t : tails) {
    const auto i = static_cast<std::size_t>(t.as_array()[0].as_int());
    ASSERT_EQ(v[i], t.as_array()[1].as_double()) << "tail draw " << i;
  }
  StreamDigest d;
  d.add(std::span<const double>(v));
  EXPECT_EQ(d.hex(), f.find("sha256")->as_string());
}

TEST(NumpyRandom, InterleavedIntegersRandomNormalEqualNumpy) {
  const json::Value f = *json_fixture("numpy_random/streams.json").find("interleaved");
  std::vector<std::int64_t> ks;
  for (const json::Value& k : f.find("ks")->as_array()) ks.push_back(std::stoll(k.as_string()));
  const std::string& ops = f.find("ops")->as_string();
  const auto& head = f.find("head")->as_array();
  ASSERT_GE(ops.size(), 100000u);
  Generator g = default_rng(SeedInt::parse(f.find("seed")->as_string()));
  StreamDigest d;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (ops[i] == 'r' || ops[i] == 'n') {
      const double x = ops[i] == 'r' ? g.random() : g.standard_normal();
      if (i < head.size()) {
        ASSERT_EQ(x, head[i].as_double()) << "call " << i << " " << ops[i];
      }
      d.add(x);
    } else {
      const std::int64_t x = g.integers(ks[static_cast<std::size_t>(ops[i] - 'a')]);
      if (i < head.size()) {
        ASSERT_EQ(x, head[i].as_int()) << "call " << i << " integers(" << ks[ops[i] - 'a'] << ")";
      }
      d.add(x);
    }
  }
  EXPECT_EQ(d.hex(), f.find("sha256")->as_string());
  expect_state(g.bit_generator(), *f.find("final"));
}

TEST(NumpyRandom, IntegersKeepsTheUnusedHalfAndOneDrawsNothing) {
  Generator g = default_rng(5);
  Generator twin = default_rng(5);
  EXPECT_EQ(g.integers(1), 0);
  EXPECT_TRUE(same_state(g.bit_generator(), twin.bit_generator()));
  // A 32-bit range takes the low half of one 64-bit draw and keeps the high half, across random() and
  // standard_normal(), for the next 32-bit range.
  const std::uint64_t raw = twin.bit_generator().next64();
  const std::int64_t first = g.integers(1000);
  EXPECT_EQ(first, static_cast<std::int64_t>((raw & 0xffffffffu) * 1000 >> 32));
  EXPECT_TRUE(g.bit_generator().state().has_uint32);
  EXPECT_EQ(g.bit_generator().state().uinteger, raw >> 32);
  g.random();
  g.standard_normal();
  EXPECT_TRUE(g.bit_generator().state().has_uint32);
  EXPECT_EQ(g.integers(std::int64_t{1} << 32), static_cast<std::int64_t>(raw >> 32));
  EXPECT_FALSE(g.bit_generator().state().has_uint32);
  for (std::int64_t high : {0, -3}) {
    const Pcg64 before = g.bit_generator();
    try {
      g.integers(high);
      ADD_FAILURE() << high;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "high <= 0");
    }
    EXPECT_TRUE(same_state(g.bit_generator(), before));
  }
}

TEST(NumpyRandom, ChoiceChecksBeforeDrawingAndDrawsOneDouble) {
  struct Bad {
    std::vector<double> p;
    const char* message;
  };
  const Bad bad[] = {
      {{}, "a must be a positive integer unless no samples are taken"},
      {{NAN, 1.0}, "probabilities contain NaN"},
      {{-0.5, 1.5}, "probabilities are not non-negative"},
      {{0.5, 0.4}, "probabilities do not sum to 1"},
      {{INFINITY, 1.0}, "probabilities do not sum to 1"},
  };
  Generator g = default_rng(11);
  for (const Bad& b : bad) {
    const Pcg64 before = g.bit_generator();
    try {
      g.choice(b.p);
      ADD_FAILURE() << b.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), b.message);
    }
    EXPECT_TRUE(same_state(g.bit_generator(), before));
  }
  // Within sqrt(DBL_EPSILON) of 1 is accepted; the cdf is normalised by its last entry.
  Generator twin = default_rng(11);
  const std::vector<double> p = {0.25, 0.0, 0.75 - 1e-9};
  const double u = twin.random();
  EXPECT_EQ(g.choice(p), u < 0.25 / ((0.25 + 0.0) + p[2]) ? 0 : 2);
  EXPECT_EQ(g.choice(std::vector<double>{1.0}), 0);
  twin.random();
  EXPECT_EQ(g.random(), twin.random());
}

}  // namespace
}  // namespace velmora
