#include "velmora/session_engine.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "velmora/errors.hpp"
#include "velmora/outside.h"
#include "velmora/support/cache_scope.h"

namespace velmora::detail {
namespace {

constexpr int LISTEN = 0;
constexpr int SPEECH = session::LE_UTT_SPEECH;
constexpr int IDLE = session::LE_UTT_IDLE;

// One pull's answer: a frame numbered `id` of `kind`, or nothing (id < 0); the fake clock moves on by
// `advance` seconds when it is pulled.
struct Answer {
  int id = -1;
  int kind = 0;
  double advance = 0;
};
constexpr Answer NONE{};

struct World {
  double t = 0;
  int sleeps = 0;
  std::vector<std::string> calls;
  std::deque<Answer> answers;  // pulls beyond these answer nothing
  bool reset_throws = false;
  bool close_throws = false;
  SessionOptions options(double quiet = 10) {
    SessionOptions o;
    o.quiet = quiet;
    o.now = [this] { return t; };
    o.sleep = [this](double s) {
      t += s;
      ++sleeps;
    };
    return o;
  }
};

class ScriptedSession : public session::Session {
 public:
  explicit ScriptedSession(World& w) : w_(w) {}
  void reset() override {
    w_.calls.push_back("reset");
    if (w_.reset_throws) throw session::EngineFailed("reset failed");
  }
  void push(std::span<const std::uint8_t> chunk) override { w_.calls.push_back("push " + std::to_string(chunk.size())); }
  std::optional<session::Pulled> pull() override {
    w_.calls.push_back("pull");
    if (w_.answers.empty()) return std::nullopt;
    const Answer a = w_.answers.front();
    w_.answers.pop_front();
    w_.t += a.advance;
    if (a.id < 0) return std::nullopt;
    session::Pulled p;
    p.frame.index = a.id;
    p.kind = a.kind;
    return p;
  }
  void end() override { w_.calls.push_back("end"); }
  void check_render() override { w_.calls.push_back("check"); }
  void close() override {
    w_.calls.push_back("close");
    if (w_.close_throws) throw std::runtime_error("close failed");
  }

