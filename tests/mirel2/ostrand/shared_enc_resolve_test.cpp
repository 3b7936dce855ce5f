#include <gtest/gtest.h>

#include <filesystem>

#include "common/sha256.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/shared_enc_resolve.h"
#include "mirel2/ostrand/staging.h"
#include "mirel2/ostrand/support/fake_sed.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"

namespace velmora::ostrand {
namespace {

namespace fs = std::filesystem;
using detail::declared_base_sha;
using detail::resolve_shared_enc;
using testing::ScopedSed;
using velmora::testing::BundleFixture;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

const std::string GOOD = "the right base";
const std::string BAD = "a base of the same name";
const std::string WANT = sha256_hex(GOOD);

class SharedEncResolve : public ::testing::Test {
 protected:
  void SetUp() override { host_state().staged.clear(); }
  void TearDown() override { drop_staged(); }

  std::string engines(const std::string& name) const { return home_ + "/.velmora/engines/" + name; }
  // Calls of the plug-in's verification, in order.
  std::vector<std::string> verified() const {
    std::vector<std::string> out;
    for (const auto& c : sed_.script->calls)
      if (c.starts_with("verify_base ")) out.push_back(c.substr(12));
    return out;
  }

  TempDir tmp_;
  std::string home_ = tmp_.str() + "/home";
  std::string stage_ = tmp_.str() + "/stage";
  ScopedEnv home_env_{"HOME", home_};
  ScopedEnv stage_env_{"MIREL2_STAGE_DIR", stage_};
  ScopedEnv enc_env_{"MIREL2_SHARED_ENC", std::nullopt};
  ScopedEnv dir_env_{"MIREL2_ENGINE_DIR", std::nullopt};
  ScopedEnv ane_env_{"MIREL2_ANE_ENGINE", std::nullopt};
  ScopedSed sed_;
};

TEST_F(SharedEncResolve, NoDigestTakesTheBundlesOwnCopyAtOnce) {
  const auto forms = BundleFixture{{"shared-enc.tflite", BAD}}.write_forms(tmp_.path() / "b");
  ScopedEnv env("MIREL2_SHARED_ENC", tmp_.write("explicit/shared-enc.tflite", GOOD));
  for (const auto& bundle : forms.all()) {
    const auto r = resolve_shared_enc(bundle, "/no/such/engine");
    ASSERT_TRUE(r.path) << r.how;
    EXPECT_EQ(r.how, "co-located in " + bundle);
    if (bundle == forms.directory)
      EXPECT_EQ(*r.path, bundle + "/shared-enc.tflite");
    else
      EXPECT_TRUE(r.path->starts_with(stage_ + "/")) << *r.path;
  }
  EXPECT_EQ(sed_.script->calls, std::vector<std::string>{});  // nothing verified, no store asked
}

TEST_F(SharedEncResolve, AContentStoreHitIsTrustedByItsName) {
  const std::string store = tmp_.str() + "/store";
  sed_.script->store_dirs = {tmp_.str() + "/empty-store", store};
  const std::string hit = tmp_.write("store/" + WANT, BAD);  // wrong content, taken all the same
  const auto bundle = BundleFixture{{"shared-enc.tflite", GOOD}}.write_directory(tmp_.path() / "b");
  const auto r = resolve_shared_enc(bundle, std::nullopt, WANT);
  EXPECT_EQ(r.path, hit);
  EXPECT_EQ(r.how, "name-trusted content store " + hit);
  EXPECT_EQ(sed_.script->calls, std::vector<std::string>{"store_candidates " + WANT});
  // An empty digest skips the store, but still verifies what it finds by path.
  const auto empty = resolve_shared_enc(bundle, std::nullopt, "");
  EXPECT_EQ(empty.path, std::nullopt);
  EXPECT_EQ(empty.how, bundle + "/shared-enc.tflite (co-located in the bundle): sha mismatch");
}

TEST_F(SharedEncResolve, RootsAreTriedInOrderAndEachRefusalIsNoted) {
  // Every root holds the wrong base, so the notes show the order of the search.
  const std::string zip_bundle = BundleFixture{{"shared-enc.tflite", BAD}}.write_zip(tmp_.path() / "b.zip");
  const std::string engine_dir = tmp_.write("engine/shared-enc.tflite", BAD);
  const std::string explicit_file = tmp_.write("x/shared-enc.tflite", BAD);
  const std::string imx = BundleFixture{{"models/shared-enc.tflite", BAD}}.write_imx(tmp_.path() / "e.engine");
  const std::string zip = BundleFixture{{"shared-enc.tflite", BAD}}.write_zip(tmp_.path() / "e.zip");
  const std::string memberless = BundleFixture{{"other.tflite", GOOD}}.write_zip(tmp_.path() / "none.zip");
  tmp_.write("home/.velmora/engines/b/shared-enc.tflite", BAD);
  tmp_.write("home/.velmora/engines/a/shared-enc.tflite", BAD);
  tmp_.write("home/.velmora/engines/A-file", GOOD);               // a plain file: no root
  fs::create_directories(home_ + "/.velmora/engines/c-empty");  // no encoder: no root
  ScopedEnv enc("MIREL2_SHARED_ENC", explicit_file);
  ScopedEnv dir("MIREL2_ENGINE_DIR", " ");  // blanks: a root that is passed over without a note
  ScopedEnv ane("MIREL2_ANE_ENGINE", imx);

  {
    ScopedEnv dir2("MIREL2_ENGINE_DIR", memberless);  // a container without the member: no note either
    const auto r = resolve_shared_enc(zip_bundle, tmp_.str() + "/engine", WANT);
    EXPECT_EQ(r.path, std::nullopt);
    const auto v = verified();
    ASSERT_EQ(v.size(), 6u) << r.how;
    EXPECT_TRUE(v[0].starts_with(stage_ + "/")) << v[0];  // the bundle's copy, staged
    EXPECT_TRUE(v[3].starts_with(stage_ + "/")) << v[3];  // the container's member, staged
    EXPECT_EQ(r.how, v[0] + " (co-located in the bundle): sha mismatch; " + engine_dir + " (engine dir): sha mismatch; " +
                         explicit_file + " (explicit file): sha mismatch; " + v[3] + " (container " + imx +
                         "): sha mismatch; " + engines("a/shared-enc.tflite") + " (explicit file): sha mismatch; " +
                         engines("b/shared-enc.tflite") + " (explicit file): sha mismatch");
    EXPECT_EQ(host_state().staged.size(), 2u);  // refused copies stay for the exit hook
  }
  {
    // A root given twice is tried twice, and noted twice.
    ScopedEnv enc2("MIREL2_SHARED_ENC", zip);
    const auto r = resolve_shared_enc(tmp_.str() + "/no-bundle", zip, WANT);
    const std::string note = " (container " + zip + "): sha mismatch";
    std::size_t count = 0;
    for (auto at = r.how.find(note); at != std::string::npos; at = r.how.find(note, at + 1)) ++count;
    EXPECT_EQ(count, 2u) << r.how;
    EXPECT_EQ(verified().size(), 6u + 2 + 1 + 2);
  }
}

TEST_F(SharedEncResolve, TheFirstVerifiedCandidateWins) {
  const std::string bundle = BundleFixture{{"shared-enc.tflite", BAD}}.write_directory(tmp_.path() / "b");
  const std::string engine_dir = tmp_.str() + "/engine";
  tmp_.write("engine/shared-enc.tflite", GOOD);
  const std::string later = tmp_.write("later/shared-enc.tflite", GOOD);
  ScopedEnv enc("MIREL2_SHARED_ENC", later);
  const auto r = resolve_shared_enc(bundle, engine_dir, WANT);
  EXPECT_EQ(r.path, engine_dir + "/shared-enc.tflite");
  EXPECT_EQ(r.how, "engine dir " + engine_dir);
  EXPECT_EQ(verified(), (std::vector<std::string>{bundle + "/shared-enc.tflite", engine_dir + "/shared-enc.tflite"}));

  struct Case {
    std::string root;
    std::string how;
    bool staged;
  };
  const std::string imx = BundleFixture{{"shared-enc.tflite", GOOD}}.write_imx(tmp_.path() / "good.engine");
  tmp_.write("home/.velmora/engines/z/shared-enc.tflite", GOOD);
  const Case cases[] = {
      {later, "explicit file " + later, false},
      {imx, "container " + imx, true},
      {"", "explicit file " + later, false},  // an empty --engine adds no root: the variable comes first
  };
  for (const auto& c : cases) {
    const auto got = resolve_shared_enc(tmp_.str() + "/no-bundle", c.root, WANT);
    ASSERT_TRUE(got.path) << got.how;
    EXPECT_EQ(got.how, c.how);
    EXPECT_EQ(got.path->starts_with(stage_ + "/"), c.staged) << *got.path;
    if (!c.staged) {
      EXPECT_EQ(*got.path, later);
    }
  }
  // With no other root, the engines folder's encoder is an explicit file.
  ScopedEnv none("MIREL2_SHARED_ENC", std::nullopt);
  EXPECT_EQ(resolve_shared_enc(tmp_.str() + "/no-bundle", std::nullopt, WANT).how,
            "explicit file " + engines("z/shared-enc.tflite"));
}

TEST_F(SharedEncResolve, NothingAnywhere) {
  ScopedEnv enc("MIREL2_SHARED_ENC", "");  // empty: no root
  const auto r = resolve_shared_enc(tmp_.str() + "/no-bundle", "", WANT);
  EXPECT_EQ(r.path, std::nullopt);
  EXPECT_EQ(r.how, "no candidate found");
}

TEST_F(SharedEncResolve, ErrorsOfReadingAContainerRootReachTheCaller) {
  auto image = BundleFixture{{"shared-enc.tflite", GOOD}}.zip();
  image.corrupt_central_directory();
  const std::string broken = velmora::testing::write_bytes(tmp_.path() / "broken.zip", image.bytes);
  tmp_.write("good/shared-enc.tflite", GOOD);
  ScopedEnv enc("MIREL2_SHARED_ENC", tmp_.str() + "/good");
  EXPECT_ANY_THROW(resolve_shared_enc(tmp_.str() + "/no-bundle", broken, WANT));
}

TEST_F(SharedEncResolve, DeclaredBaseFromTheManifest) {
  sed_.script->declare = [](const std::optional<std::string>& deps) -> std::optional<std::string> {
    if (deps == "\"boom\"") throw std::runtime_error("plug-in failure");
    return deps ? std::optional<std::string>("sha of " + *deps) : std::nullopt;
  };
  struct Case {
    std::optional<std::string> manifest;  // nothing: no manifest member
    std::optional<std::string> sha;
    std::optional<std::string> handed;  // what the plug-in was given; nothing: not called
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"not json", std::nullopt, std::nullopt},
      {"\xef\xbb\xbf{}", std::nullopt, std::nullopt},  // a byte-order mark
      {"[1]", std::nullopt, std::nullopt},
      {"{\"format\": 1}", std::nullopt, "none"},
      {"{\"dependencies\": null}", std::nullopt, "none"},
      {"{\"dependencies\": \"boom\"}", std::nullopt, "\"boom\""},
      {"{\"dependencies\": [ {\"id\": \"x\", \"n\": 1.0, \"s\": \"\\u00e9\"} ]}",
       "sha of [{\"id\":\"x\",\"n\":1.0,\"s\":\"\\u00e9\"}]", "[{\"id\":\"x\",\"n\":1.0,\"s\":\"\\u00e9\"}]"},
  };
  int k = 0;
  for (const auto& c : cases) {
    BundleFixture f{{"identity.tflite", "delta"}};
    if (c.manifest) f.add("manifest.json", *c.manifest);
    for (const auto& bundle : f.write_forms(tmp_.path() / ("m" + std::to_string(k++))).all()) {
      sed_.script->calls.clear();
      EXPECT_EQ(declared_base_sha(bundle), c.sha) << bundle << " " << c.manifest.value_or("(none)");
      const auto expected_calls =
          c.handed ? std::vector<std::string>{"base_sha256_of " + *c.handed} : std::vector<std::string>{};
      EXPECT_EQ(sed_.script->calls, expected_calls) << bundle;
    }
  }
  ScopedSed absent(false);
  EXPECT_EQ(declared_base_sha(BundleFixture{{"manifest.json", "{\"dependencies\": []}"}}.write_directory(
                tmp_.path() / "no-plugin")),
            std::nullopt);
}

}  // namespace
}  // namespace velmora::ostrand
