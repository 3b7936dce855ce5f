// open() then render() of mirel-2 avatars through the real render host, on the LiteRT stand-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "mirel2/ostrand/protocol.h"
#include "support/temp_dir.h"
#include "velmora/outside/support/standin_avatars.h"
#include "velmora/open.hpp"
#include "velmora/outside/bundled_host.h"

namespace velmora {
namespace {

using testing::TempDir;
using testing::mirel2_bundle;
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

}  // namespace
}  // namespace velmora
