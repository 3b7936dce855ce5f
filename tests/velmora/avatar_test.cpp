#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "velmora/avatar.hpp"
#include "velmora/outside.h"
#include "velmora/render_clock.h"
#include "velmora/support/fake_engine.h"
#include "velmora/support/log_capture.h"
#include "velmora/support/outcome.h"

namespace velmora {
namespace {

using testing::EngineLog;
using testing::EngineScript;
using testing::FakeEngine;
using testing::Outcome;
using testing::attempt;
using testing::kind_of;
using testing::outcome_of;

constexpr std::size_t FRAME_BYTES = 1280;  // one frame of audio at 25 fps
// PCM that implies `frames` frames at 25 fps.
AudioInput clip_of(std::size_t frames) { return AudioInput::pcm(Pcm(frames * FRAME_BYTES)); }

AudioInput stream_of(std::vector<std::size_t> frames_per_item) {
  std::vector<AudioItem> items;
  for (std::size_t n : frames_per_item) items.push_back(AudioItem::pcm(Pcm(n * FRAME_BYTES)));
  return AudioInput::stream(std::move(items));
}

// An avatar on a fake engine, with the engine's log kept.
struct Rig {
  explicit Rig(EngineScript script = {}, std::string id = "vantor2-light")
      : log(std::make_shared<EngineLog>()), avatar(std::make_unique<FakeEngine>(std::move(script), log), id) {}
  std::shared_ptr<EngineLog> log;
  Avatar avatar;
};

EngineScript at_25fps() {
  EngineScript s;
  s.fps = 25;
  return s;
}

// Pulls every frame; the frames that came and how the render ended.
struct Drained {
  std::vector<Frame> frames;
  Outcome end;
};
Drained drain(FrameStream& stream) {
  Drained d;
  d.end = attempt([&] {
    while (auto f = stream.next()) d.frames.push_back(std::move(*f));
  });
  return d;
}
Drained drain(FrameStream&& stream) { return drain(stream); }

void expect_same_frames(const std::vector<Frame>& got, const std::vector<Frame>& made) {
  ASSERT_EQ(got.size(), made.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].data.get(), made[i].data.get()) << i;  // the engine's own buffer: no copy
    EXPECT_EQ(got[i].index, made[i].index) << i;
    EXPECT_EQ(got[i].bytes, made[i].bytes) << i;
  }
}

TEST(AvatarRender, NothingRunsUntilTheFirstFrameIsAskedFor) {
  Rig rig(at_25fps());
  FrameStream stream = rig.avatar.render(AudioInput::file("/no/such/audio.wav"));
  EXPECT_TRUE(rig.log->events.empty());
  stream.close();  // never started: the engine is not touched
  EXPECT_TRUE(rig.log->events.empty());
}

TEST(AvatarRender, FramesReachTheConsumerUnchangedAndInOrder) {
  Rig rig(at_25fps());
  Drained clip = drain(rig.avatar.render(clip_of(6)));
  EXPECT_EQ(clip.end.kind, "");
  expect_same_frames(clip.frames, rig.log->made);
  EXPECT_EQ(rig.log->chunks, (std::vector<Pcm>{Pcm(6 * FRAME_BYTES)}));  // a whole clip is one chunk

  Rig streamed(at_25fps());
  std::vector<Frame> got;
  for (Frame& f : streamed.avatar.render(stream_of({2, 0, 3}))) got.push_back(f);
  expect_same_frames(got, streamed.log->made);
  EXPECT_EQ(streamed.log->chunks.size(), 3u);  // one chunk per item, the empty one too
  EXPECT_EQ(streamed.log->count("interrupt"), 0);
}

