#include <gtest/gtest.h>

#include <vector>

#include "velmora/render_clock.h"
#include "velmora/support/fake_engine.h"

namespace velmora {
namespace {

using detail::RenderClock;
using testing::ScriptedClock;

Generator<Pcm> chunks_of(std::vector<Pcm> chunks) {
  for (auto& c : chunks) co_yield std::move(c);
}

void pull_all(Generator<Pcm> g) {
  while (g.next()) {
  }
}

TEST(RenderClock, StatsNeedAFirstChunkAndAFrame) {
  ScriptedClock readings({1.0, 2.0});
  {
    RenderClock fresh(readings.fn());
    EXPECT_EQ(fresh.stats(), std::nullopt);
  }
  {
    RenderClock chunks_only(readings.fn());
    pull_all(chunks_only.chunks(chunks_of({Pcm{1, 2}})));
    EXPECT_EQ(chunks_only.stats(), std::nullopt);
  }
  {
    RenderClock frames_only(readings.fn());  // an engine that yields without reading input
    frames_only.frame();
    frames_only.frame();
    EXPECT_EQ(frames_only.stats(), std::nullopt);
  }
}

TEST(RenderClock, SpansFromTheFirstChunkToTheLastFrame) {
  ScriptedClock readings({10.0, 12.5});
  RenderClock clock(readings.fn());
  pull_all(clock.chunks(chunks_of({Pcm{1}, Pcm{2}, Pcm{3}})));
  for (int i = 0; i < 50; ++i) clock.frame();
  EXPECT_EQ(clock.stats(), (RenderStats{50, 2.5, 20.0}));
  EXPECT_EQ(readings.reads(), 51);  // one stamp for all chunks, one reading per frame
}

TEST(RenderClock, ASpanOfZeroOrLessCountsAsOneNanosecond) {
  struct Case {
    std::vector<double> readings;  // the chunk stamp first, then one per frame
  };
  for (const Case& c : {Case{{5.0, 5.0}}, Case{{5.0, 4.0}}}) {
    ScriptedClock readings(c.readings);
    RenderClock clock(readings.fn());
    pull_all(clock.chunks(chunks_of({Pcm{1}})));
    clock.frame();
    clock.frame();
    clock.frame();
    EXPECT_EQ(clock.stats(), (RenderStats{3, 1e-9, 3 / 1e-9})) << c.readings[1];
  }
}

Generator<Pcm> noting_reads(const ScriptedClock* clock, std::vector<int>* reads_when_made) {
  for (std::uint8_t i = 0; i < 3; ++i) {
    reads_when_made->push_back(clock->reads());
    Pcm chunk{i, i};
    co_yield std::move(chunk);
  }
}

TEST(RenderClock, ChunksPassUnchangedAndTheStampFollowsTheFirstOne) {
  ScriptedClock readings({1.0});
  RenderClock clock(readings.fn());
  std::vector<int> reads_when_made;
  Generator<Pcm> timed = clock.chunks(noting_reads(&readings, &reads_when_made));
  std::vector<Pcm> got;
  while (auto c = timed.next()) got.push_back(*c);
  EXPECT_EQ(got, (std::vector<Pcm>{{0, 0}, {1, 1}, {2, 2}}));
  // Making the first chunk is not timed; later chunks read the clock no more.
  EXPECT_EQ(reads_when_made, (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(readings.reads(), 1);
}

}  // namespace
}  // namespace velmora
