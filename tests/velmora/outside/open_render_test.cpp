// open() then render() end to end through the package's own wiring: the manifest reader, the cache with the
// container unpacker, the session and fixture stand-ins, and the mirel-2 adapter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/bundle_fixture.h"
#include "velmora/errors.hpp"
#include "velmora/open.hpp"
#include "velmora/outside.h"
#include "velmora/outside/mirel2_engine.h"
#include "velmora/outside/package.h"
#include "velmora/outside/support/mp4_probe.h"
#include "velmora/outside/support/standin_avatars.h"

namespace velmora {
namespace {

using testing::BundleFixture;
using testing::ScopedEnv;
using testing::TempDir;
using testing::tone;

std::vector<Frame> render_all(Avatar& avatar, const std::vector<std::int16_t>& samples) {
  std::vector<Frame> out;
  FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(samples)));
  while (auto f = stream.next()) out.push_back(*f);
  return out;
}

int px(const Frame& f, std::size_t i) { return std::to_integer<int>(f.data.get()[i]); }

struct Cache {
  TempDir dir;
  ScopedEnv root{"VELMORA_CACHE_DIR", dir.str() + "/cache"};
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    const auto avatars = dir.path() / "cache" / "avatars";
    if (!std::filesystem::exists(avatars)) return out;
    for (const auto& e : std::filesystem::directory_iterator(avatars)) {
      if (e.path().filename() != ".idx") out.push_back(e.path().string());
    }
    return out;
  }
};

// The services of the package, with the mirel-2 adapter on the fake render host.
detail::Outside with_fake_host() {
  detail::Outside services = detail::package_outside();
  services.mirel2_engine = [](const std::string& source, std::stop_token) -> std::unique_ptr<Engine> {
    detail::Mirel2Options o;
    o.host = std::string(VELMORA_BIN_DIR) + "/fake_render_host";
    return std::make_unique<detail::Mirel2Engine>(source, o);
  };
  return services;
}

const BundleFixture SESSION_AVATAR{{"manifest.json", R"({"engine": "vantor2-light", "width": 8, "height": 6})"},
                                   {"face/texture.bin", "texture"}};

TEST(OpenRender, ASessionAvatarAsAFolder) {
  Cache cache;
  const std::string folder = SESSION_AVATAR.write_directory(cache.dir.path() / "light");
  Avatar avatar = open(folder);
  EXPECT_EQ(avatar.engine_id(), "vantor2-light");
  const auto frames = render_all(avatar, tone(2.0));
  ASSERT_EQ(frames.size(), 50u);  // 25 frames a second
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ((frames[i].shape), (std::array<std::size_t, 3>{6, 8, 3}));
    EXPECT_EQ(px(frames[i], 0), static_cast<int>(i));
  }
  ASSERT_TRUE(avatar.render_stats());
  EXPECT_EQ(avatar.render_stats()->frames, 50);
  EXPECT_TRUE(cache.entries().empty());  // a folder is used in place
}

TEST(OpenRender, ASessionAvatarFileIsUnpackedOnceIntoTheCache) {
  Cache cache;
  const std::string file = SESSION_AVATAR.write_imx(cache.dir.path() / "light.imx");
  {
    Avatar avatar = open(file);
    EXPECT_EQ(avatar.engine_id(), "vantor2-light");
    EXPECT_EQ(render_all(avatar, tone(1.0)).size(), 25u);
  }
  const auto entries = cache.entries();
  ASSERT_EQ(entries.size(), 1u);
  const auto unpacked = std::filesystem::last_write_time(entries[0] + "/face/texture.bin");
  Avatar again = open(file);
  EXPECT_EQ(render_all(again, tone(0.5)).size(), 12u);
  EXPECT_EQ(cache.entries(), entries);
  EXPECT_EQ(std::filesystem::last_write_time(entries[0] + "/face/texture.bin"), unpacked);
}

