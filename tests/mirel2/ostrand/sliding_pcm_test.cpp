#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/sliding_pcm.h"

namespace velmora::ostrand::detail {
namespace {

// A store beside the plain list of every sample it was ever given, so its contents can be checked by
// absolute index after any operation.
class Checked {
 public:
  explicit Checked(std::int64_t minimum = SlidingPcm::DEFAULT_MINIMUM_CAPACITY) : pcm(minimum) {}

  // Appends `n` new samples, each a value no earlier sample had.
  void append(std::int64_t n) {
    std::vector<float> piece(static_cast<std::size_t>(n));
    for (float& v : piece) v = static_cast<float>(++last_value_);
    pcm.append(piece);
    all_.insert(all_.end(), piece.begin(), piece.end());
  }
  // Appends the first `n` retained samples straight from the store's own view.
  void append_own(std::int64_t n) {
    const auto from = all_.begin() + pcm.base();
    const std::vector<float> expected(from, from + n);
    pcm.append(pcm.live().first(static_cast<std::size_t>(n)));
    all_.insert(all_.end(), expected.begin(), expected.end());
  }
  void discard_before(std::int64_t a) { pcm.discard_before(a); }

  // The store holds exactly the samples base() to fed() - 1.
  void expect_contents() const {
    ASSERT_EQ(pcm.fed(), static_cast<std::int64_t>(all_.size()));
    ASSERT_EQ(pcm.base() + static_cast<std::int64_t>(pcm.live().size()), pcm.fed());
    ASSERT_TRUE(std::equal(pcm.live().begin(), pcm.live().end(), all_.begin() + pcm.base()));
  }
  float at(std::int64_t absolute) const { return all_[static_cast<std::size_t>(absolute)]; }

  SlidingPcm pcm;

