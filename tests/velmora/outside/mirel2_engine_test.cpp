#include "velmora/outside/mirel2_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/error_text.h"
#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/session.hpp"

namespace velmora::detail {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

constexpr std::size_t FRAME_BYTES = 720 * 416 * 3;

std::string fake_host() { return std::string(VELMORA_BIN_DIR) + "/fake_render_host"; }

Mirel2Options with_fake() {
  Mirel2Options o;
  o.host = fake_host();
  return o;
}

// `samples` samples of a ramp, as s16 bytes.
Pcm pcm_of(std::size_t samples, int step = 7) {
  Pcm out(samples * 2);
  for (std::size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<std::int16_t>(static_cast<int>((i * static_cast<std::size_t>(step)) % 60000) - 30000);
    std::memcpy(out.data() + 2 * i, &v, 2);
  }
  return out;
}

Generator<Pcm> chunks_of(std::vector<Pcm> chunks) {
  for (auto& c : chunks) {
    Pcm out = std::move(c);
    co_yield std::move(out);
  }
}

// One chunk as a whole stream.
Generator<Pcm> one(Pcm chunk) { co_yield std::move(chunk); }

std::vector<std::int64_t> indices_of(Generator<Frame> frames) {
  std::vector<std::int64_t> out;
  while (auto f = frames.next()) out.push_back(f->index);
  return out;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The records a stream of `samples` samples keeps: 3 up to the last frame slot with audio, plus 4.
std::vector<std::int64_t> expected_indices(std::size_t samples) {
  std::vector<std::int64_t> out;
  const auto last = static_cast<std::int64_t>((samples + 799) / 800) - 1 + 4;
  for (std::int64_t i = 3; i <= last; ++i) out.push_back(i);
  return out;
}

struct Fake {
  TempDir dir;
  std::string log = dir.str() + "/steps.log";
  ScopedEnv log_env{"FAKE_HOST_LOG", log};
  ScopedEnv mode_env;
  explicit Fake(std::optional<std::string> mode = std::nullopt) : mode_env("FAKE_HOST_MODE", std::move(mode)) {}
};

TEST(Mirel2Engine, AStreamIsStepsAndAFlushAndKeepsTheFramesTheAudioCovers) {
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  EXPECT_EQ(engine.frames_per_second(), 20.0);
  // 2.5 s in chunks of odd sizes: steps of at most 16,000 samples, samples as s16 / 32768.
  const std::vector<std::size_t> sizes = {1000, 30000, 0, 9000};
  std::vector<Pcm> chunks;
  for (std::size_t n : sizes) chunks.push_back(pcm_of(n));
  Generator<Frame> frames = engine.frames(chunks_of(std::move(chunks)));
  std::vector<Frame> got;
  while (auto f = frames.next()) got.push_back(*f);

  std::vector<std::int64_t> indices;
  for (const auto& f : got) indices.push_back(f.index);
  EXPECT_EQ(indices, expected_indices(40000));  // 50 slots: records 3..53
  for (const auto& f : got) {
    ASSERT_EQ(f.bytes, FRAME_BYTES);
    EXPECT_EQ((f.shape), (std::array<std::size_t, 3>{720, 416, 3}));
    std::int32_t slot;
    std::memcpy(&slot, f.data.get(), 4);
    EXPECT_EQ(slot, f.index <= 4 ? 0 : f.index - 4);
    EXPECT_EQ(std::to_integer<int>(f.data.get()[FRAME_BYTES - 1]), (slot * 37 + 11) & 0xff);
  }
  EXPECT_EQ(engine.stop_reason(), "end-of-flush marker");
  engine.close();
  EXPECT_EQ(lines_of(fake.log),
            (std::vector<std::string>{"reset", "samples 1000 -0.915527344 -0.70211792",
                                      "samples 16000 -0.915527344 0.671173096",
                                      "samples 14000 0.671386719 -0.000213623047",
                                      "samples 9000 -0.915527344 -0.824188232", "flush", "eof"}));
}

TEST(Mirel2Engine, ShortAndEmptyAudioKeepOnlyTheFramesItCovers) {
  const struct {
    std::size_t samples;
    std::size_t frames;
  } cases[] = {{0, 1}, {1, 2}, {800, 2}, {801, 3}, {16000, 21}, {25600, 33}};
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  for (const auto& c : cases) {
    EXPECT_EQ(indices_of(engine.frames(one(pcm_of(c.samples)))), expected_indices(c.samples)) << c.samples;
    EXPECT_EQ(expected_indices(c.samples).size(), c.frames);
  }
  engine.close();
}

TEST(Mirel2Engine, AnInterruptMidStreamLeavesACleanStreamForTheNextRender) {
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  {
    Generator<Frame> frames = engine.frames(one(pcm_of(100000)));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(frames.next());
    engine.interrupt();
    frames.close();
  }
  EXPECT_EQ(indices_of(engine.frames(one(pcm_of(30000)))), expected_indices(30000));
  engine.close();
  // However far the first stream got, every step it began went out whole (a step cut short is finished with
  // silence), then reset, flush, reset; the next stream starts with its own reset.
  const auto steps = lines_of(fake.log);
  std::size_t i = 1;
  ASSERT_EQ(steps.at(0), "reset");
  for (; i < steps.size() && steps[i].rfind("samples", 0) == 0; ++i) {
    EXPECT_EQ(steps[i].substr(0, 14), i <= 6 ? "samples 16000 " : "samples 4000 -") << i;
  }
  EXPECT_GE(i, 3u);
  const std::vector<std::string> rest(steps.begin() + static_cast<long>(i), steps.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"reset", "flush", "reset", "reset", "samples 16000 -0.915527344 0.671173096",
                                            "samples 14000 0.671386719 -0.000213623047", "flush", "eof"}));
}

