// The default tool plug-in, loaded from bin/ the way the host loads it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "common/sha256.h"
#include "mirel2/ostrand/shared_enc_dep.h"
#include "support/temp_dir.h"
#include "mirel2/ostrand/tool_search.h"

namespace velmora::ostrand {
namespace {

using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

std::unique_ptr<SharedEncDep> load_default_plugin() {
  void* handle = ::dlopen(VELMORA_BIN_DIR "/shared_enc_dep.so", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(::dlerror());
  auto entry = reinterpret_cast<SharedEncDepEntry>(::dlsym(handle, SHARED_ENC_DEP_ENTRY));
  if (entry == nullptr) throw std::runtime_error(::dlerror());
  return wrap_shared_enc_dep(entry(), handle);
}

const std::string SHA = sha256_hex("the base");

TEST(DefaultSharedEncDep, ReadsTheDeclaredBaseFromDependencies) {
  const auto sed = load_default_plugin();
  EXPECT_EQ(sed->shared_enc_id(), "mirel2/shared-enc");
  struct Case {
    std::optional<std::string> deps;
    std::optional<std::string> sha;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {R"({"id":"mirel2/shared-enc","sha256":"x"})", std::nullopt},  // not a list
      {R"("mirel2/shared-enc")", std::nullopt},
      {R"([])", std::nullopt},
      {R"([{"id":"other","sha256":"x"},"mirel2/shared-enc",{"sha256":"y"}])", std::nullopt},
      {R"([{"id":"other","sha256":"x"},{"id":"mirel2/shared-enc","sha256":"abc"},{"id":"mirel2/shared-enc","sha256":"d"}])",
       "abc"},
      {R"([{"id":"mirel2/shared-enc","sha256":""}])", ""},
      // A declaration whose digest is no text stays a declaration, one that no file can match.
      {R"([{"id":"mirel2/shared-enc","sha256":12}])", "12"},
      {R"([{"id":"mirel2/shared-enc","sha256":["a"]}])", "[\"a\"]"},
      {R"([{"id":"mirel2/shared-enc"}])", "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(sed->base_sha256_of(c.deps), c.sha) << c.deps.value_or("(absent)");
  EXPECT_THROW(sed->base_sha256_of("[{"), std::runtime_error);
}

TEST(DefaultSharedEncDep, StoreCandidatesOnlyForWellFormedDigests) {
  const auto sed = load_default_plugin();
  {
    ScopedEnv deps("VELMORA_DEPS_DIR", "/deps");
    ScopedEnv home("HOME", "/home/u/");
    const std::string dirs = sed->dependency_store_dirs();
    EXPECT_EQ(sed->store_candidates(SHA, dirs),
              (std::vector<std::string>{"/deps/" + SHA, "/deps/" + SHA.substr(0, 2) + "/" + SHA,
                                        "/home/u/.velmora/deps/" + SHA,
                                        "/home/u/.velmora/deps/" + SHA.substr(0, 2) + "/" + SHA}));
    std::string upper = SHA;
    upper[0] = 'A';
    for (const std::string& bad : {std::string(), upper, SHA.substr(1), SHA + "0", std::string("../../etc/passwd"),
                                   "../" + SHA.substr(3), SHA.substr(0, 63) + "/"})
      EXPECT_EQ(sed->store_candidates(bad, dirs), std::vector<std::string>{}) << bad;
  }
  {
    // An empty variable is no store; the home store stays.
    ScopedEnv deps("VELMORA_DEPS_DIR", "");
    ScopedEnv home("HOME", "/h");
    EXPECT_EQ(sed->store_candidates(SHA, sed->dependency_store_dirs()),
              (std::vector<std::string>{"/h/.velmora/deps/" + SHA, "/h/.velmora/deps/" + SHA.substr(0, 2) + "/" + SHA}));
  }
  {
    // Folder names that JSON must escape come back intact.
    ScopedEnv deps("VELMORA_DEPS_DIR", "/d\"\\\n\xc3\xa9");
    ScopedEnv home("HOME", "/h");
    EXPECT_EQ(sed->store_candidates(SHA, sed->dependency_store_dirs()).front(), "/d\"\\\n\xc3\xa9/" + SHA);
  }
}

TEST(DefaultSharedEncDep, VerificationHashesTheFile) {
  const auto sed = load_default_plugin();
  TempDir dir;
  const std::string base = dir.write("base", "the base");
  const std::string other = dir.write("other", "another base");
  EXPECT_TRUE(sed->verify_base(base, SHA));
  EXPECT_FALSE(sed->verify_base(other, SHA));
  std::string upper = SHA;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(sed->verify_base(base, upper));  // digests compare as text, exactly
  EXPECT_FALSE(sed->verify_base(base, ""));
  EXPECT_THROW(sed->verify_base(dir.str() + "/missing", SHA), std::runtime_error);
}

TEST(DefaultSharedEncDep, TheHostsSearchFindsItBesideTheProgram) {
  HostState state;
  find_tool_module(state, VELMORA_BIN_DIR "/tarnhost");
  ASSERT_NE(state.sed, nullptr) << state.sed_why;
  EXPECT_EQ(state.sed_why, VELMORA_BIN_DIR);
  EXPECT_EQ(state.sed->shared_enc_id(), "mirel2/shared-enc");
}

}  // namespace
}  // namespace velmora::ostrand
