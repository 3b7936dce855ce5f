// open() then render() of mirel-2 avatars through the real render host, on the LiteRT stand-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "mirel2/ostrand/protocol.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "velmora/errors.hpp"
#include "velmora/outside/mirel2_engine.h"
#include "velmora/outside/support/mp4_probe.h"
#include "velmora/outside/support/standin_avatars.h"
#include "velmora/open.hpp"
#include "velmora/outside/bundled_host.h"
#include "velmora/session.hpp"

namespace velmora {
namespace {

using testing::descendants;
using testing::mirel2_bundle;
using testing::process_ended;
using testing::ScopedEnv;
using testing::TempDir;
using testing::tone;

TEST(RealHost, TheHostIsFoundBesideTheProgram) {
  EXPECT_EQ(detail::bundled_host(), std::string(VELMORA_BIN_DIR) + "/tarnhost");
}

TEST(RealHost, DirectoryAndZipBundlesRenderTheFramesTheirAudioImplies) {
  TempDir dir;
  const auto forms = mirel2_bundle().write_forms(dir.path());
  const auto audio = tone(3.0);
  std::vector<std::vector<std::byte>> firsts;
  for (const std::string& bundle : {forms.directory, forms.zip}) {
    Avatar avatar = open(bundle);
    EXPECT_EQ(avatar.engine_id(), "mirel2");
    std::vector<std::int64_t> indices;
    FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(audio)));
    while (auto f = stream.next()) {
      ASSERT_EQ((f->shape), (std::array<std::size_t, 3>{720, 416, 3}));
      if (indices.empty()) firsts.emplace_back(f->data.get(), f->data.get() + f->bytes);
      indices.push_back(f->index);
    }
    ASSERT_EQ(indices.size(), 61u) << bundle;  // 60 frame slots, the first frame twice
    EXPECT_EQ(indices.front(), 3);
    EXPECT_EQ(indices.back(), 63);
    EXPECT_EQ(avatar.render_stats()->frames, 61);
    avatar.close();
  }
  ASSERT_EQ(firsts.size(), 2u);
  EXPECT_EQ(firsts[0], firsts[1]);  // the same avatar in either form
}

// A relative avatar path that starts with "-" reaches the host as a path, never as one of its options. (The
// working folder changes for this test alone: ctest runs each test in a process of its own.)
TEST(RealHost, AnAvatarWhoseNameStartsWithADashIsAPathToTheHost) {
  TempDir dir;
  mirel2_bundle().write_directory(dir.path() / "-bundle");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const auto audio = tone(1.0);
  std::size_t frames = 0;
  {
    Avatar avatar = open("-bundle");
    FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(audio)));
    while (stream.next()) ++frames;
  }
  std::filesystem::current_path(before);
  EXPECT_EQ(frames, 21u);
}

// A stream still live when a later render of its avatar starts gives way to it: the later render, into frames or
// into a video, gets the frames of its own audio alone, and the earlier stream fails at its next frame.
TEST(RealHost, ALaterRenderGetsOnlyItsOwnFramesWhileAnEarlierStreamIsLive) {
  TempDir dir;
  Avatar avatar = open(mirel2_bundle().write_directory(dir.path() / "m2"));
  const auto speech = tone(1.0), clip = tone(4.0);
  const auto samples = [](const std::vector<std::int16_t>& s) {
    return AudioInput::samples(std::span<const std::int16_t>(s));
  };
  const auto indices = [](FrameStream& stream) {
    std::vector<std::int64_t> out;
    while (auto f = stream.next()) out.push_back(f->index);
    return out;
  };
  FrameStream reference = avatar.render(samples(speech));
  const std::vector<std::int64_t> fresh = indices(reference);
  ASSERT_EQ(fresh.size(), 21u);

  FrameStream earlier = avatar.render(samples(clip));
  ASSERT_TRUE(earlier.next());
  const std::string video = (dir.path() / "talk.mp4").string();
  EXPECT_EQ(avatar.render(samples(clip), video), 81);
  EXPECT_EQ(testing::probe_mp4(video).frames, 81);
  EXPECT_THROW(earlier.next(), Failed);

  FrameStream first = avatar.render(samples(clip));
  ASSERT_TRUE(first.next());
  FrameStream second = avatar.render(samples(speech));
  const auto head = second.next();
  ASSERT_TRUE(head);
  try {
    first.next();
    ADD_FAILURE() << "the earlier stream went on";
  } catch (const Failed& e) {
    EXPECT_STREQ(e.what(), "this render was interrupted by a later render of the same avatar");
  }
  std::vector<std::int64_t> got{head->index};
  for (const std::int64_t i : indices(second)) got.push_back(i);
  EXPECT_EQ(got, fresh);
  avatar.close();
}