 private:
  std::vector<float> all_;
  std::int64_t last_value_ = 0;
};

TEST(SlidingPcm, MinimumCapacityMustBePositive) {
  for (std::int64_t bad : {0, -5}) {
    try {
      SlidingPcm pcm(bad);
      FAIL() << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "positive capacity required");
    }
  }
  SlidingPcm one(1);
  EXPECT_EQ(one.counters(), SlidingPcmCounters{});
  EXPECT_TRUE(one.live().empty());
  one.append(std::vector<float>{});
  EXPECT_EQ(one.counters(), SlidingPcmCounters{});
}

// Growth, compaction, shrinking and self-appends: counters and contents after each sequence of operations.
TEST(SlidingPcm, GrowthCompactionAndShrinkTable) {
  struct Op {
    char kind;  // 'a' append new samples, 'o' append the store's own first samples, 'd' discard before
    std::int64_t value;
  };
  struct Case {
    std::string name;
    std::int64_t minimum;
    std::vector<Op> ops;
    SlidingPcmCounters want;  // live, bytes, peak bytes, copied in, moved, aliased, allocations, base, fed
  };
  std::vector<Op> small_steps(20000, Op{'a', 7});
  const std::vector<Case> cases = {
      {"first append below the minimum", 51200, {{'a', 1000}}, {1000, 204800, 204800, 1000, 0, 0, 1, 0, 1000}},
      {"first append above the minimum", 51200, {{'a', 60000}}, {60000, 240000, 240000, 60000, 0, 0, 1, 0, 60000}},
      {"second append reallocates to double",
       51200,
       {{'a', 30000}, {'a', 30000}},
       {60000, 409600, 409600, 60000, 30000, 0, 2, 0, 60000}},
      {"retained and new do not fit: reallocate",
       51200,
       {{'a', 51200}, {'d', 11200}, {'a', 12000}},
       {52000, 409600, 409600, 63200, 40000, 0, 2, 11200, 63200}},
      {"tail too short but the array holds both: compact",
       51200,
       {{'a', 51000}, {'d', 41000}, {'a', 5000}},
       {15000, 204800, 204800, 56000, 10000, 0, 1, 41000, 56000}},
      {"a quarter or less retained: shrink",
       51200,
       {{'a', 102400}, {'d', 82400}},
       {20000, 204800, 409600, 102400, 20000, 0, 2, 82400, 102400}},
      {"more than a quarter retained: keep",
       51200,
       {{'a', 102400}, {'d', 72400}},
       {30000, 409600, 409600, 102400, 0, 0, 1, 72400, 102400}},
      {"a store at its minimum never shrinks",
       51200,
       {{'a', 51200}, {'d', 51200}},
       {0, 204800, 204800, 51200, 0, 0, 1, 51200, 51200}},
      {"discard below base drops nothing",
       51200,
       {{'a', 100}, {'d', 20}, {'d', 10}},
       {80, 204800, 204800, 100, 0, 0, 1, 20, 100}},
      {"discard beyond fed empties; later audio continues from fed",
       51200,
       {{'a', 100}, {'d', 1000000000}, {'a', 50}},
       {50, 204800, 204800, 150, 0, 0, 1, 100, 150}},
      {"one huge append, then shrink to the minimum",
       51200,
       {{'a', 5000000}, {'d', 4999999}},
       {1, 204800, 20000000, 5000000, 1, 0, 2, 4999999, 5000000}},
      {"many small appends", 51200, small_steps, {140000, 819200, 819200, 140000, 153594, 0, 3, 0, 140000}},
      {"tiny minimum", 1, {{'a', 3}, {'a', 1}, {'d', 3}}, {1, 8, 24, 4, 4, 0, 3, 3, 4}},
      {"own samples into the free tail",
       51200,
       {{'a', 1000}, {'o', 1000}},
       {2000, 204800, 204800, 2000, 0, 1000, 1, 0, 2000}},
      {"own samples while compacting",
       51200,
       {{'a', 51000}, {'d', 41000}, {'o', 5000}},
       {15000, 204800, 204800, 56000, 10000, 5000, 1, 41000, 56000}},
      {"own samples while reallocating",
       51200,
       {{'a', 30000}, {'o', 30000}},
       {60000, 409600, 409600, 60000, 30000, 30000, 2, 0, 60000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Checked s(c.minimum);
    for (const Op& op : c.ops) {
      if (op.kind == 'a') s.append(op.value);
      if (op.kind == 'o') s.append_own(op.value);
      if (op.kind == 'd') s.discard_before(op.value);
    }
    EXPECT_EQ(s.pcm.counters(), c.want);
    s.expect_contents();
  }
}

TEST(SlidingPcm, RefusedDiscardChangesNothing) {
  Checked s;
  s.append(500);
  s.discard_before(100);
  const SlidingPcmCounters before = s.pcm.counters();
  try {
    s.discard_before(-1);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "nonnegative absolute sample offset required");
  }
  EXPECT_EQ(s.pcm.counters(), before);
  s.expect_contents();
}

// Windows of absolute samples before, across and after what the store holds.
TEST(SlidingPcm, WindowReads) {
  Checked s;
  s.append(1000);
  s.discard_before(300);  // holds 300 to 999
  struct Case {
    std::int64_t start, size, stop;
    std::int64_t audio;  // leading samples that carry audio; the rest must read 0
  };
  const Case cases[] = {
      {300, 100, INT64_MAX, 100},   // inside
      {900, 250, INT64_MAX, 100},   // across the end
      {1000, 50, INT64_MAX, 0},     // at the end
      {5000, 50, INT64_MAX, 0},     // far beyond
      {300, 700, 350, 50},          // cut short by `stop`
      {250, 100, 250, 0},           // begins among dropped samples but reads none of them
      {400, 0, INT64_MAX, 0},       // empty
      {999, 1, INT64_MAX, 1},       // the newest sample alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << "+" << c.size << " stop " << c.stop);
    std::vector<float> w(static_cast<std::size_t>(c.size), -1.0f);
    s.pcm.read(c.start, w, c.stop);
    for (std::int64_t i = 0; i < c.size; ++i) {
      ASSERT_EQ(w[i], i < c.audio ? s.at(c.start + i) : 0.0f) << i;
    }
  }
  std::vector<float> w(100, -1.0f);
  try {
    s.pcm.read(299, w);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "consumed audio context requested");
  }
  EXPECT_THROW(s.pcm.read(-1, w), std::invalid_argument);
  EXPECT_EQ(w, std::vector<float>(100, -1.0f));  // a refused read writes nothing
}

TEST(SlidingPcm, ResetStartsAfresh) {
  Checked s(1000);
  s.append(3000);
  s.discard_before(2500);
  s.pcm.reset();
  EXPECT_EQ(s.pcm.counters(), SlidingPcmCounters{});
  EXPECT_EQ(s.pcm.minimum_capacity(), 1000);
  EXPECT_TRUE(s.pcm.live().empty());
  const std::vector<float> piece = {1.0f, 2.0f, 3.0f};
  s.pcm.append(piece);
  EXPECT_EQ(s.pcm.base(), 0);
  EXPECT_EQ(s.pcm.fed(), 3);
  EXPECT_EQ(s.pcm.capacity(), 1000);
  std::vector<float> w(4);
  s.pcm.read(0, w);
  EXPECT_EQ(w, (std::vector<float>{1.0f, 2.0f, 3.0f, 0.0f}));
}

// Random appends (own samples among them), drops and windows against the list of every sample.
TEST(SlidingPcm, RandomOperationsKeepAbsoluteIndices) {
  std::mt19937_64 rng(7);
  for (std::int64_t minimum : {1, 64, 51200}) {
    SCOPED_TRACE(minimum);
    Checked s(minimum);
    for (int step = 0; step < 3000; ++step) {
      const int what = static_cast<int>(rng() % 10);
      const std::int64_t live = static_cast<std::int64_t>(s.pcm.live().size());
      if (what < 5) {
        s.append(static_cast<std::int64_t>(rng() % (rng() % 8 == 0 ? 20000 : 400)));
      } else if (what == 5 && live > 0) {
        s.append_own(1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(live)));
      } else if (what < 8) {
        s.discard_before(std::max<std::int64_t>(0, s.pcm.base() + static_cast<std::int64_t>(rng() % (live + 50)) - 25));
      } else {
        const std::int64_t start = s.pcm.base() + static_cast<std::int64_t>(rng() % (live + 100));
        std::vector<float> w(rng() % 3000);
        s.pcm.read(start, w);
        for (std::size_t i = 0; i < w.size(); ++i) {
          const std::int64_t at = start + static_cast<std::int64_t>(i);
          ASSERT_EQ(w[i], at < s.pcm.fed() ? s.at(at) : 0.0f);
        }
      }
      ASSERT_LE(s.pcm.live().size(), static_cast<std::size_t>(s.pcm.capacity()));
      s.expect_contents();
    }
  }
}