TEST(AvatarStats, AFullRunStoresItsStatisticsAndLogsTheLine) {
  Rig rig(at_25fps());
  testing::ScriptedClock clock({10.0, 12.5});
  detail::AvatarAccess::set_clock(rig.avatar, clock.fn());
  EXPECT_EQ(rig.avatar.render_stats(), std::nullopt);
  testing::LogCapture capture;
  EXPECT_EQ(drain(rig.avatar.render(clip_of(50))).end.kind, "");
  EXPECT_EQ(rig.avatar.render_stats(), (RenderStats{50, 2.5, 20.0}));
  ASSERT_EQ(capture.records.size(), 1u);
  testing::expect_render_line(
      capture.records[0], 50, 2.5, 20.0,
      "velmora: render 50 frames in 2.50 s = 20.0 fps steady state (first audio push -> last frame; model load "
      "excluded)");
}

Generator<AudioItem> items_then(Pcm first, std::exception_ptr error) {
  AudioItem item = AudioItem::pcm(std::move(first));
  co_yield std::move(item);
  std::rethrow_exception(error);
}

TEST(AvatarStats, AnEarlyStopOrAFailureInsideTheLoopKeepsTheLastStatisticsAndLogsNothing) {
  struct Case {
    const char* name;
    EngineScript script;
    std::function<AudioInput()> audio;
    std::function<void(FrameStream&)> consume;
  };
  EngineScript failing = at_25fps();
  failing.on_frame = std::make_exception_ptr(std::runtime_error("boom"));
  failing.fail_after = 3;
  const auto two_then_close = [](FrameStream& s) {
    s.next();
    s.next();
    s.close();
  };
  const auto to_the_end = [](FrameStream& s) { drain(s); };
  const Case cases[] = {
      {"closed early", at_25fps(), [] { return clip_of(10); }, two_then_close},
      {"engine fails", failing, [] { return clip_of(10); }, to_the_end},
      {"stream item fails", at_25fps(),
       [] { return AudioInput::stream(items_then(Pcm(FRAME_BYTES), std::make_exception_ptr(TypeError("no")))); },
       to_the_end},
  };
  for (const Case& c : cases) {
    Rig rig(c.script);
    testing::ScriptedClock clock({1.0, 3.0});
    detail::AvatarAccess::set_clock(rig.avatar, clock.fn());
    // A first, full render sets the statistics (the failing engine fails only from its fourth frame).
    drain(rig.avatar.render(clip_of(2)));
    const auto before = rig.avatar.render_stats();
    ASSERT_EQ(before, (RenderStats{2, 2.0, 1.0})) << c.name;
    testing::LogCapture capture;
    FrameStream stream = rig.avatar.render(c.audio());
    c.consume(stream);
    EXPECT_EQ(rig.avatar.render_stats(), before) << c.name;
    EXPECT_TRUE(capture.records.empty()) << c.name;
  }
}

TEST(AvatarStats, ARunWithoutACompleteSpanClearsTheStatisticsAndLogsNothing) {
  EngineScript script;
  script.frame_count = 1;  // a frame although no chunk is ever pulled
  Rig rig(script);
  drain(rig.avatar.render(clip_of(1)));
  ASSERT_TRUE(rig.avatar.render_stats().has_value());
  testing::LogCapture capture;
  EXPECT_EQ(drain(rig.avatar.render(AudioInput::stream(std::vector<AudioItem>{}))).end.kind, "");
  EXPECT_EQ(rig.avatar.render_stats(), std::nullopt);
  EXPECT_TRUE(capture.records.empty());
}