TEST(OpenRender, AFixtureAvatarRendersWithItsColoursTurnedToRgb) {
  TempDir dir;
  const std::string file = dir.write("face.v1", "vantor1-fixture 4 2\n");
  Avatar avatar = open(file);
  EXPECT_EQ(avatar.engine_id(), "vantor1");
  const auto frames = render_all(avatar, tone(1.0));
  ASSERT_EQ(frames.size(), 25u);
  EXPECT_EQ((frames[7].shape), (std::array<std::size_t, 3>{2, 4, 3}));
  EXPECT_EQ((std::vector<int>{px(frames[7], 0), px(frames[7], 1), px(frames[7], 2)}), (std::vector<int>{7, 0x80, 0x20}));
  // A file the runtime does not take is no usable avatar.
  try {
    open(dir.write("other.bin", "something else"));
    ADD_FAILURE() << "no error";
  } catch (const InvalidAvatar& e) {
    EXPECT_STREQ(e.what(), "that is not a usable avatar");
  }
}

TEST(OpenRender, AMirel2AvatarThroughTheAdapterGivesTheFramesItsAudioImplies) {
  TempDir dir;
  const std::string bundle =
      BundleFixture{{"manifest.json", R"({"engine": "mirel2"})"}}.write_zip(dir.path() / "m2.zip");
  detail::ScopedOutside scope(with_fake_host());
  Avatar avatar = open(bundle);
  EXPECT_EQ(avatar.engine_id(), "mirel2");
  const auto frames = render_all(avatar, tone(3.0));
  EXPECT_EQ(frames.size(), 61u);  // 60 frame slots, the first frame twice
  EXPECT_EQ(frames.front().index, 3);
  EXPECT_EQ(avatar.render_stats()->frames, 61);
  // A consumer that stops early leaves the next render clean.
  {
    FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(tone(5.0))));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream.next());
  }
  EXPECT_EQ(render_all(avatar, tone(1.0)).size(), 21u);
  avatar.close();
}

// The fixture family is left out: its runtime takes whole samples only and refuses an item that ends inside one.
TEST(OpenRender, StreamItemsMaySplitSamplesAnywhereInTheSessionAndMirel2Families) {
  TempDir dir;
  detail::ScopedOutside scope(with_fake_host());
  const std::string avatars[] = {
      SESSION_AVATAR.write_directory(dir.path() / "light"),
      BundleFixture{{"manifest.json", R"({"engine": "mirel2"})"}}.write_zip(dir.path() / "m2.zip"),
  };
  const auto samples = tone(2.0);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
  const std::size_t size = samples.size() * 2;
  for (const std::string& path : avatars) {
    // A fresh avatar for each render, since a runtime may number its frames on from the render before.
    Avatar first = open(path);
    const auto whole = render_all(first, samples);
    first.close();
    Avatar avatar = open(path);
    // Items of 1,001 bytes: every other one ends inside a sample.
    std::vector<AudioItem> items;
    for (std::size_t at = 0; at < size; at += 1001) {
      items.push_back(AudioItem::pcm(std::span<const std::uint8_t>(bytes + at, std::min<std::size_t>(1001, size - at))));
    }
    std::vector<Frame> streamed;
    FrameStream stream = avatar.render(AudioInput::stream(std::move(items)));
    while (auto f = stream.next()) streamed.push_back(*f);
    ASSERT_EQ(streamed.size(), whole.size()) << avatar.engine_id();
    for (std::size_t i = 0; i < whole.size(); ++i) {
      ASSERT_EQ(std::vector<std::byte>(streamed[i].data.get(), streamed[i].data.get() + streamed[i].bytes),
                std::vector<std::byte>(whole[i].data.get(), whole[i].data.get() + whole[i].bytes))
          << avatar.engine_id() << " frame " << i;
    }
    avatar.close();
  }
}

TEST(OpenRender, AMirel2RenderOfNoAudioHasNoFrames) {
  TempDir dir;
  detail::ScopedOutside scope(with_fake_host());
  Avatar avatar = open(BundleFixture{{"manifest.json", R"({"engine": "mirel2"})"}}.write_zip(dir.path() / "m2.zip"));
  FrameStream stream = avatar.render(AudioInput::pcm(Pcm{}));
  try {
    stream.next();
    ADD_FAILURE() << "no error";
  } catch (const Failed& e) {
    EXPECT_STREQ(e.what(),
                 "no frames came out of that render \u2014 check that the audio has speech in it, then try again");
    EXPECT_EQ(e.detail().text(), "engine=mirel2 delivered 0 frames");
  }
  avatar.close();
}

