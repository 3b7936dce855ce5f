#include <gtest/gtest.h>

#include <string>
#include <system_error>

#include "common/bundle.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"
#include "support/error_text.h"
#include "velmora/errors.hpp"
#include "velmora/outside/manifest_reader.h"
#include "velmora/outside/unfold_imx.h"
#include "velmora/support/scratch.h"

namespace velmora::detail {
namespace {

using testing::BundleFixture;
using testing::TempDir;

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
      {[&] {
         auto zip = BundleFixture{{"manifest.json", "{}"}}.zip();
         zip.corrupt_data(0);
         return testing::write_bytes(dir.path() / "crc.zip", zip.bytes);
       }(),
       "CRC"},
  };
  for (const auto& c : cases) {
    try {
      read_manifest(c.path);
      ADD_FAILURE() << c.path;
    } catch (const std::system_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(c.path + ": ", 0), 0u) << e.what();
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
    unfold_imx(source, out);
    EXPECT_EQ(testing::read_file(out + "/manifest.json"), "{}");
    EXPECT_EQ(testing::read_file(out + "/models/a.bin"), "AAA");
    EXPECT_EQ(testing::read_file(out + "/b.bin"), "BB");
  }
  for (const std::string& source : {n.imx, n.zip}) {
    const std::string out = dir.str() + "/out-" + std::to_string(std::hash<std::string>{}(source));
    std::filesystem::create_directories(out);
    unfold_imx(source, out);
    EXPECT_EQ(testing::read_file(out + "/manifest.json"), R"({"v": 2})");
    EXPECT_EQ(testing::read_file(out + "/avatar/manifest.json"), R"({"v": 2})");
    EXPECT_TRUE(std::filesystem::is_directory(out + "/avatar/x"));
  }
}

TEST(UnfoldImx, RefusesWhatIsNoContainerAndNamesThatLeaveTheFolder) {
  TempDir dir;
  const std::string out = dir.str() + "/out";
  std::filesystem::create_directories(out);
  EXPECT_THROW(unfold_imx(dir.write("plain.bin", "plain"), out), ValueError);
  EXPECT_THROW(unfold_imx(dir.str(), out), ValueError);
  EXPECT_THROW(unfold_imx(dir.str() + "/missing.imx", out), ValueError);
  for (const char* bad : {"../escape", "/abs", "a/../../b"}) {
    const std::string imx = BundleFixture{{"manifest.json", "{}"}, {bad, "x"}}.write_imx(dir.path() / "bad.imx");
    EXPECT_THROW(unfold_imx(imx, out), ValueError) << bad;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape"));
  auto imx = BundleFixture{{"manifest.json", "{}"}}.imx();
  imx.set_offset(0, std::uint64_t{1} << 63);
  EXPECT_THROW(unfold_imx(testing::write_bytes(dir.path() / "far.imx", imx.bytes), out), BundleError);
}

}  // namespace
}  // namespace velmora::detail