TEST(AvatarFullRun, ARenderThatFallsShortIsRefused) {
  constexpr const char* NONE_CAME =
      "no frames came out of that render \u2014 check that the audio has speech in it, then try again";
  struct Case {
    std::optional<std::size_t> clip_frames;  // nothing: a stream (of one 10-frame item)
    std::optional<double> fps;
    std::int64_t delivered;
    std::optional<std::string> stop_reason;
    const char* message;  // empty: the render ends normally
    const char* detail;
  };
  const Case cases[] = {
      {100, 25, 98, {}, "", ""},
      {100, 25, 97, "quiet after speech",
       "that render stopped early \u2014 97 frames came out of the 100 this audio should produce, so the video "
       "would be short. Render it again.",
       "engine=vantor2-light delivered 97 frames, expected >= 98 (audio implies 100 at 25 fps); the render ended "
       "on: quiet after speech"},
      {100, 25, 0, {}, NONE_CAME, "engine=vantor2-light delivered 0 frames"},
      {50, 25, 48, {}, "", ""},
      {150, 25, 147, {}, "", ""},
      {150, 25, 146, {},
       "that render stopped early \u2014 146 frames came out of the 150 this audio should produce, so the video "
       "would be short. Render it again.",
       "engine=vantor2-light delivered 146 frames, expected >= 147 (audio implies 150 at 25 fps); the render "
       "ended on: not recorded"},
      {100, 20.5, 79, {},  // 4 s at 20.5 fps imply 82
       "that render stopped early \u2014 79 frames came out of the 82 this audio should produce, so the video "
       "would be short. Render it again.",
       "engine=vantor2-light delivered 79 frames, expected >= 80 (audio implies 82 at 20.5 fps); the render "
       "ended on: not recorded"},
      {1, 25, 0, {}, "", ""},  // the floor is at most 0
      {2, 25, 0, {}, "", ""},
      {3, 25, 0, {}, NONE_CAME, "engine=vantor2-light delivered 0 frames"},
      {{}, 25, 1, {}, "", ""},  // a stream implies no count: any frame will do
      {{}, 25, 0, {}, NONE_CAME, "engine=vantor2-light delivered 0 frames"},
      {100, {}, 1, {}, "", ""},  // neither does an engine without a rate
      {100, {}, 0, {}, NONE_CAME, "engine=vantor2-light delivered 0 frames"},
  };
  for (const Case& c : cases) {
    EngineScript script;
    script.frame_count = c.delivered;
    script.fps = c.fps;
    script.stop_reason = c.stop_reason;
    Rig rig(script);
    Drained d = drain(rig.avatar.render(c.clip_frames ? clip_of(*c.clip_frames) : stream_of({10})));
    const std::string label = std::to_string(c.clip_frames.value_or(0)) + " at " +
                              std::to_string(c.fps.value_or(0)) + ": " + std::to_string(c.delivered);
    EXPECT_EQ(d.frames.size(), static_cast<std::size_t>(c.delivered)) << label;
    EXPECT_EQ(d.end.kind, *c.message ? "Failed" : "") << label;
    EXPECT_EQ(d.end.message, c.message) << label;
    EXPECT_EQ(d.end.detail, c.detail) << label;
    EXPECT_EQ(rig.log->count("interrupt"), 0) << label;  // the engine ran to its end
  }
}

TEST(AvatarFullRun, AShortRenderStoresAndLogsItsStatisticsBeforeItIsRefused) {
  EngineScript script = at_25fps();
  script.frame_count = 10;
  Rig rig(script);
  testing::ScriptedClock clock({0.0, 2.0});
  detail::AvatarAccess::set_clock(rig.avatar, clock.fn());
  testing::LogCapture capture;
  EXPECT_EQ(drain(rig.avatar.render(clip_of(100))).end.kind, "Failed");
  EXPECT_EQ(rig.avatar.render_stats(), (RenderStats{10, 2.0, 5.0}));
  ASSERT_EQ(capture.records.size(), 1u);
  EXPECT_EQ(capture.records[0].args, (std::vector<LogArg>{std::int64_t{10}, 2.0, 5.0}));
}

