#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmora/errors.hpp"
#include "velmora/fixture.h"
#include "velmora/outside.h"

namespace velmora::detail {
namespace {

// A native runtime whose ticks follow a script: after each push, ticks_available gives the next count of the
// script, counting down as frames are pulled. Frames are 1 x 2 pixels of three channels (B, G, R).
struct Recorder {
  std::vector<std::string> calls;
  std::vector<std::vector<float>> pushed;
  std::vector<int> ticks_after_push;
  int ticks = 0;
  int pulled = 0;
  bool engine_only = false;
  bool fixture_throws = false;
  bool runtime_throws = false;
  std::shared_ptr<std::byte[]> last_image;
};

class ScriptedRuntime : public NativeRuntime {
 public:
  explicit ScriptedRuntime(Recorder& r) : r_(r) {}
  void push_audio(std::span<const float> s) override {
    r_.calls.push_back("push");
    r_.pushed.emplace_back(s.begin(), s.end());
    r_.ticks = r_.ticks_after_push.empty() ? 0 : r_.ticks_after_push.front();
    if (!r_.ticks_after_push.empty()) r_.ticks_after_push.erase(r_.ticks_after_push.begin());
  }
  std::int64_t ticks_available() override { return r_.ticks; }
  Frame pull_frame() override {
    r_.calls.push_back("pull");
    --r_.ticks;
    const int n = r_.pulled++;
    r_.last_image.reset(new std::byte[6]);
    for (int i = 0; i < 6; ++i) r_.last_image[i] = static_cast<std::byte>(10 * n + i);
    Frame f;
    f.data = std::shared_ptr<const std::byte>(r_.last_image, r_.last_image.get());
    f.bytes = 6;
    f.shape = {1, 2, 3};
    f.index = n;
    return f;
  }
  void reset_stream() override { r_.calls.push_back("reset"); }

 private:
  Recorder& r_;
};

class ScriptedNative : public FixtureRuntime {
 public:
  explicit ScriptedNative(Recorder& r) : r_(r) {}
  bool engine_only() const override { return r_.engine_only; }
  void register_default_audio_encoder() override { r_.calls.push_back("register"); }
  int default_threads() override { return 3; }
  std::shared_ptr<NativeFixture> load_fixture(const std::string& source, int ep, int threads) override {
    r_.calls.push_back("fixture " + source + " " + std::to_string(ep) + " " + std::to_string(threads));
    if (r_.fixture_throws) throw std::runtime_error("not a fixture");
    return std::make_shared<NativeFixture>();
  }
  std::unique_ptr<NativeRuntime> make_runtime(std::shared_ptr<NativeFixture>) override {
    if (r_.runtime_throws) throw std::out_of_range("no runtime");
    return std::make_unique<ScriptedRuntime>(r_);
  }

 private:
  Recorder& r_;
};

Generator<Pcm> chunks(std::vector<Pcm> cs) {
  for (auto& c : cs) {
    Pcm out = std::move(c);
    co_yield std::move(out);
  }
}

Pcm s16(std::vector<std::int16_t> v) {
  Pcm out(v.size() * 2);
  std::memcpy(out.data(), v.data(), out.size());
  return out;
}

TEST(FixtureEngine, PushesFloatAudioAndPullsReadyFramesTurnedToRgb) {
  Recorder r;
  r.ticks_after_push = {0, 2};
  FixtureEngine e("avatar.v1", std::make_shared<ScriptedNative>(r));
  EXPECT_EQ(r.calls, (std::vector<std::string>{"register", "fixture avatar.v1 0 3"}));
  EXPECT_EQ(e.frames_per_second(), std::nullopt);
  Generator<Frame> g = e.frames(chunks({s16({-32768, 16384}), Pcm{}, s16({32767})}));
  auto f0 = g.next();
  ASSERT_TRUE(f0);
  // The stream starts clean; the empty chunk pushed and pulled nothing; the first chunk's tick count was 0.
  EXPECT_EQ(r.calls,
            (std::vector<std::string>{"register", "fixture avatar.v1 0 3", "reset", "push", "push", "pull"}));
  EXPECT_EQ(r.pushed, (std::vector<std::vector<float>>{{-1.0f, 0.5f}, {32767.0f / 32768.0f}}));
  const std::byte* px = f0->data.get();
  EXPECT_NE(px, r.last_image.get());  // a buffer of its own
  std::vector<int> got;
  for (int i = 0; i < 6; ++i) got.push_back(std::to_integer<int>(px[i]));
  EXPECT_EQ(got, (std::vector<int>{2, 1, 0, 5, 4, 3}));
  EXPECT_EQ((f0->shape), (std::array<std::size_t, 3>{1, 2, 3}));
  ASSERT_TRUE(g.next());
  EXPECT_FALSE(g.next());  // nothing is asked for after the last chunk
  EXPECT_EQ(r.pulled, 2);
}

TEST(FixtureEngine, AnOddChunkIsAValueErrorAndInterruptNeverThrows) {
  Recorder r;
  FixtureEngine e("a", std::make_shared<ScriptedNative>(r));
  Generator<Frame> g = e.frames(chunks({Pcm(3)}));
  EXPECT_THROW(g.next(), ValueError);
  e.interrupt();
  EXPECT_EQ(r.calls.back(), "reset");
  e.close();
  EXPECT_NO_THROW(e.interrupt());
}

TEST(FixtureEngine, ConstructionFailuresAndThePresenceProbe) {
  Recorder r;
  r.fixture_throws = true;
  try {
    FixtureEngine e("bad", std::make_shared<ScriptedNative>(r));
    ADD_FAILURE() << "no error";
  } catch (const InvalidAvatar& e) {
    EXPECT_STREQ(e.what(), "that is not a usable avatar");
    EXPECT_EQ(e.detail().text(), "not a fixture");
  }
  r.fixture_throws = false;
  r.runtime_throws = true;
  EXPECT_THROW(FixtureEngine("a", std::make_shared<ScriptedNative>(r)), std::out_of_range);

  {
    ScopedOutside none(Outside{});
    EXPECT_TRUE(vantor1_runtime_present());
    EXPECT_THROW(FixtureEngine("a"), ImportError);
  }
  Outside with;
  with.fixture_runtime = std::make_shared<ScriptedNative>(r);
  ScopedOutside scope(with);
  EXPECT_TRUE(vantor1_runtime_present());
  r.engine_only = true;
  EXPECT_FALSE(vantor1_runtime_present());
}

}  // namespace
}  // namespace velmora::detail