using Clock = std::chrono::steady_clock;
constexpr std::size_t LIVE_ITEM = 3200;  // samples: 0.2 s

struct LiveItem {
  std::size_t samples_before = 0;  // samples handed over before this item
  std::size_t frames_before = 0;   // frames out when the engine asked for it
  Clock::time_point handed_over;
};

// `audio` in items of LIVE_ITEM samples, each handed over in real time, once its span of audio has passed.
Generator<AudioItem> paced(const std::vector<std::int16_t>* audio, std::vector<LiveItem>* items,
                           const std::vector<Clock::time_point>* arrivals) {
  const auto start = Clock::now();
  for (std::size_t at = 0; at < audio->size(); at += LIVE_ITEM) {
    const std::size_t n = std::min(LIVE_ITEM, audio->size() - at);
    LiveItem item{at, arrivals->size(), {}};
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(static_cast<double>(at + n) / 16000.0)));
    item.handed_over = Clock::now();
    items->push_back(item);
    co_yield AudioItem::samples(std::span<const std::int16_t>(audio->data() + at, n));
  }
}

// When the source is asked for an item, every frame that the chunks completed so far imply has come out
// already, so each chunk's frames come the host's render time after its audio is complete.
TEST(RealHost, ALiveStreamGetsEachChunksFramesWithoutWaitingForTheNextItem) {
  TempDir dir;
  Avatar avatar = open(mirel2_bundle().write_directory(dir.path() / "m2"));
  const auto audio = tone(4.4);  // chunks complete at 25,600, 44,000 and 69,600 samples
  std::vector<LiveItem> items;
  std::vector<Clock::time_point> arrivals;
  FrameStream stream = avatar.render(AudioInput::stream(paced(&audio, &items, &arrivals)));
  while (stream.next()) arrivals.push_back(Clock::now());
  ASSERT_EQ(arrivals.size(), 89u);  // 88 frame slots, the first frame twice
  for (const LiveItem& item : items) {
    EXPECT_EQ(item.frames_before, ostrand::records_for_samples(item.samples_before)) << item.samples_before;
  }
  // The latencies, for the record: from the item that completes a chunk to the chunk's first and last frame.
  for (const std::size_t complete : {25600, 44000, 69600}) {
    const auto& item = *std::find_if(items.begin(), items.end(),
                                     [&](const LiveItem& i) { return i.samples_before + LIVE_ITEM >= complete; });
    const auto ms_to = [&](std::size_t frame) {
      return std::chrono::duration<double, std::milli>(arrivals[frame] - item.handed_over).count();
    };
    const double first = ms_to(ostrand::records_for_samples(complete - 1));
    const double last = ms_to(ostrand::records_for_samples(complete) - 1);
    std::printf("chunk complete at %zu samples: first frame %.1f ms, last frame %.1f ms after its audio\n", complete,
                first, last);
    RecordProperty("latency_ms_" + std::to_string(complete), std::to_string(last));
  }
}

const std::string TARNHOST = std::string(VELMORA_BIN_DIR) + "/tarnhost";