// A frame's index and a digest of its pixels (FNV-1a): what tells one render's frames from another's.
using Picture = std::pair<std::int64_t, std::uint64_t>;
Picture picture(const Frame& f) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < f.bytes; ++i) h = (h ^ std::to_integer<std::uint64_t>(f.data.get()[i])) * 1099511628211ull;
  return {f.index, h};
}

std::vector<Picture> pictures(FrameStream stream) {
  std::vector<Picture> out;
  while (auto f = stream.next()) out.push_back(picture(*f));
  return out;
}

AudioInput samples_of(const std::vector<std::int16_t>& samples) {
  return AudioInput::samples(std::span<const std::int16_t>(samples));
}

// An avatar of each family this build renders: mirel-2 on the fake render host, the fixture, both session ids.
std::vector<std::string> every_family(const TempDir& dir) {
  return {
      BundleFixture{{"manifest.json", R"({"engine": "mirel2"})"}}.write_zip(dir.path() / "m2.zip"),
      dir.write("face.v1", "vantor1-fixture 4 2\n"),
      SESSION_AVATAR.write_directory(dir.path() / "light"),
      BundleFixture{{"manifest.json", R"({"engine": "vantor2-golden", "width": 6, "height": 4})"}}.write_directory(
          dir.path() / "golden"),
  };
}

constexpr const char* SUPERSEDED = "this render was interrupted by a later render of the same avatar";

// A stream still live when a later render of its avatar starts gives way: the later render, into frames or into
// a video, gets the frames a fresh avatar gives, and the earlier stream fails at its next frame.
TEST(OpenRender, ALaterRenderGetsOnlyItsOwnFramesWhileAnEarlierStreamIsLive) {
  Cache cache;
  detail::ScopedOutside scope(with_fake_host());
  const auto speech = tone(1.0), longer = tone(2.0);
  for (const std::string& path : every_family(cache.dir)) {
    Avatar reference = open(path);
    SCOPED_TRACE(reference.engine_id());
    const std::vector<Picture> fresh = pictures(reference.render(samples_of(speech)));
    reference.close();
    ASSERT_FALSE(fresh.empty());

    Avatar avatar = open(path);
    FrameStream earlier = avatar.render(samples_of(longer));
    ASSERT_TRUE(earlier.next());
    FrameStream later = avatar.render(samples_of(speech));
    std::vector<Picture> got;
    const auto first = later.next();
    ASSERT_TRUE(first);
    got.push_back(picture(*first));
    try {
      earlier.next();
      ADD_FAILURE() << "the earlier stream went on";
    } catch (const Failed& e) {
      EXPECT_STREQ(e.what(), SUPERSEDED);
    }
    EXPECT_FALSE(earlier.next());
    for (Picture& p : pictures(std::move(later))) got.push_back(std::move(p));
    EXPECT_EQ(got, fresh);

    FrameStream kept = avatar.render(samples_of(longer));
    ASSERT_TRUE(kept.next());
    const std::string video = (cache.dir.path() / "video.mp4").string();
    EXPECT_EQ(avatar.render(samples_of(speech), video), static_cast<std::int64_t>(fresh.size()));
    EXPECT_EQ(testing::probe_mp4(video).frames, static_cast<std::int64_t>(fresh.size()));
    EXPECT_THROW(kept.next(), Failed);
    EXPECT_EQ(pictures(avatar.render(samples_of(speech))), fresh);
    avatar.close();
  }
}