TEST(AvatarErrors, EngineAndAudioErrorsAreMappedOnlyInsideTheFrameLoop) {
  struct Case {
    const char* name;
    std::function<void(EngineScript&)> script;
    std::function<AudioInput()> audio;
    Outcome expected;
    int interrupts;
  };
  const auto fail_at_2 = [](std::exception_ptr e) {
    return [e](EngineScript& s) {
      s.on_frame = e;
      s.fail_after = 2;
    };
  };
  const auto nothing = [](EngineScript&) {};
  const auto clip = [] { return clip_of(5); };
  const Case cases[] = {
      {"EngineUnavailable", fail_at_2(std::make_exception_ptr(session::EngineUnavailable("no device", "gpu=none"))),
       clip, {"NotSupported", "no device", "gpu=none", ""}, 1},
      {"EngineFailed", fail_at_2(std::make_exception_ptr(session::EngineFailed("it broke", "step 3"))), clip,
       {"Failed", "it broke", "step 3", ""}, 1},
      {"another error", fail_at_2(std::make_exception_ptr(std::runtime_error("boom"))), clip,
       {"Failed", "the render stopped", "boom", "runtime_error"}, 1},
      {"AvatarOutdated is just another error",
       fail_at_2(std::make_exception_ptr(session::AvatarOutdated("old", "E12"))), clip,
       {"Failed", "the render stopped", "old", "runtime_error"}, 1},
      {"a package error passes", fail_at_2(std::make_exception_ptr(InvalidAvatar("bad avatar", "why"))), clip,
       {"InvalidAvatar", "bad avatar", "why", ""}, 1},
      {"a stream item of the wrong type", nothing,
       [] {
         return AudioInput::stream(std::vector<AudioItem>{AudioItem::pcm(Pcm(FRAME_BYTES)),
                                                          AudioItem::unsupported("int")});
       },
       {"Failed", "the render stopped",
        "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an iterable of "
        "those; got int",
        "TypeError"},
       1},
      {"a stream item's package error passes", nothing,
       [] {
         return AudioInput::stream(items_then(Pcm(FRAME_BYTES), std::make_exception_ptr(Failed("no audio", "eof"))));
       },
       {"Failed", "no audio", "eof", ""}, 1},
      {"a rate that is no number", [](EngineScript& s) { s.fps = std::nan(""); }, clip,
       {"Failed", "the render stopped", "cannot convert float NaN to integer", "ValueError"}, 0},
      {"an interrupt that throws replaces the error",
       [](EngineScript& s) {
         s.on_frame = std::make_exception_ptr(session::EngineFailed("it broke"));
         s.on_interrupt = std::make_exception_ptr(std::runtime_error("reset failed"));
       },
       clip, {"Failed", "the render stopped", "reset failed", "runtime_error"}, 1},
      {"a failure to start the engine is unmapped",
       [](EngineScript& s) { s.on_call = std::make_exception_ptr(std::runtime_error("no start")); }, clip,
       {"runtime_error", "no start", "", ""}, 0},
      {"an unreadable whole clip is unmapped", nothing, [] { return AudioInput::file("/no/such/audio.wav"); },
       {"FileNotFound", "no audio at /no/such/audio.wav", "", ""}, 0},
      {"what is no std::exception passes, after the interrupt", fail_at_2(std::make_exception_ptr(7)), clip,
       {"int", "", "", ""}, 1},
  };
  for (const Case& c : cases) {
    EngineScript script = at_25fps();
    c.script(script);
    Rig rig(script);
    const Outcome got = drain(rig.avatar.render(c.audio())).end;
    EXPECT_EQ(got.kind, c.expected.kind) << c.name;
    EXPECT_EQ(got.message, c.expected.message) << c.name;
    EXPECT_EQ(got.detail, c.expected.detail) << c.name;
    EXPECT_EQ(got.detail_kind, c.expected.detail_kind) << c.name;
    EXPECT_EQ(rig.log->count("interrupt"), c.interrupts) << c.name;
  }
  // The unreadable clip failed before the engine was asked for anything.
  Rig rig(at_25fps());
  drain(rig.avatar.render(AudioInput::file("/no/such/audio.wav")));
  EXPECT_TRUE(rig.log->events.empty());
}