// The host program itself, or a script in `dir` that runs it and stays its parent.
std::string host_program(bool wrapped, const std::filesystem::path& dir) {
  if (!wrapped) return TARNHOST;
  const std::string path = (dir / "wrapped-tarnhost").string();
  std::ofstream(path) << "#!/bin/sh\n\"" << TARNHOST << "\" \"$@\"\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

// Of `pids`, the render host program's.
pid_t program_of(const std::vector<pid_t>& pids) {
  for (pid_t p : pids) {
    std::ifstream comm("/proc/" + std::to_string(p) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "tarnhost") return p;
  }
  return -1;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Asks its stop `after` from its making, on a thread of its own, and tells how long after that request a call
// ended.
class DelayedStop {
 public:
  explicit DelayedStop(std::chrono::milliseconds after)
      : thread_([this, after] {
          std::this_thread::sleep_for(after);
          asked_ = Clock::now();
          source_.request_stop();
        }) {}
  std::stop_token token() const { return source_.get_token(); }
  // Seconds from the request to `end` (the request having come before it).
  double seconds_to(Clock::time_point end) {
    thread_.join();
    return std::chrono::duration<double>(end - asked_).count();
  }

 private:
  std::stop_source source_;
  Clock::time_point asked_;
  std::jthread thread_;  // last: it starts once the rest is made
};

// A host stopped with SIGSTOP answers nothing: a stop request or a close still ends within a second, the host
// (with whatever its wrapper started) is gone, and after a stop the avatar renders again on a new host.
TEST(RealHost, AStopOrACloseEndsAHostThatDoesNotAnswerWithinASecond) {
  const auto audio = tone(3.0), again = tone(1.0);
  for (const bool wrapped : {false, true}) {
    for (const bool by_close : {false, true}) {
      SCOPED_TRACE(std::string(wrapped ? "wrapped host, " : "host, ") + (by_close ? "close" : "stop"));
      TempDir dir;
      detail::Mirel2Options options;
      options.host = host_program(wrapped, dir.path());
      Avatar avatar(std::make_unique<detail::Mirel2Engine>(mirel2_bundle().write_zip(dir.path() / "m2.zip"), options),
                    "mirel2");
      const std::vector<pid_t> hosts = descendants(::getpid());
      ASSERT_EQ(hosts.size(), wrapped ? 2u : 1u);
      ASSERT_EQ(::kill(program_of(hosts), SIGSTOP), 0);
      if (by_close) {
        const auto start = Clock::now();
        avatar.close();
        const double took = seconds_since(start);
        std::printf("close of a stopped host: %.3f s\n", took);
        EXPECT_LT(took, 1.0);
      } else {
        DelayedStop stop(std::chrono::milliseconds(200));
        FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(audio)), stop.token());
        EXPECT_THROW(stream.next(), Cancelled);
        const double took = stop.seconds_to(Clock::now());
        std::printf("stop request to Cancelled with a stopped host: %.3f s\n", took);
        EXPECT_LT(took, 1.0);
      }
      for (pid_t p : hosts) EXPECT_TRUE(process_ended(p)) << "process " << p << " is left";
      if (by_close) continue;
      std::size_t frames = 0;
      FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(again)));
      while (stream.next()) ++frames;
      EXPECT_EQ(frames, 21u);  // 20 frame slots, the first frame twice
      avatar.close();
      EXPECT_TRUE(descendants(::getpid()).empty());
    }
  }
}