// The renderer's pattern, 10 minutes of 20 ms steps with a window read and a drop per chunk: after the first
// array, the store never allocates again and stays at its minimum size.
TEST(SlidingPcm, SteadyStreamAllocatesOnce) {
  SlidingPcm pcm;
  const std::vector<float> step(SR / 50, 0.25f);
  std::vector<float> window(WIN_SAMPLES);
  std::int64_t ci = 0;
  const auto window_start = [](std::int64_t c) { return (c <= 1 ? 0 : (c - 1) * STEADY_PX) * SPF; };
  for (int i = 0; i < 10 * 60 * 50; ++i) {
    pcm.append(step);
    while (pcm.fed() >= std::min((ci + 1) * SPC, window_start(ci) + WIN_SAMPLES)) {
      pcm.read(window_start(ci), window, (ci + 1) * SPC);
      ++ci;
      pcm.discard_before(window_start(ci));
      ASSERT_LT(pcm.live().size(), static_cast<std::size_t>(WIN_SAMPLES));
    }
  }
  EXPECT_EQ(ci, 375);  // chunks 0 to 374
  EXPECT_EQ(pcm.counters().allocations, 1);
  EXPECT_EQ(pcm.capacity(), SlidingPcm::DEFAULT_MINIMUM_CAPACITY);
}

}  // namespace
}  // namespace velmora::ostrand::detail
