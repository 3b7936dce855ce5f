#include "velmora/outside/mirel2_engine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/error_text.h"
#include "support/older_kernel.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "velmora/avatar.hpp"
#include "velmora/support/log_capture.h"
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

std::vector<std::int64_t> indices_of_stream(FrameStream stream) {
  std::vector<std::int64_t> out;
  while (auto f = stream.next()) out.push_back(f->index);
  return out;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The fake host's log line for a step of `n` samples of `pcm` from sample `first` on.
std::string step_line(const Pcm& pcm, std::size_t first, std::size_t n) {
  auto value = [&](std::size_t i) {
    std::int16_t s;
    std::memcpy(&s, pcm.data() + 2 * i, 2);
    return static_cast<double>(static_cast<float>(s) / 32768.0f);
  };
  char line[128];
  std::snprintf(line, sizeof line, "samples %zu %.9g %.9g", n, value(first), value(first + n - 1));
  return line;
}

// The records a stream of `samples` samples keeps: 3 up to the last frame slot with audio, plus 4.
std::vector<std::int64_t> expected_indices(std::size_t samples) {
  std::vector<std::int64_t> out;
  if (samples == 0) return out;  // no audio, no frame
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
  } cases[] = {{0, 0}, {1, 2}, {800, 2}, {801, 3}, {16000, 21}, {25600, 33}};
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

TEST(Mirel2Engine, AHostThatEndsOrStaysSilentBeforeItsHelloLine) {
  const struct {
    const char* mode;
    bool invalid_avatar;  // else EngineFailed
    const char* message;
    const char* detail;
  } cases[] = {
      {"fatal", true, "that is not a usable avatar", "[tarnhost] FATAL: scripted bundle fault"},
      {"exit1", false, "could not start the renderer for that avatar",
       "tarnhost exited with status 1 before its hello line:\n[tarnhost] warming up\n[tarnhost] scripted start-up "
       "failure"},
      {"bad-hello", false, "the renderer did not start as expected",
       "no \"READY \" in the render host's hello line 'HELLO there'"},
      {"no-hello", false, "could not start the renderer for that avatar",
       "tarnhost sent no hello line within 0.3 s (the limit VELMORA_MIREL2_START_TIMEOUT sets), so it was stopped:\n"
       "[tarnhost] loading models"},
  };
  for (const auto& c : cases) {
    Fake fake(c.mode);
    Mirel2Options o = with_fake();
    if (std::string(c.mode) == "no-hello") o.start_timeout_s = 0.3;
    auto expect = [&](const char* message, const Detail& detail, bool invalid_avatar) {
      EXPECT_STREQ(message, c.message) << c.mode;
      EXPECT_EQ(detail.text(), c.detail) << c.mode;
      EXPECT_EQ(invalid_avatar, c.invalid_avatar) << c.mode;
    };
    try {
      Mirel2Engine engine("some-avatar", o);
      ADD_FAILURE() << "no error for " << c.mode;
    } catch (const InvalidAvatar& e) {
      expect(e.what(), e.detail(), true);
    } catch (const session::EngineFailed& e) {
      expect(e.what(), e.detail(), false);
    }
  }
}

TEST(Mirel2Engine, NoHostProgramOrOneThatCannotStart) {
  Mirel2Options missing;
  missing.host = "/nonexistent/tarnhost";
  EXPECT_THROW(Mirel2Engine("a", missing), std::system_error);
}

TEST(Mirel2Engine, ChunksMaySplitSamplesAnywhere) {
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  const Pcm whole = pcm_of(3000);
  std::vector<Pcm> items;
  for (std::size_t at = 0; at < whole.size(); at += 1001) {
    items.emplace_back(whole.begin() + static_cast<long>(at), whole.begin() + static_cast<long>(std::min(at + 1001, whole.size())));
  }
  items.push_back(Pcm(1, 0x7f));  // half a sample at the very end is dropped
  EXPECT_EQ(indices_of(engine.frames(chunks_of(std::move(items)))), expected_indices(3000));
  engine.close();
  // Each step holds the whole samples so far; the byte carried over starts the next one.
  std::vector<std::string> expected = {"reset"};
  std::size_t at = 0;
  for (std::size_t n : {500, 501, 500, 501, 500, 498}) {
    expected.push_back(step_line(whole, at, n));
    at += n;
  }
  expected.insert(expected.end(), {"flush", "eof"});
  EXPECT_EQ(lines_of(fake.log), expected);
}

// The frames the host's chunk schedule owes after `samples` samples of a stream.
std::size_t owed_after(std::size_t samples) {
  if (samples < 25600) return 0;
  return samples < 44000 ? 22 : 22 + 32 * (1 + (samples - 44000) / 25600);
}

// Chunks of `sizes` samples; at each pull (and at the end) the samples sent so far and the frames `got`.
Generator<Pcm> watched(const std::vector<std::size_t>* sizes, const std::size_t* got,
                       std::vector<std::pair<std::size_t, std::size_t>>* at_pull) {
  std::size_t sent = 0;
  for (std::size_t n : *sizes) {
    at_pull->emplace_back(sent, *got);
    sent += n;
    co_yield pcm_of(n);
  }
  at_pull->emplace_back(sent, *got);
}

TEST(Mirel2Engine, EveryFrameOwedComesOutBeforeTheNextItemIsPulled) {
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  // Items of a quarter second, then one of several steps; at each pull the consumer has every frame the
  // samples sent so far complete, not one more (a live source is never read ahead).
  std::vector<std::size_t> sizes(24, 4000);
  sizes.push_back(50000);
  sizes.push_back(4000);
  std::size_t got = 0;
  std::vector<std::pair<std::size_t, std::size_t>> at_pull;
  Generator<Frame> frames = engine.frames(watched(&sizes, &got, &at_pull));
  while (frames.next()) ++got;
  EXPECT_EQ(got, expected_indices(150000).size());
  ASSERT_EQ(at_pull.size(), sizes.size() + 1);
  for (const auto& [sent, out] : at_pull) EXPECT_EQ(out, owed_after(sent)) << sent << " samples sent";
  engine.close();
}

// The render that sees the host end reports it, once; the next render starts a new host, as does a render after
// a host that ended between renders.
TEST(Mirel2Engine, AHostThatDiesOrHangsMidRenderFailsThatRenderAndTheNextStartsANewHost) {
  const struct {
    const char* mode;
    const char* detail;
    const char* stop_reason;
  } cases[] = {
      {"die-after=30",
       "tarnhost exited with status 1 during the stream:\n[tarnhost] ready 416x720 @20fps  model=fake\n[tarnhost] "
       "scripted death after a frame record",
       "render host exited with status 1"},
      {"hang-after=30",
       "tarnhost sent no frame and took no audio for 1 s (the limit VELMORA_MIREL2_STALL_TIMEOUT sets), so it was "
       "stopped:\n[tarnhost] ready 416x720 @20fps  model=fake\n[tarnhost] scripted hang after a frame record",
       "render host stalled"},
  };
  for (const auto& c : cases) {
    Fake fake(c.mode);
    Mirel2Options o = with_fake();
    o.stall_timeout_s = 1;
    Mirel2Engine engine("some-avatar", o);
    std::vector<Pcm> chunks;
    for (int i = 0; i < 20; ++i) chunks.push_back(pcm_of(16000));
    Generator<Frame> frames = engine.frames(chunks_of(std::move(chunks)));
    int got = 0;
    try {
      while (frames.next()) ++got;
      ADD_FAILURE() << "no error for " << c.mode;
    } catch (const session::EngineFailed& e) {
      EXPECT_STREQ(e.what(), "the renderer stopped in the middle of the render") << c.mode;
      EXPECT_EQ(e.detail().text(), c.detail) << c.mode;
    }
    EXPECT_LE(got, 30) << c.mode;
    EXPECT_EQ(engine.stop_reason(), c.stop_reason) << c.mode;
    engine.interrupt();  // never throws, also with the host gone
    testing::LogCapture log;
    ScopedEnv serve("FAKE_HOST_MODE", std::nullopt);
    EXPECT_EQ(indices_of(engine.frames(one(pcm_of(800)))), expected_indices(800)) << c.mode;
    EXPECT_TRUE(log.records.empty() || log.records.front().level < LogLevel::warning) << c.mode;
    engine.close();
  }
  // Killed between renders: the next render says so and starts another.
  Fake fake;
  Mirel2Engine engine("some-avatar", with_fake());
  EXPECT_EQ(indices_of(engine.frames(one(pcm_of(800)))), expected_indices(800));
  const std::vector<pid_t> hosts = testing::descendants(::getpid());
  ASSERT_EQ(hosts.size(), 1u);
  ASSERT_EQ(::kill(hosts[0], SIGKILL), 0);
  while (!testing::process_ended(hosts[0])) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  testing::LogCapture log;
  EXPECT_EQ(indices_of(engine.frames(one(pcm_of(1600)))), expected_indices(1600));
  std::vector<std::string> warnings;
  for (const auto& r : log.records) {
    if (r.level == LogLevel::warning) warnings.push_back(r.message);
  }
  EXPECT_EQ(warnings, std::vector<std::string>{
                          "velmora: the render host was killed by signal 9 since the last render; a new one is started"});
  engine.close();
}

// A test on every kernel, as a seccomp filter plays it (testing::refuse_pidfds).
class Mirel2EngineOnEveryKernel : public ::testing::TestWithParam<testing::Pidfds> {};

std::string kernel_name(const ::testing::TestParamInfo<testing::Pidfds>& info) {
  switch (info.param) {
    case testing::Pidfds::as_here: return "AsHere";
    case testing::Pidfds::none: return "WithoutPidfds";
    case testing::Pidfds::no_group_signals: return "WithoutGroupSignals";
    case testing::Pidfds::no_info: return "WithoutPidfdInfo";
    case testing::Pidfds::as_on_debian_12: return "AsOnDebian12";
  }
  return "";
}

INSTANTIATE_TEST_SUITE_P(, Mirel2EngineOnEveryKernel, ::testing::ValuesIn(testing::EVERY_KERNEL), kernel_name);

// "exited with status N" (a status), or "ended with an exit status that could not be known", as `kernel` and
// the application's handling of children allow.
void expect_status_in(const std::string& detail, const std::string& prefix, const std::string& status,
                      testing::Pidfds kernel, testing::Handling h) {
  const std::string known = prefix + status, unknown = prefix + "ended with an exit status that could not be known";
  const bool kept = testing::statuses_kept(kernel) || h == testing::Handling::sigchld_default;
  const bool lost = !testing::statuses_kept(kernel) &&
                    (h == testing::Handling::sigchld_ignored || h == testing::Handling::no_child_wait);
  const bool says_known = detail.rfind(known, 0) == 0, says_unknown = detail.rfind(unknown, 0) == 0;
  EXPECT_TRUE(kept ? says_known : lost ? says_unknown : says_known || says_unknown) << detail;
}

// On every kernel, whatever the application does with its own children (SIGCHLD ignored, SA_NOCLDWAIT, a
// handler or a thread that reaps every child): a host that refuses its avatar is reported by its FATAL line;
// one that ends otherwise before its hello line, or is killed in the middle of a stream, by its status, or as
// unknown where the system cannot know it; and a host renders and closes without a warning.
TEST_P(Mirel2EngineOnEveryKernel, TheApplicationsHandlingOfChildrenNeverChangesWhatAHostsEndSays) {
  const testing::Pidfds kernel = GetParam();
  const auto failure = testing::on_older_kernel(kernel, [kernel] {
    for (const testing::Handling h : testing::ALL_HANDLINGS) {
      SCOPED_TRACE(testing::name_of(h));
      const testing::ApplicationChildren app(h);
      for (int round = 0; round < 2; ++round) {
        {
          Fake fake("fatal");
          try {
            Mirel2Engine engine("some-avatar", with_fake());
            ADD_FAILURE() << "the host started";
          } catch (const InvalidAvatar& e) {
            EXPECT_EQ(e.detail().text(), "[tarnhost] FATAL: scripted bundle fault");
          } catch (const session::EngineFailed& e) {
            ADD_FAILURE() << e.what() << ": " << e.detail().text();
          }
        }
        {
          Fake fake("exit1");
          try {
            Mirel2Engine engine("some-avatar", with_fake());
            ADD_FAILURE() << "the host started";
          } catch (const session::EngineFailed& e) {
            expect_status_in(e.detail().text(), "tarnhost ", "exited with status 1", kernel, h);
            EXPECT_NE(e.detail().text().find(" before its hello line:\n"), std::string::npos) << e.detail().text();
          }
        }
        {
          Fake fake;
          Mirel2Engine engine("some-avatar", with_fake());
          Generator<Frame> frames = engine.frames(one(pcm_of(100000)));
          for (int i = 0; i < 5; ++i) ASSERT_TRUE(frames.next());
          const std::vector<pid_t> hosts = testing::descendants(::getpid());
          ASSERT_EQ(hosts.size(), 1u);
          ::kill(hosts[0], SIGKILL);
          try {
            while (frames.next()) {
            }
            ADD_FAILURE() << "the killed host rendered on";
          } catch (const session::EngineFailed& e) {
            expect_status_in(e.detail().text(), "tarnhost ", "was killed by signal 9", kernel, h);
            EXPECT_NE(e.detail().text().find(" during the stream:\n"), std::string::npos) << e.detail().text();
          }
        }
        Fake fake;
        Mirel2Options o = with_fake();
        o.close_wait_s = 10;  // it ends at the end of its input; a loaded machine may take a while
        Mirel2Engine engine("some-avatar", o);
        EXPECT_EQ(indices_of(engine.frames(one(pcm_of(800)))), expected_indices(800));
        testing::LogCapture log;
        engine.close();
        for (const auto& r : log.records) EXPECT_LT(r.level, LogLevel::warning) << r.message;
      }
    }
  }, 120);
  if (!failure) GTEST_SKIP() << "no seccomp filters here";
  EXPECT_EQ(failure, "");
}

// A failure of the start after the host runs (here a first line too long to be a hello line) ends the host
// with time for its clean-up, as every other end of a host does, never with SIGKILL at once.
TEST(Mirel2Engine, AFailedStartEndsTheHostWithTimeForItsCleanUp) {
  Fake fake("long-hello");
  try {
    Mirel2Engine engine("some-avatar", with_fake());
    ADD_FAILURE() << "the host started";
  } catch (const session::EngineFailed& e) {
    EXPECT_STREQ(e.what(), "the renderer did not start as expected");
  }
  EXPECT_EQ(lines_of(fake.log), std::vector<std::string>{"term"});
  EXPECT_TRUE(testing::descendants(::getpid()).empty());
}

// Opens an engine with a stop 0.3 s on, for a host that sends no hello line: the seconds until Cancelled came
// (a failure where anything else comes).
double seconds_to_cancel_a_start(const Mirel2Options& o) {
  using Clock = std::chrono::steady_clock;
  std::stop_source stop;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.request_stop();
  });
  const auto start = Clock::now();
  EXPECT_THROW(Mirel2Engine("some-avatar", o, stop.get_token()), Cancelled);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A helper that the host started in a session of its own, holding the host's output and standard error open,