TEST(AvatarInterrupt, EveryEarlyStopInterruptsTheEngineOnceBeforeItsFramesEnd) {
  struct Case {
    const char* name;
    std::function<void(Avatar&)> run;
    int interrupts;
  };
  const Case cases[] = {
      {"close after two frames",
       [](Avatar& a) {
         FrameStream s = a.render(clip_of(10));
         s.next();
         s.next();
         s.close();
         s.close();
       },
       1},
      {"destroy after two frames",
       [](Avatar& a) {
         FrameStream s = a.render(clip_of(10));
         s.next();
         s.next();
       },
       1},
      {"leave a range-for",
       [](Avatar& a) {
         for (Frame& f : a.render(clip_of(10))) {
           if (f.index == 1) break;
         }
       },
       1},
      {"move the stream, then destroy it",
       [](Avatar& a) {
         FrameStream s = a.render(clip_of(10));
         s.next();
         FrameStream moved = std::move(s);
       },
       1},
      {"run to the end, then close", [](Avatar& a) {
         FrameStream s = a.render(clip_of(10));
         drain(s);
         s.close();
       },
       0},
      {"never start", [](Avatar& a) { FrameStream s = a.render(clip_of(10)); }, 0},
  };
  for (const Case& c : cases) {
    Rig rig(at_25fps());
    c.run(rig.avatar);
    EXPECT_EQ(rig.log->count("interrupt"), c.interrupts) << c.name;
    if (c.interrupts) {
      // The engine resets while its generator is still suspended; that generator is closed after.
      EXPECT_EQ(rig.log->after("interrupt"), std::vector<std::string>{"exit"}) << c.name;
    }
  }
}

TEST(AvatarInterrupt, AStopRequestEndsTheRenderWithCancelledAfterOneInterrupt) {
  for (int stop_after : {0, 2}) {
    Rig rig(at_25fps());
    std::stop_source stop;
    FrameStream s = rig.avatar.render(clip_of(10), stop.get_token());
    for (int i = 0; i < stop_after; ++i) ASSERT_TRUE(s.next());
    stop.request_stop();
    const Drained rest = drain(s);
    EXPECT_TRUE(rest.frames.empty()) << stop_after;
    EXPECT_EQ(rest.end.kind, "Cancelled") << stop_after;
    EXPECT_EQ(rest.end.message, "the render was cancelled");
    EXPECT_EQ(rig.log->count("interrupt"), 1) << stop_after;
    EXPECT_FALSE(rig.avatar.render_stats()) << stop_after;
    EXPECT_EQ(drain(s).end.kind, "") << stop_after;  // an ended stream stays ended
  }
}

TEST(AvatarInterrupt, AFailureAfterTheLastFrameLeavesTheEngineAlone) {
  Rig rig(at_25fps());
  const LogSink previous =
      set_log_sink({LogLevel::info, [](const LogRecord&) { throw std::runtime_error("sink is full"); }});
  const Outcome got = drain(rig.avatar.render(clip_of(3))).end;
  set_log_sink(previous);
  EXPECT_EQ(got.kind, "Failed");
  EXPECT_EQ(got.message, "the render stopped");
  EXPECT_EQ(got.detail, "sink is full");
  EXPECT_EQ(rig.log->count("interrupt"), 0);  // the engine had run to its end
}

TEST(AvatarInterrupt, AnInterruptThatThrowsMakesTheCloseOfTheStreamFail) {
  EngineScript script = at_25fps();
  script.on_interrupt = std::make_exception_ptr(std::runtime_error("reset failed"));
  Rig rig(script);
  FrameStream s = rig.avatar.render(clip_of(10));
  s.next();
  const Outcome got = attempt([&] { s.close(); });
  EXPECT_EQ(got.kind, "Failed");
  EXPECT_EQ(got.message, "the render stopped");
  EXPECT_EQ(got.detail, "reset failed");
  EXPECT_EQ(rig.log->count("interrupt"), 1);
}

constexpr const char* SUPERSEDED = "this render was interrupted by a later render of the same avatar";

