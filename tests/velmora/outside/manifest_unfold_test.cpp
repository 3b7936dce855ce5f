#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/bundle.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"
#include "support/error_text.h"
#include "support/process.h"
#include "velmora/errors.hpp"
#include "velmora/outside/manifest_reader.h"
#include "velmora/outside/unfold_imx.h"
#include "velmora/support/scratch.h"

namespace velmora::detail {
namespace {

using testing::BundleFixture;
using testing::TempDir;

constexpr std::uint64_t NO_CAP = UINT64_MAX;

// A fresh folder to unpack into.
std::string fresh_folder(const TempDir& dir, const std::string& name) {
  const std::string out = dir.str() + "/" + name;
  std::filesystem::remove_all(out);
  std::filesystem::create_directories(out);
  return out;
}

// A zip avatar whose member model.bin expands to `size` zero bytes.
std::string zeros_zip(const std::filesystem::path& file, std::uint64_t size) {
  return testing::write_bytes(file, testing::zeros_zip({{"manifest.json", "{}"}}, "model.bin", size).bytes);
}

TEST(ManifestReader, EveryFormGivesItsManifestAndEngineId) {
  TempDir dir;
  const auto forms = BundleFixture{{"manifest.json", R"({"engine": "vantor2-golden", "n": 1})"}, {"face.bin", "abc"}}
                         .write_forms(dir.path());
  for (const auto& path : forms.all()) {
    const auto m = read_manifest(path);
    ASSERT_TRUE(m) << path;
    EXPECT_EQ(resolve_engine(*m), "vantor2-golden") << path;
  }
  // A manifest kept in a folder of a container is found by its base name.
  const std::string nested = BundleFixture{{"avatar/manifest.json", R"({"engine": "mirel2"})"}}.write_zip(dir.path() / "n.zip");
  EXPECT_EQ(resolve_engine(*read_manifest(nested)), "mirel2");
}

TEST(ManifestReader, NoManifestIsNothingAndResolvesToTheFixtureFamily) {
  TempDir dir;
  const auto forms = BundleFixture{{"face.bin", "abc"}}.write_forms(dir.path());
  for (const auto& path : forms.all()) EXPECT_EQ(read_manifest(path), std::nullopt) << path;
  EXPECT_EQ(read_manifest(dir.write("plain.bin", "not a container")), std::nullopt);
  EXPECT_EQ(resolve_engine(json::Value::null()), "vantor1");
  EXPECT_EQ(resolve_engine(json::parse(R"({"name": "x"})")), "vantor1");
  EXPECT_EQ(resolve_engine(json::parse(R"({"engine": 2})")), "");
}

TEST(ManifestReader, AnUnreadableAvatarOrManifestIsAFileError) {
  TempDir dir;
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {BundleFixture{{"manifest.json", "{nope"}}.write_directory(dir.path() / "badjson"),
       "manifest.json is not JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
      {BundleFixture{{"manifest.json", "[1]"}}.write_imx(dir.path() / "list.imx"), "manifest.json holds a list, not an object"},
      {BundleFixture{{"manifest.json", R"({"name": "x"})"}}.write_directory(dir.path() / "no-engine"),
       "manifest.json names no engine (it has no \"engine\" key)"},
      {BundleFixture{{"manifest.json", "{}"}, {"face.bin", "abc"}}.write_zip(dir.path() / "no-engine.zip"),
       "manifest.json names no engine (it has no \"engine\" key)"},
      {[&] {
         auto zip = BundleFixture{{"manifest.json", "{}"}}.zip();
         zip.corrupt_data(0);
         return testing::write_bytes(dir.path() / "crc.zip", zip.bytes);
       }(),
       "CRC"},
      {[&] {
         auto zip = BundleFixture{{"manifest.json", "{}"}}.zip();
         zip.corrupt_central_directory();
         return testing::write_bytes(dir.path() / "cd.zip", zip.bytes);
       }(),
       "central directory"},
  };
  for (const auto& c : cases) {
    try {
      read_manifest(c.path);
      ADD_FAILURE() << c.path;
    } catch (const std::system_error& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(c.message), std::string::npos) << what;
      EXPECT_EQ(what.rfind(c.path + ": ", 0), 0u) << what;
      // Said once, and no system error's words for what is none.
      EXPECT_EQ(what.find(c.path, 1), std::string::npos) << what;
      EXPECT_EQ(what.find("Invalid argument"), std::string::npos) << what;
    }
  }
}

TEST(UnfoldImx, ContainersUnpackWithTheManifestAtTheTop) {
  TempDir dir;
  const BundleFixture flat{{"manifest.json", "{}"}, {"models/a.bin", "AAA"}, {"b.bin", "B"}, {"b.bin", "BB"}};
  const BundleFixture nested{{"avatar/manifest.json", R"({"v": 1})"}, {"avatar/x/", ""}, {"avatar/manifest.json", R"({"v": 2})"}};
  const auto f = flat.write_forms(dir.path() / "flat");
  const auto n = nested.write_forms(dir.path() / "nested");
  for (const std::string& source : {f.imx, f.zip}) {
    const std::string out = dir.str() + "/out-" + std::to_string(std::hash<std::string>{}(source));
    std::filesystem::create_directories(out);
    unfold_imx(source, out, NO_CAP);
    EXPECT_EQ(testing::read_file(out + "/manifest.json"), "{}");
    EXPECT_EQ(testing::read_file(out + "/models/a.bin"), "AAA");
    EXPECT_EQ(testing::read_file(out + "/b.bin"), "BB");
  }
  for (const std::string& source : {n.imx, n.zip}) {
    const std::string out = dir.str() + "/out-" + std::to_string(std::hash<std::string>{}(source));
    std::filesystem::create_directories(out);
    unfold_imx(source, out, NO_CAP);
    EXPECT_EQ(testing::read_file(out + "/manifest.json"), R"({"v": 2})");
    EXPECT_EQ(testing::read_file(out + "/avatar/manifest.json"), R"({"v": 2})");
    EXPECT_TRUE(std::filesystem::is_directory(out + "/avatar/x"));
  }
}

TEST(UnfoldImx, RefusesWhatIsNoContainerAndNamesThatLeaveTheFolder) {
  TempDir dir;
  const std::string out = dir.str() + "/out";
  std::filesystem::create_directories(out);
  EXPECT_THROW(unfold_imx(dir.write("plain.bin", "plain"), out, NO_CAP), ValueError);
  EXPECT_THROW(unfold_imx(dir.str(), out, NO_CAP), ValueError);
  EXPECT_THROW(unfold_imx(dir.str() + "/missing.imx", out, NO_CAP), ValueError);
  for (const char* bad : {"../escape", "/abs", "a/../../b"}) {
    const std::string imx = BundleFixture{{"manifest.json", "{}"}, {bad, "x"}}.write_imx(dir.path() / "bad.imx");
    EXPECT_THROW(unfold_imx(imx, out, NO_CAP), ValueError) << bad;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape"));
  auto imx = BundleFixture{{"manifest.json", "{}"}}.imx();
  imx.set_offset(0, std::uint64_t{1} << 63);
  EXPECT_THROW(unfold_imx(testing::write_bytes(dir.path() / "far.imx", imx.bytes), out, NO_CAP), BundleError);
}

TEST(UnfoldImx, AMemberCutShortByTheEndOfTheFileIsRefused) {
  TempDir dir;
  // A manifest, then a member of 4,000 bytes, the file cut short inside it or before it.
  for (std::size_t cut : {1, 1500, 4000}) {
    auto imx = BundleFixture{{"manifest.json", "{}"}, {"model.bin", std::string(4000, 'm')}}.imx();
    imx.bytes.resize(imx.bytes.size() - cut);
    const std::string source = testing::write_bytes(dir.path() / "cut.imx", imx.bytes);
    try {
      unfold_imx(source, fresh_folder(dir, "out"), NO_CAP);
      ADD_FAILURE() << cut;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "member 'model.bin' is cut short: the container holds " +
                                           std::to_string(4000 - cut) + " of its 4000 bytes");
    }
  }
}

TEST(UnfoldImx, TheMembersMayNotTakeMoreThanTheCap) {
  TempDir dir;
  const auto forms = BundleFixture{{"manifest.json", "{}"}, {"model.bin", std::string(3000, 'm')}}.write_forms(dir.path());
  for (const std::string& source : {forms.imx, forms.zip}) {
    const std::string out = fresh_folder(dir, "out");
    unfold_imx(source, out, 3002);
    EXPECT_EQ(testing::read_file(out + "/model.bin"), std::string(3000, 'm'));
    try {
      unfold_imx(source, fresh_folder(dir, "out"), 3001);
      ADD_FAILURE() << source;
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), std::errc::file_too_large) << source;
      EXPECT_NE(std::string(e.what()).find("the avatar unpacks to more than 3001 bytes"), std::string::npos) << e.what();
    }
  }
}