// delays neither the report of the host's end nor a close nor a stop while the host starts.
TEST(Mirel2Engine, AHelperThatHoldsTheHostsOutputDelaysNoEndOfTheHost) {
  TempDir dir;
  const auto helper = dir.path() / "helper";
  const std::string host = (dir.path() / "host-with-helper").string();
  std::ofstream(host) << "#!/bin/sh\nsetsid /bin/sh -c 'echo $$ > " << helper.string() << ".new; mv "
                      << helper.string() << ".new " << helper.string() << "; exec sleep 30' &\n"
                      << "while [ ! -e " << helper.string() << " ]; do sleep 0.01; done\nexec '" << fake_host()
                      << "'\n";
  ::chmod(host.c_str(), 0755);
  Mirel2Options o;
  o.host = host;
  o.stall_timeout_s = 20;
  o.close_wait_s = 5;
  const auto end_helper = [&] {
    pid_t pid = -1;
    std::ifstream(helper) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(testing::process_ended(pid));
    ::kill(pid, SIGKILL);
    std::filesystem::remove(helper);
  };
  using Clock = std::chrono::steady_clock;
  const auto seconds_since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
  {
    Fake fake("die-after=30");
    Mirel2Engine engine("some-avatar", o);
    std::vector<Pcm> chunks;
    for (int i = 0; i < 20; ++i) chunks.push_back(pcm_of(16000));
    const auto start = Clock::now();
    try {
      indices_of(engine.frames(chunks_of(std::move(chunks))));
      ADD_FAILURE() << "no error";
    } catch (const session::EngineFailed& e) {
      EXPECT_EQ(e.detail().text().rfind("tarnhost exited with status 1 during the stream:", 0), 0u) << e.detail().text();
    }
    EXPECT_LT(seconds_since(start), 5.0);  // not the stall limit's 20 s
    engine.close();
    end_helper();
  }
  {
    Fake fake;
    Mirel2Engine engine("some-avatar", o);
    EXPECT_EQ(indices_of(engine.frames(one(pcm_of(800)))), expected_indices(800));
    const auto start = Clock::now();
    engine.close();
    EXPECT_LT(seconds_since(start), 2.5);  // not the close wait's 5 s
    end_helper();
  }
  {
    Fake fake("no-hello");
    EXPECT_LT(seconds_to_cancel_a_start(o), 2.0);  // not the 2 s grace for its standard error on top
    end_helper();
  }
}