// A host that is still loading its models when the start limit runs out is ended with time for its clean-up:
// its staged model copies are deleted, and nothing of it (or of its wrapper) is left running.
TEST(RealHost, AHostSlowerThanTheStartLimitLeavesNothingStagedAndNoProcess) {
  for (const bool wrapped : {false, true}) {
    SCOPED_TRACE(wrapped ? "wrapped host" : "host");
    TempDir dir;
    const auto stage = dir.path() / "stage";
    std::filesystem::create_directory(stage);
    ScopedEnv stage_env("MIREL2_STAGE_DIR", stage.string());
    detail::Mirel2Options options;
    options.host = host_program(wrapped, dir.path());
    options.start_timeout_s = 1;
    const std::string bundle = mirel2_bundle(30).write_zip(dir.path() / "slow.zip");
    // The processes of the host, gathered while it starts.
    std::set<pid_t> seen;
    std::atomic<bool> started{false}, staged{false};
    std::jthread watch([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        for (pid_t p : descendants(::getpid())) seen.insert(p);
        if (!std::filesystem::is_empty(stage)) staged = true;
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    while (!started) std::this_thread::yield();
    try {
      detail::Mirel2Engine engine(bundle, options);
      ADD_FAILURE() << "the host started";
    } catch (const session::EngineFailed& e) {
      EXPECT_NE(e.detail().text().find("sent no hello line within 1 s"), std::string::npos) << e.detail().text();
    }
    watch.request_stop();
    watch.join();
    EXPECT_TRUE(staged);  // the model was staged while the host loaded it
    EXPECT_EQ(seen.size(), wrapped ? 2u : 1u);
    for (pid_t p : seen) EXPECT_TRUE(process_ended(p)) << "process " << p << " is left";
    EXPECT_TRUE(std::filesystem::is_empty(stage));
  }
}


// Once an ended host is reaped, the system may give its id to any new process. An unrelated process that leads
// a group of its own under the old host's id lives on, however the host ended: at close(), by a crash, or by an
// interrupt it did not answer, after which the next render starts a new host; and then the avatar is destroyed.
TEST(RealHostPidReuse, AnUnrelatedProcessGivenAnEndedHostsIdIsNeverSignalled) {
  const auto audio = tone(3.0), again = tone(1.0);
  for (const std::string path : {"close", "crash", "replaced host"}) {
    SCOPED_TRACE(path);
    TempDir dir;
    std::optional<Avatar> avatar(open(mirel2_bundle().write_directory(dir.path() / "m2")));
    const pid_t host = program_of(descendants(::getpid()));
    ASSERT_GT(host, 0);
    if (path == "close") {
      FrameStream stream = avatar->render(AudioInput::samples(std::span<const std::int16_t>(again)));
      while (stream.next()) {
      }
      avatar->close();
    } else if (path == "crash") {
      FrameStream stream = avatar->render(AudioInput::samples(std::span<const std::int16_t>(audio)));
      ASSERT_TRUE(stream.next());
      ASSERT_EQ(::kill(host, SIGKILL), 0);
      EXPECT_THROW(while (stream.next()) {}, Failed);
      avatar->close();
    } else {
      ASSERT_EQ(::kill(host, SIGSTOP), 0);
      std::stop_source stop;
      stop.request_stop();
      FrameStream stream = avatar->render(AudioInput::samples(std::span<const std::int16_t>(audio)), stop.get_token());
      EXPECT_THROW(stream.next(), Cancelled);  // the stopped host does not answer the interrupt: it is ended
    }
    ASSERT_TRUE(process_ended(host));
    const pid_t newcomer = testing::newcomer_with_id(host);
    if (newcomer < 0) GTEST_SKIP() << "giving a process a chosen id takes root (/proc/sys/kernel/ns_last_pid)";
    ASSERT_EQ(newcomer, host) << "other processes kept taking the id";
    if (path == "replaced host") {
      std::size_t frames = 0;
      FrameStream stream = avatar->render(AudioInput::samples(std::span<const std::int16_t>(again)));
      while (stream.next()) ++frames;
      EXPECT_EQ(frames, 21u);
      avatar->close();
    }
    avatar.reset();
    EXPECT_TRUE(testing::still_running(newcomer));
    ::kill(newcomer, SIGKILL);
    ::waitpid(newcomer, nullptr, 0);
  }
}

// A stop while a host starts (a slow model load, or a host that hangs before its hello) ends the start within
// a second with Cancelled, through open() and through the render that starts a host in place of one an
// interrupt ended; the host is ended with time for its clean-up, so it leaves no staged copy and no process.
TEST(RealHost, AStopWhileAHostStartsEndsItWithinASecondAsCancelled) {
  const auto audio = tone(1.0);
  for (const bool hung : {false, true}) {
    for (const bool replacing : {false, true}) {
      SCOPED_TRACE(std::string(hung ? "hung host, " : "slow host, ") + (replacing ? "replacing a host" : "open()"));
      TempDir dir;
      const auto stage = dir.path() / "stage";
      std::filesystem::create_directory(stage);
      ScopedEnv stage_env("MIREL2_STAGE_DIR", stage.string());
      // Starts are quick until the avatar is made slow (its model then takes 30 s to load) or `hang` exists
      // (the host then stops itself before it starts).
      const std::string bundle = (dir.path() / "m2.zip").string();
      const std::filesystem::path hang = dir.path() / "hang";
      const auto make_slow = [&] {
        if (hung) {
          std::ofstream(hang.string()) << "";
        } else {
          mirel2_bundle(30).write_zip(bundle);
        }
      };
      mirel2_bundle().write_zip(bundle);
      const std::string script = (dir.path() / "hanging-tarnhost").string();
      std::ofstream(script) << "#!/bin/sh\n[ -e '" << hang.string() << "' ] && kill -STOP $$\nexec \"" << TARNHOST
                            << "\" \"$@\"\n";
      ::chmod(script.c_str(), 0755);
      detail::Mirel2Options options;
      options.host = script;

      // The stop comes 0.5 s into the start.
      std::optional<DelayedStop> stop;
      const auto stop_soon = [&] { return stop.emplace(std::chrono::milliseconds(500)).token(); };
      std::optional<Avatar> avatar;
      if (!replacing) {
        make_slow();
        EXPECT_THROW(detail::Mirel2Engine(bundle, options, stop_soon()), Cancelled);
      } else {
        avatar.emplace(std::make_unique<detail::Mirel2Engine>(bundle, options), "mirel2");
        make_slow();
        ASSERT_EQ(::kill(program_of(descendants(::getpid())), SIGSTOP), 0);
        std::stop_source first;
        first.request_stop();
        FrameStream stopped = avatar->render(AudioInput::samples(std::span<const std::int16_t>(audio)), first.get_token());
        EXPECT_THROW(stopped.next(), Cancelled);  // the stopped host is ended; the next render starts another
        FrameStream stream = avatar->render(AudioInput::samples(std::span<const std::int16_t>(audio)), stop_soon());
        EXPECT_THROW(stream.next(), Cancelled);
      }
      const double took = stop->seconds_to(Clock::now());
      std::printf("stop while a host starts to Cancelled: %.3f s\n", took);
      EXPECT_LT(took, 1.0);
      EXPECT_TRUE(descendants(::getpid()).empty());
      EXPECT_TRUE(std::filesystem::is_empty(stage));
    }
  }
}

}  // namespace
}  // namespace velmora