// A stop is seen before the first member and between the blocks of one: a member of 1 GiB (a sparse IMX
// container, a zip of deflated zeros) is left short once a stop is asked after its first bytes.
TEST(UnfoldImx, AStopEndsTheUnpackBeforeAMemberAndInsideOne) {
  TempDir dir;
  constexpr std::uint64_t GIB = std::uint64_t{1} << 30;
  std::string table = testing::imx_header(2);
  const std::uint64_t data_at = table.size() + 2 * (2 + 16) + std::string("manifest.json").size() + std::string("model.bin").size();
  table += testing::imx_entry("manifest.json", data_at, 2) + testing::imx_entry("model.bin", data_at + 2, GIB);
  const std::string imx = testing::write_bytes(dir.path() / "big.imx", table + "{}");
  std::filesystem::resize_file(imx, data_at + 2 + GIB);
  const std::string zip =
      testing::write_bytes(dir.path() / "big.zip", testing::zeros_zip({{"manifest.json", "{}"}}, "model.bin", GIB).bytes);
  for (const std::string& source : {imx, zip}) {
    SCOPED_TRACE(source);
    std::stop_source before;
    before.request_stop();
    const std::string untouched = fresh_folder(dir, "before");
    EXPECT_THROW(unfold_imx(source, untouched, NO_CAP, before.get_token()), Cancelled);
    EXPECT_TRUE(std::filesystem::is_empty(untouched));

    const std::string out = fresh_folder(dir, "inside");
    std::stop_source stop;
    std::atomic<bool> done{false};
    std::thread asker([&] {
      std::error_code ec;
      while (!done && !(std::filesystem::file_size(out + "/model.bin", ec) > 0 && !ec)) std::this_thread::yield();
      stop.request_stop();
    });
    EXPECT_THROW(unfold_imx(source, out, NO_CAP, stop.get_token()), Cancelled);
    done = true;
    asker.join();
    EXPECT_LT(std::filesystem::file_size(out + "/model.bin"), GIB);
  }
}