// A process forked from the one that opened the avatar (fork() without exec, as Python's multiprocessing
// does) never talks to the host: its renders are refused, the stream that was running at the fork too, and
// destroying its copies of a stream cut short and of the avatar sends the host nothing and ends nothing. The parent's render goes on to its last frame in
// its normal time, and its close is as quick as without the fork.
TEST(Mirel2Engine, AForkedChildNeverDrivesOrEndsTheParentsHost) {
  Fake fake;
  Mirel2Options o = with_fake();
  o.stall_timeout_s = 10;
  o.close_wait_s = 3;  // a host kept from the end of its input would take that long, and be warned of
  Avatar avatar(std::make_unique<Mirel2Engine>("some-avatar", o), "mirel2");
  FrameStream stream = avatar.render(AudioInput::pcm(pcm_of(64000)));
  std::vector<std::int64_t> indices;
  for (int i = 0; i < 30; ++i) indices.push_back(stream.next()->index);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The stream that was running at the fork, and a new render.
    int refused = 0;
    for (const bool running : {true, false}) {
      try {
        running ? stream.next() : avatar.render(AudioInput::pcm(pcm_of(1600))).next();
      } catch (const Failed& e) {
        refused += std::string(e.what()) == "this avatar renders only in the process that opened it";
      }
    }
    { FrameStream cut_short = std::move(stream); }
    avatar.close();
    { Avatar gone = std::move(avatar); }
    ::_exit(refused == 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  while (auto f = stream.next()) indices.push_back(f->index);
  EXPECT_EQ(indices, expected_indices(64000));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);  // not the stall limit
  testing::LogCapture log;
  const auto closing = Clock::now();
  avatar.close();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - closing).count(), 2.0);
  for (const auto& r : log.records) EXPECT_LT(r.level, LogLevel::warning) << r.message;
  std::vector<std::string> requests;
  for (const auto& line : lines_of(fake.log)) {
    if (line.rfind("samples", 0) != 0) requests.push_back(line);
  }
  EXPECT_EQ(requests, (std::vector<std::string>{"reset", "flush", "eof"}));
}