// A render that starts the engine while an earlier stream of the avatar is live interrupts the engine once, on
// that stream's behalf, and gets only its own frames; the earlier stream never drives the engine again, however
// it ends. A stream that has ended, or never started, is left alone.
TEST(AvatarTurns, ALaterRenderInterruptsALiveStreamOnceAndTakesTheEngineOver) {
  struct Case {
    const char* name;
    std::function<void(FrameStream&)> before;  // what became of the earlier stream before the later render
    int interrupts;                            // in all
    Outcome earlier_next;                      // the earlier stream's next next() after the later render
  };
  const auto take_one = [](FrameStream& s) { ASSERT_TRUE(s.next()); };
  const Case cases[] = {
      {"live after one frame", take_one, 1, {"Failed", SUPERSEDED, "", ""}},
      {"ran to its end", [](FrameStream& s) { drain(s); }, 0, {}},
      {"closed early",
       [](FrameStream& s) {
         s.next();
         s.close();
       },
       1, {}},
      {"never started", [](FrameStream&) {}, 0, {}},  // it starts a render of its own afterwards
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(at_25fps());
    FrameStream earlier = rig.avatar.render(clip_of(10));
    c.before(earlier);
    const std::size_t made_before = rig.log->made.size();
    const Drained later = drain(rig.avatar.render(clip_of(4)));
    EXPECT_EQ(later.end.kind, "");
    EXPECT_EQ(later.frames.size(), 4u);
    EXPECT_EQ(rig.log->made.size(), made_before + 4);  // the later render's frames, none more
    EXPECT_EQ(rig.log->count("interrupt"), c.interrupts);
    const std::size_t events = rig.log->events.size();
    const Outcome got = attempt([&] { earlier.next(); });
    EXPECT_EQ(got.kind, c.earlier_next.kind);
    EXPECT_EQ(got.message, c.earlier_next.message);
    if (got.kind == "Failed") {
      EXPECT_FALSE(earlier.next());  // ended for good
      // Nothing but the closing of its suspended generator reached the engine.
      EXPECT_EQ(std::vector<std::string>(rig.log->events.begin() + static_cast<std::ptrdiff_t>(events),
                                         rig.log->events.end()),
                std::vector<std::string>{"exit"});
    }
  }
}

TEST(AvatarTurns, AnEarlierStreamThatGaveWayEndsWithoutTouchingTheEngineWhileTheLaterOneRuns) {
  const std::function<void(FrameStream&)> ends[] = {
      [](FrameStream& s) {
        EXPECT_EQ(attempt([&] { s.next(); }).message, SUPERSEDED);
        EXPECT_FALSE(s.next());
      },
      [](FrameStream& s) { s.close(); },
      [](FrameStream& s) { FrameStream dropped = std::move(s); },
  };
  for (const auto& end : ends) {
    Rig rig(at_25fps());
    FrameStream earlier = rig.avatar.render(clip_of(10));
    ASSERT_TRUE(earlier.next());
    FrameStream later = rig.avatar.render(clip_of(4));
    ASSERT_TRUE(later.next());
    end(earlier);  // while the later render is live
    EXPECT_EQ(rig.log->count("interrupt"), 1);
    EXPECT_EQ(rig.log->after("interrupt"), (std::vector<std::string>{"frames", "pull", "frame", "exit"}));
    EXPECT_EQ(drain(later).frames.size(), 3u);
    EXPECT_EQ(rig.log->count("interrupt"), 1);
  }
}

TEST(AvatarTurns, AnInterruptThatThrowsOnAnEarlierStreamsBehalfFailsTheLaterRender) {
  EngineScript script = at_25fps();
  script.on_interrupt = std::make_exception_ptr(std::runtime_error("reset failed"));
  Rig rig(script);
  FrameStream earlier = rig.avatar.render(clip_of(10));
  ASSERT_TRUE(earlier.next());
  const Drained later = drain(rig.avatar.render(clip_of(4)));
  EXPECT_EQ(later.end.kind, "Failed");
  EXPECT_EQ(later.end.message, "the render stopped");
  EXPECT_EQ(later.end.detail, "reset failed");
  EXPECT_EQ(drain(earlier).end.message, SUPERSEDED);
  EXPECT_EQ(rig.log->count("interrupt"), 1);
}