 private:
  World& w_;
};

Generator<Pcm> chunks(std::vector<std::size_t> sizes) {
  for (std::size_t n : sizes) {
    Pcm c(n);
    co_yield std::move(c);
  }
}

std::vector<std::int64_t> run(SessionEngine& e, std::vector<std::size_t> sizes = {}) {
  std::vector<std::int64_t> ids;
  Generator<Frame> g = e.frames(chunks(std::move(sizes)));
  while (auto f = g.next()) ids.push_back(f->index);
  return ids;
}

int count(const std::vector<std::string>& calls, const std::string& c) {
  return static_cast<int>(std::count(calls.begin(), calls.end(), c));
}

TEST(SessionEngine, AgainstASilentSessionARunEndsAfterTheQuietTime) {
  World w;
  SessionEngine e(std::make_unique<ScriptedSession>(w), w.options(10));
  EXPECT_EQ(e.stop_reason(), std::nullopt);
  EXPECT_EQ(e.frames_per_second(), 25.0);
  EXPECT_EQ(run(e), std::vector<std::int64_t>{});
  EXPECT_EQ(e.stop_reason(), "quiet-deadline (10s with no frame)");
  EXPECT_EQ(count(w.calls, "check"), 1);
  EXPECT_EQ(w.calls.front(), "reset");
  EXPECT_EQ(w.calls[1], "end");
  EXPECT_GT(w.t, 10);
  EXPECT_LT(w.t, 10.01);
}

TEST(SessionEngine, AStopAskedDuringTheWaitAfterTheInputEndsItAtTheNextPause) {
  World w;
  std::stop_source stop;
  SessionOptions o = w.options(10);
  o.sleep = [&](double s) {
    w.t += s;
    if (++w.sleeps == 3) stop.request_stop();
  };
  SessionEngine e(std::make_unique<ScriptedSession>(w), o);
  Generator<Frame> g = e.frames(chunks({}), stop.get_token());
  EXPECT_THROW(g.next(), Cancelled);
  EXPECT_EQ(w.sleeps, 3);
  EXPECT_LT(w.t, 1);
  EXPECT_EQ(e.stop_reason(), "unfinished");
}

TEST(SessionEngine, SpeechGatingFeedAndDrain) {
  const struct {
    const char* name;
    std::vector<std::size_t> chunks;
    std::vector<Answer> answers;
    double quiet;
    std::vector<std::int64_t> frames;
    std::string stop;
  } cases[] = {
      // Before speech nothing comes out; once speaking, a rest frame is handed out while feeding and ends the
      // run (itself not handed out) after the end.
      {"gating", {2}, {{1, LISTEN}, {2, LISTEN}, {3, SPEECH}, {4, IDLE}, {5, LISTEN}, NONE, {6, LISTEN}, {7, IDLE}, {8, SPEECH}},
       10, {3, 4, 5, 6}, "idle-frame (avatar returned to rest)"},
      {"drain-gating", {}, {{1, LISTEN}, {2, SPEECH}, {3, LISTEN}, {4, IDLE}}, 10, {2, 3}, "idle-frame (avatar returned to rest)"},
      // After the end, frames before speech do not move the deadline: past it, the next one ends the run.
      {"no-speech", {}, {{1, LISTEN, 1}, {2, LISTEN, 1.5}, {3, SPEECH}}, 2, {}, "no-speech-in-utterance"},
      {"quiet-after-speech", {}, {{1, SPEECH}, {-1, 0, 3}}, 2, {1}, "quiet-deadline (2s with no frame)"},
      {"half-rounds-to-even", {}, {{1, SPEECH}, {-1, 0, 3}}, 2.5, {1}, "quiet-deadline (2s with no frame)"},
  };
  for (const auto& c : cases) {
    World w;
    w.answers.assign(c.answers.begin(), c.answers.end());
    SessionEngine e(std::make_unique<ScriptedSession>(w), w.options(c.quiet));
    EXPECT_EQ(run(e, c.chunks), c.frames) << c.name;
    EXPECT_EQ(e.stop_reason(), c.stop) << c.name;
    const bool checked = c.stop.rfind("idle", 0) != 0;
    EXPECT_EQ(count(w.calls, "check"), (c.chunks.empty() ? 0 : 1) + (checked ? 1 : 0)) << c.name;
  }
}

TEST(SessionEngine, EveryEmptyFeedPullIsCheckedBeforeTheNextChunk) {
  World w;
  w.answers = {NONE, {1, SPEECH}, NONE, {2, IDLE}};
  SessionEngine e(std::make_unique<ScriptedSession>(w), w.options());
  EXPECT_EQ(run(e, {4, 6}), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(w.calls, (std::vector<std::string>{"reset", "push 4", "pull", "check", "push 6", "pull", "pull", "check",
                                               "end", "pull"}));
}

TEST(SessionEngine, AConsumerThatKeepsAFrameUsesUpTheWait) {
  World w;
  w.answers = {{1, SPEECH}};
  SessionEngine e(std::make_unique<ScriptedSession>(w), w.options(2));
  Generator<Frame> g = e.frames(chunks({}));
  ASSERT_TRUE(g.next());
  w.t += 5;  // the consumer holds the frame
  EXPECT_FALSE(g.next());
  EXPECT_EQ(w.sleeps, 0);
  EXPECT_EQ(e.stop_reason(), "quiet-deadline (2s with no frame)");
}

TEST(SessionEngine, AnAbandonedRunStaysUnfinishedAndInterruptResets) {
  World w;
  w.answers = {{1, SPEECH}, {2, SPEECH}};
  SessionEngine e(std::make_unique<ScriptedSession>(w), w.options());
  {
    Generator<Frame> g = e.frames(chunks({2}));
    ASSERT_TRUE(g.next());
  }
  EXPECT_EQ(e.stop_reason(), "unfinished");
  e.interrupt();
  EXPECT_EQ(w.calls.back(), "reset");
  w.reset_throws = true;
  EXPECT_NO_THROW(e.interrupt());
  w.close_throws = true;
  EXPECT_THROW(e.close(), std::runtime_error);
}

TEST(SessionEngine, BuiltOnASourceFolderAndItsManifest) {
  testing::CacheScope cache;
  std::string seen_folder;
  std::string seen_engine;
  World w;
  Outside services = testing::fake_outside();
  services.session_runtime = [&](const std::string& folder, const json::Value& manifest) {
    seen_folder = folder;
    seen_engine = manifest.find("engine")->as_string();
    return std::make_unique<ScriptedSession>(w);
  };
  ScopedOutside scope(services);
  const std::string dir = cache.dir.str() + "/avatar";
  cache.dir.write("avatar/manifest.json", R"({"engine": "vantor2-golden"})");
  SessionEngine e(dir);
  EXPECT_EQ(seen_folder, dir);
  EXPECT_EQ(seen_engine, "vantor2-golden");

  cache.dir.write("broken/manifest.json", "{nope");
  EXPECT_THROW(SessionEngine e(cache.dir.str() + "/broken"), ValueError);
  std::filesystem::create_directories(cache.dir.path() / "empty");
  EXPECT_THROW(SessionEngine e(cache.dir.str() + "/empty"), std::system_error);
  services.session_runtime = nullptr;
  ScopedOutside none(services);
  EXPECT_THROW(SessionEngine e(dir), ImportError);
}

}  // namespace
}  // namespace velmora::detail