// On every kernel, whatever the application does with its own children, no stop or close waits for a host
// without bound: a stop while it starts ends the start, and the close of a host that hangs (stopped, SIGSTOP)
// ends it wherever a signal can reach it safely, through its pidfd where there is one. Without pidfds, where
// the application may reap it (SIGCHLD ignored, SA_NOCLDWAIT, a handler), its id may be given away the moment
// it ends, so it is never signalled by its id: it is left running, and the warning says that no signal could
// be sent.
TEST_P(Mirel2EngineOnEveryKernel, NoStopOrCloseWaitsForAHungHostAndAHungHostIsEndedWhereverASignalCanReachIt) {
  const testing::Pidfds kernel = GetParam();
  const auto failure = testing::on_older_kernel(kernel, [kernel] {
    using Clock = std::chrono::steady_clock;
    const auto seconds_since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    for (const testing::Handling h : testing::ALL_HANDLINGS) {
      SCOPED_TRACE(testing::name_of(h));
      const testing::ApplicationChildren app(h);
      {
        Fake fake("no-hello");
        EXPECT_LT(seconds_to_cancel_a_start(with_fake()), 2.5);
      }
      for (pid_t p : testing::descendants(::getpid())) ::kill(p, SIGKILL);
      Fake fake;
      Mirel2Options o = with_fake();
      o.close_wait_s = 0.2;
      Mirel2Engine engine("some-avatar", o);
      const std::vector<pid_t> hosts = testing::descendants(::getpid());
      ASSERT_EQ(hosts.size(), 1u);
      ASSERT_EQ(::kill(hosts[0], SIGSTOP), 0);
      testing::LogCapture log;
      const auto start = Clock::now();
      engine.close();
      EXPECT_LT(seconds_since(start), 2.0);
      std::vector<std::string> warnings;
      for (const auto& r : log.records) {
        if (r.level >= LogLevel::warning) warnings.push_back(r.message);
      }
      const bool reachable = kernel != testing::Pidfds::none || h == testing::Handling::sigchld_default ||
                             h == testing::Handling::reaping_thread;  // a thread cannot be seen
      const std::string said =
          reachable ? "velmora: the render host was still running 0.2 s after its input closed; SIGTERM ended it"
                    : "velmora: the render host (process " + std::to_string(hosts[0]) +
                          ") did not end, and no signal could be sent to it safely (this system has no pidfds, and "
                          "the application may reap its children); it is left running";
      EXPECT_EQ(warnings, std::vector<std::string>{said});
      if (reachable) {
        EXPECT_TRUE(testing::process_ended(hosts[0]));
      }
      ::kill(hosts[0], SIGKILL);  // the test's own clean-up: a stopped host cannot have ended
    }
  }, 120);
  if (!failure) GTEST_SKIP() << "no seccomp filters here";
  EXPECT_EQ(failure, "");
}

