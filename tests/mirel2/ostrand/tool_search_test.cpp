#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "mirel2/ostrand/tool_search.h"

namespace velmora::ostrand {
namespace {

namespace fs = std::filesystem;
using velmora::testing::TempDir;

// A host program at R/p1/p2/p3/tarnhost, so that its "tools" candidate is R/tools.
struct Layout {
  TempDir root;
  std::string program() const { return root.str() + "/p1/p2/p3/tarnhost"; }
  std::string tools() const { return root.str() + "/tools"; }
  std::string own() const { return root.str() + "/p1/p2/p3"; }
  void put(const std::string& dir, const std::string& plugin) const {
    fs::create_directories(dir);
    fs::copy_file(std::string(VELMORA_BIN_DIR) + "/" + plugin, dir + "/shared_enc_dep.so",
                  fs::copy_options::overwrite_existing);
  }
};

TEST(ToolSearch, FoundInToolsDirectoryFirst) {
  Layout l;
  l.put(l.tools(), "test_sed_good.so");
  l.put(l.own(), "test_sed_noentry.so");
  HostState state;
  find_tool_module(state, l.program());
  ASSERT_NE(state.sed, nullptr);
  EXPECT_EQ(state.sed_why, l.tools());
  EXPECT_EQ(state.plugin_path, std::vector<std::string>{l.tools()});
  EXPECT_EQ(state.sed->shared_enc_id(), "test-shared-enc");
  EXPECT_EQ(state.sed->base_sha256_of(std::nullopt), std::nullopt);
  EXPECT_EQ(state.sed->base_sha256_of("\"abc\""), "\"abc\"");
  EXPECT_THROW(state.sed->base_sha256_of("\"fail\""), std::runtime_error);
  EXPECT_EQ(state.sed->store_candidates("ab", state.sed->dependency_store_dirs()),
            (std::vector<std::string>{"/store/ab", "/store/x"}));
  EXPECT_TRUE(state.sed->verify_base("/good", "ab"));
  EXPECT_FALSE(state.sed->verify_base("/bad", "ab"));
}

TEST(ToolSearch, FoundBesideTheProgramSecond) {
  Layout l;
  l.put(l.own(), "test_sed_good.so");
  HostState state;
  state.plugin_path = {"/elsewhere"};
  find_tool_module(state, l.program());
  ASSERT_NE(state.sed, nullptr);
  EXPECT_EQ(state.sed_why, l.own());
  EXPECT_EQ(state.plugin_path, (std::vector<std::string>{l.own(), l.tools(), "/elsewhere"}));
}

TEST(ToolSearch, NeitherCandidateKeepsTheLoadersReason) {
  Layout l;
  HostState state;
  state.plugin_path = {l.own()};  // already on the path: neither added again nor moved
  find_tool_module(state, l.program());
  EXPECT_EQ(state.sed, nullptr);
  EXPECT_NE(state.sed_why.find("shared_enc_dep.so"), std::string::npos) << state.sed_why;
  EXPECT_NE(state.sed_why.find("No such file"), std::string::npos) << state.sed_why;
  EXPECT_EQ(state.plugin_path, (std::vector<std::string>{l.tools(), l.own()}));
}

TEST(ToolSearch, PluginsThatFailToLoad) {
  {
    // Not a shared library at all: the loader's own text.
    Layout l;
    l.root.write("p1/p2/p3/shared_enc_dep.so", "not an ELF file");
    HostState state;
    find_tool_module(state, l.program());
    EXPECT_EQ(state.sed, nullptr);
    EXPECT_NE(state.sed_why.find(l.own() + "/shared_enc_dep.so"), std::string::npos) << state.sed_why;
  }
  {
    // A library without the entry point is a load failure too; the search goes on to the next candidate.
    Layout l;
    l.put(l.tools(), "test_sed_noentry.so");
    l.put(l.own(), "test_sed_good.so");
    HostState state;
    find_tool_module(state, l.program());
    ASSERT_NE(state.sed, nullptr);
    EXPECT_EQ(state.sed_why, l.own());
  }
  {
    // One that loads but hands out no table is an error of the plug-in itself.
    Layout l;
    l.put(l.tools(), "test_sed_notable.so");
    HostState state;
    EXPECT_THROW(find_tool_module(state, l.program()), std::runtime_error);
  }
}

}  // namespace
}  // namespace velmora::ostrand