// The audio of a stream that starts a render of the same avatar while the engine reads it: the engine is in the
// middle of the outer render, so the inner one is refused, and the outer one goes on with its own frames.
Generator<AudioItem> rendering_source(Avatar* avatar, std::shared_ptr<Outcome> inner) {
  AudioItem first = AudioItem::pcm(Pcm(2 * FRAME_BYTES));
  co_yield std::move(first);
  *inner = drain(avatar->render(clip_of(2))).end;
  AudioItem second = AudioItem::pcm(Pcm(3 * FRAME_BYTES));
  co_yield std::move(second);
}

TEST(AvatarTurns, ARenderStartedFromInsideAnotherOfTheSameAvatarIsRefused) {
  Rig rig(at_25fps());
  auto inner = std::make_shared<Outcome>();
  const Drained outer = drain(rig.avatar.render(AudioInput::stream(rendering_source(&rig.avatar, inner))));
  EXPECT_EQ(inner->kind, "Failed");
  EXPECT_EQ(inner->message, "a render of this avatar cannot start while its engine is busy with another one");
  EXPECT_EQ(outer.end.kind, "");
  EXPECT_EQ(outer.frames.size(), 5u);
  EXPECT_EQ(rig.log->count("frames"), 1);
  EXPECT_EQ(rig.log->count("interrupt"), 0);
}

TEST(AvatarClose, EveryWayOfReleasingClosesTheEngineOnce) {
  struct Case {
    const char* name;
    std::function<void(std::unique_ptr<Avatar>&, const EngineLog&)> run;
  };
  const Case cases[] = {
      {"close twice",
       [](std::unique_ptr<Avatar>& a, const EngineLog&) {
         a->close();
         EXPECT_TRUE(a->closed());
         a->close();
       }},
      {"destroy", [](std::unique_ptr<Avatar>& a, const EngineLog&) { a.reset(); }},
      {"close, then destroy",
       [](std::unique_ptr<Avatar>& a, const EngineLog&) {
         a->close();
         a.reset();
       }},
      {"move, then destroy both",
       [](std::unique_ptr<Avatar>& a, const EngineLog& log) {
         Avatar moved = std::move(*a);
         a.reset();
         EXPECT_EQ(log.count("close"), 0);
         EXPECT_FALSE(moved.closed());
       }},
      {"a live stream outlives the handle",
       [](std::unique_ptr<Avatar>& a, const EngineLog& log) {
         FrameStream s = a->render(clip_of(3));
         s.next();
         a.reset();
         EXPECT_EQ(log.count("close"), 0);
         EXPECT_TRUE(s.next().has_value());  // the engine still renders for it
         EXPECT_TRUE(s.next().has_value());
         EXPECT_FALSE(s.next().has_value());
       }},
      {"a live stream stopped early outlives the handle",
       [](std::unique_ptr<Avatar>& a, const EngineLog&) {
         FrameStream s = a->render(clip_of(3));
         s.next();
         a.reset();
       }},
  };
  for (const Case& c : cases) {
    auto log = std::make_shared<EngineLog>();
    auto avatar = std::make_unique<Avatar>(std::make_unique<FakeEngine>(at_25fps(), log), "mirel2");
    c.run(avatar, *log);
    avatar.reset();
    EXPECT_EQ(log->count("close"), 1) << c.name;
    EXPECT_TRUE(log->after("close").empty()) << c.name;
  }
}