// In a child process, so that this process's own first read cannot interfere.
TEST(Mirel2Engine, TheTimeLimitsAreReadFromTheEnvironmentOnce) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<std::string> warnings;
    set_log_sink({LogLevel::debug, [&](const LogRecord& r) { warnings.emplace_back(r.message); }});
    ::setenv("VELMORA_MIREL2_START_TIMEOUT", " 2.5 ", 1);
    ::setenv("VELMORA_MIREL2_STALL_TIMEOUT", "soon", 1);
    const Mirel2Options first = mirel2_options_from_env();
    ::setenv("VELMORA_MIREL2_START_TIMEOUT", "0", 1);
    const Mirel2Options later = mirel2_options_from_env();
    const bool ok = first.start_timeout_s == 2.5 && first.stall_timeout_s == 60 && later.start_timeout_s == 2.5 &&
                    warnings == std::vector<std::string>{
                                    "velmora: VELMORA_MIREL2_STALL_TIMEOUT='soon' is not a finite number of seconds; "
                                    "using 60"};
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Mirel2Engine, CloseLetsTheHostEndByItselfThenAsksThenKills) {
  const struct {
    const char* mode;
    double close_wait_s;
    LogLevel level;
    std::string line;
  } cases[] = {
      {"serve", 1, LogLevel::debug, "velmora: the render host exited with status 0 after its input closed"},
      {"linger=300", 1, LogLevel::debug, "velmora: the render host exited with status 0 after its input closed"},
      {"linger=300", 1e300, LogLevel::debug, "velmora: the render host exited with status 0 after its input closed"},
      {"linger=300", 0, LogLevel::warning,
       "velmora: the render host was still running 0 s after its input closed; SIGTERM ended it"},
      {"no-exit", 1, LogLevel::warning,
       "velmora: the render host was still running 1 s after its input closed; SIGTERM ended it"},
      {"no-exit-no-term", 1, LogLevel::warning,
       "velmora: the render host was still running 1 s after its input closed and 0.2 s after SIGTERM; killed with "
       "SIGKILL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.mode << ", close wait " << c.close_wait_s);
    Fake fake(c.mode);
    Mirel2Options o = with_fake();
    o.close_wait_s = c.close_wait_s;
    o.term_wait_s = 0.2;
    Mirel2Engine engine("some-avatar", o);
    EXPECT_EQ(indices_of(engine.frames(one(pcm_of(800)))), expected_indices(800)) << c.mode;
    testing::LogCapture log;
    engine.close();
    std::vector<std::string> lines;
    for (const auto& r : log.records) {
      if (r.message.rfind("velmora: the render host", 0) == 0) {
        lines.push_back(r.message);
        EXPECT_EQ(r.level, c.level) << c.mode;
      }
    }
    EXPECT_EQ(lines, std::vector<std::string>{c.line}) << c.mode;
  }
}

TEST(Mirel2Engine, AStopRequestWakesARenderWaitingForTheHost) {
  Fake fake("pause-after=10");
  Avatar avatar(std::make_unique<Mirel2Engine>("some-avatar", with_fake()), "mirel2");
  std::stop_source stop;
  // One item that completes the first chunk: the host pauses in the middle of its records, waiting for input
  // that does not come while they are owed, so only the stop request ends the wait.
  std::vector<AudioItem> items;
  items.push_back(AudioItem::pcm(pcm_of(26000)));
  FrameStream stream = avatar.render(AudioInput::stream(std::move(items)), stop.get_token());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(stream.next());
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop.request_stop();
  });
  EXPECT_THROW(stream.next(), Cancelled);
  stopper.join();
  EXPECT_EQ(indices_of_stream(avatar.render(AudioInput::pcm(pcm_of(1600)))), expected_indices(1600));
  avatar.close();
  // One interrupt: reset, flush, reset after the steps of the cancelled stream.
  std::vector<std::string> requests;
  for (const auto& line : lines_of(fake.log)) {
    if (line.rfind("samples", 0) != 0) requests.push_back(line);
  }
  EXPECT_EQ(requests, (std::vector<std::string>{"reset", "reset", "flush", "reset", "reset", "flush", "eof"}));
}

}  // namespace
}  // namespace velmora::detail