// Every render of a fixture avatar starts clean: audio left over from the render before (960 samples give one
// frame and 320 over) neither adds a frame nor moves the numbering.
TEST(OpenRender, AFixtureAvatarGivesTheSameFramesForTheSameAudioAtEveryRender) {
  TempDir dir;
  Avatar avatar = open(dir.write("face.v1", "vantor1-fixture 4 2\n"));
  const std::vector<std::int16_t> audio(960, 1000);
  for (int render = 0; render < 4; ++render) {
    std::vector<std::int64_t> indices;
    for (const Picture& p : pictures(avatar.render(samples_of(audio)))) indices.push_back(p.first);
    EXPECT_EQ(indices, std::vector<std::int64_t>{0}) << "render " << render;
  }
  // The same for a stream, and for a stream after a whole clip.
  for (int render = 0; render < 2; ++render) {
    std::vector<AudioItem> items;
    items.push_back(AudioItem::samples(std::span<const std::int16_t>(audio)));
    EXPECT_EQ(pictures(avatar.render(AudioInput::stream(std::move(items)))).size(), 1u) << "stream " << render;
  }
}

TEST(OpenRender, ACutShortContainerIsRefusedAndNothingIsPublished) {
  Cache cache;
  auto imx = BundleFixture{{"manifest.json", R"({"engine": "vantor2-light"})"}, {"face/model.bin", std::string(4000, 'm')}}.imx();
  imx.bytes.resize(imx.bytes.size() - 1500);
  const std::string file = testing::write_bytes(cache.dir.path() / "cut.imx", imx.bytes);
  try {
    open(file);
    ADD_FAILURE() << "no error";
  } catch (const InvalidAvatar& e) {
    EXPECT_STREQ(e.what(), "that is not a usable avatar");
    EXPECT_EQ(e.detail().text(), "member 'face/model.bin' is cut short: the container holds 2500 of its 4000 bytes");
  }
  EXPECT_TRUE(cache.entries().empty());
}

// libzip reads an entry that records no compressed bytes as empty: the unpack must refuse it as damaged, not
// hand the engine an empty file.
TEST(OpenRender, AZipMemberThatRecordsNoCompressedBytesIsRefusedAsDamaged) {
  Cache cache;
  auto zip = BundleFixture{{"manifest.json", R"({"engine": "vantor2-light"})"}, {"face/model.bin", "weights"}}.zip();
  testing::put_le(zip.bytes, zip.entries[1].local_header + 18, 0, 4);
  testing::put_le(zip.bytes, zip.entries[1].central_header + 20, 0, 4);
  const std::string file = testing::write_bytes(cache.dir.path() / "empty-member.zip", zip.bytes);
  try {
    open(file);
    ADD_FAILURE() << "no error";
  } catch (const InvalidAvatar& e) {
    EXPECT_STREQ(e.what(), "that is not a usable avatar");
    EXPECT_EQ(e.detail().text(), file + ": cannot read face/model.bin: CRC error");
  }
  EXPECT_TRUE(cache.entries().empty());
}

// A stop asked while a zip avatar holding 3 GiB is unpacked, once its big member is being written: open ends
// with Cancelled at once, and the cache holds neither an entry nor a temporary folder.
TEST(OpenRender, AStopDuringTheUnpackEndsOpenWithCancelledAndLeavesNothingInTheCache) {
  Cache cache;
  const std::string file = testing::write_bytes(
      cache.dir.path() / "big.zip",
      testing::zeros_zip({{"manifest.json", R"({"engine": "vantor2-light"})"}}, "face/model.bin", 3ull << 30).bytes);
  std::stop_source stop;
  std::atomic<bool> done{false};
  std::chrono::steady_clock::time_point asked;
  std::thread asker([&] {
    const auto avatars = cache.dir.path() / "cache" / "avatars";
    while (!done) {
      std::error_code ec;
      for (const auto& e : std::filesystem::directory_iterator(avatars, ec)) {
        if (std::filesystem::file_size(e.path() / "face" / "model.bin", ec) > (1u << 20) && !ec) {
          asked = std::chrono::steady_clock::now();
          stop.request_stop();
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  try {
    open(file, stop.get_token());
    ADD_FAILURE() << "opened";
  } catch (const Cancelled&) {
  }
  done = true;
  asker.join();
  ASSERT_TRUE(stop.stop_requested());
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  std::printf("stop during the unpack to the end of open(): %.3f s\n", took);
  EXPECT_LT(took, 1.0);
  EXPECT_TRUE(cache.entries().empty()) << cache.entries()[0];
}

}  // namespace
}  // namespace velmora