TEST(AvatarClose, ACloseThatThrowsReachesTheCallerOnceAndIsNeverRetried) {
  EngineScript script;
  script.on_close = std::make_exception_ptr(std::runtime_error("busy"));
  {
    Rig rig(script);
    const Outcome first = attempt([&] { rig.avatar.close(); });
    EXPECT_EQ(first.kind, "runtime_error");
    EXPECT_EQ(first.message, "busy");
    EXPECT_TRUE(rig.avatar.closed());
    EXPECT_EQ(attempt([&] { rig.avatar.close(); }).kind, "");
    EXPECT_EQ(rig.log->count("close"), 1);
  }
  auto log = std::make_shared<EngineLog>();
  EXPECT_EQ(attempt([&] { Avatar dropped(std::make_unique<FakeEngine>(script, log), "vantor1"); }).kind, "");
  EXPECT_EQ(log->count("close"), 1);  // the destructor swallowed it
}

TEST(AvatarClose, AClosedAvatarRefusesToRenderAndNeverDrivesItsEngineAgain) {
  Rig rig(at_25fps());
  FrameStream live = rig.avatar.render(clip_of(10));
  live.next();
  live.next();
  rig.avatar.close();

  FrameStream late = rig.avatar.render(clip_of(10));  // returns; refuses at its first frame
  const Outcome refused = drain(late).end;
  EXPECT_EQ(refused.kind, "Failed");
  EXPECT_EQ(refused.message, "this avatar is closed");
  EXPECT_EQ(refused.detail, "");

  const Outcome stopped = drain(live).end;
  EXPECT_EQ(stopped.kind, "Failed");
  EXPECT_EQ(stopped.message, "this avatar is closed");
  // After the close nothing but the closing of the suspended generator reached the engine.
  EXPECT_EQ(rig.log->after("close"), std::vector<std::string>{"exit"});

  Avatar moved = std::move(rig.avatar);
  EXPECT_TRUE(rig.avatar.closed());
  EXPECT_EQ(drain(rig.avatar.render(clip_of(1))).end.message, "this avatar is closed");
}

TEST(AvatarVideoFile, TheWriterGetsTheAvatarTheAudioThePathTextAndTheProgressHook) {
  Rig rig(at_25fps());
  const Avatar* seen = nullptr;
  std::string seen_path;
  detail::Outside services;
  services.mp4_writer = [&](Avatar& avatar, AudioInput audio, const std::string& path, std::stop_token stop,
                            const ProgressFn& progress) -> std::int64_t {
    seen = &avatar;
    seen_path = path;
    const auto n = static_cast<std::int64_t>(drain(avatar.render(std::move(audio), std::move(stop))).frames.size());
    if (progress) progress(WriteProgress{n, 0.0, std::nullopt, 0.0});
    return n;
  };
  detail::ScopedOutside scoped(std::move(services));
  std::int64_t reported = 0;
  EXPECT_EQ(rig.avatar.render(clip_of(7), std::filesystem::path("out") / "talk.mp4", {},
                              [&](const WriteProgress& p) { reported = p.frames; }),
            7);
  EXPECT_EQ(seen, &rig.avatar);
  EXPECT_EQ(seen_path, "out/talk.mp4");
  EXPECT_EQ(rig.log->made.size(), 7u);
  EXPECT_EQ(reported, 7);

  rig.avatar.close();  // the route itself does not look at the closed flag
  seen = nullptr;
  rig.avatar.render(clip_of(1), "again.mp4");
  EXPECT_EQ(seen, &rig.avatar);
}

TEST(AvatarVideoFile, WithoutAWriterTheRouteIsAnImportError) {
  Rig rig(at_25fps());
  detail::ScopedOutside none(detail::Outside{});
  const Outcome got = attempt([&] { rig.avatar.render(clip_of(1), "out.mp4"); });
  EXPECT_EQ(got.kind, "ImportError");
  EXPECT_EQ(got.message, "this build has no video file writer");
  EXPECT_TRUE(rig.log->events.empty());
}

}  // namespace
}  // namespace velmora