// A member that expands to 256 MiB goes to disk through a buffer: the unpacking process grows by a few MB.
TEST(UnfoldImx, AHugeMemberIsStreamedToDisk) {
  TempDir dir;
  constexpr std::uint64_t HUGE_BYTES = std::uint64_t{256} << 20;
  const std::string helper = std::string(VELMORA_BIN_DIR) + "/unfold_avatar";
  const std::string small = zeros_zip(dir.path() / "small.zip", 1);
  const std::string huge = zeros_zip(dir.path() / "huge.zip", HUGE_BYTES);
  testing::ProcessOptions sampled;
  sampled.sample_memory = true;
  const auto base = testing::run_process({helper, small, fresh_folder(dir, "small")}, "", sampled);
  ASSERT_EQ(base.status, 0) << base.err;
  const auto run = testing::run_process({helper, huge, fresh_folder(dir, "huge")}, "", sampled);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "huge" / "model.bin"), HUGE_BYTES);
  ASSERT_GT(base.sampled_peak_kb, 0);
  EXPECT_LT(run.sampled_peak_kb - base.sampled_peak_kb, 16 * 1024)
      << "peak " << run.sampled_peak_kb << " kB, " << base.sampled_peak_kb << " kB for a tiny member";
}

}  // namespace
}  // namespace velmora::detail