TEST(Mirel2Engine, AnInterruptWhileTheFlushIsOwedDrainsBothAnswers) {
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  {
    Generator<Frame> frames = engine.frames(one(pcm_of(60000)));
    // Records 3..56 come while feeding; the flush is sent before the next one.
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(frames.next());
    engine.interrupt();
  }
  EXPECT_EQ(indices_of(engine.frames(one(pcm_of(1600)))), expected_indices(1600));
  engine.close();
}

TEST(Mirel2Engine, EarlyExitsOfTheHost) {
  {
    Fake fake("fatal");
    try {
      Mirel2Engine engine("some-avatar", with_fake());
      ADD_FAILURE() << "no error";
    } catch (const InvalidAvatar& e) {
      EXPECT_STREQ(e.what(), "that is not a usable avatar");
      EXPECT_EQ(e.detail().text(), "[tarnhost] FATAL: scripted bundle fault");
    }
  }
  {
    Fake fake("exit1");
    try {
      Mirel2Engine engine("some-avatar", with_fake());
      ADD_FAILURE() << "no error";
    } catch (const session::EngineFailed& e) {
      EXPECT_STREQ(e.what(), "could not start the renderer for that avatar");
      EXPECT_EQ(e.detail().text(),
                "tarnhost exited with status 1 before its hello line:\n[tarnhost] warming up\n[tarnhost] scripted "
                "start-up failure");
    }
  }
  {
    Fake fake("bad-hello");
    try {
      Mirel2Engine engine("some-avatar", with_fake());
      ADD_FAILURE() << "no error";
    } catch (const session::EngineFailed& e) {
      EXPECT_STREQ(e.what(), "the renderer did not start as expected");
      EXPECT_EQ(e.detail().text(), "no \"READY \" in the render host's hello line 'HELLO there'");
    }
  }
}

TEST(Mirel2Engine, NoHostProgramOrOneThatCannotStart) {
  Mirel2Options missing;
  missing.host = "/nonexistent/tarnhost";
  EXPECT_THROW(Mirel2Engine("a", missing), std::system_error);
}

TEST(Mirel2Engine, AHostThatDiesMidRenderFailsThisStreamAndTheNext) {
  Fake fake("die-after=30");
  Mirel2Engine engine("some-avatar", with_fake());
  std::vector<Pcm> chunks;
  for (int i = 0; i < 20; ++i) chunks.push_back(pcm_of(16000));
  Generator<Frame> frames = engine.frames(chunks_of(std::move(chunks)));
  int got = 0;
  try {
    while (frames.next()) ++got;
    ADD_FAILURE() << "no error";
  } catch (const session::EngineFailed& e) {
    EXPECT_STREQ(e.what(), "the renderer stopped in the middle of the render");
    EXPECT_EQ(e.detail().text(),
              "tarnhost exited with status 1 during the stream:\n[tarnhost] ready 416x720 @20fps  model=fake\n"
              "[tarnhost] scripted death after a frame record");
  }
  EXPECT_LE(got, 30);
  EXPECT_EQ(engine.stop_reason(), "render host exited with status 1");
  engine.interrupt();  // never throws, also with the host gone
  Generator<Frame> again = engine.frames(one(pcm_of(800)));
  EXPECT_THROW(again.next(), session::EngineFailed);
  engine.close();
}

TEST(Mirel2Engine, AnOddChunkIsAValueError) {
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  Generator<Frame> frames = engine.frames(one(Pcm(3)));
  EXPECT_THROW(frames.next(), ValueError);
  engine.interrupt();
  EXPECT_EQ(indices_of(engine.frames(one(pcm_of(800)))), expected_indices(800));
  engine.close();
}

}  // namespace
}  // namespace velmora::detail
