#include <gtest/gtest.h>

#include "common/file_tree.h"
#include "common/pypath.h"
#include "common/pytext.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace velmora {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(NormPath, FoldsLikePosixpath) {
  struct Case {
    const char* path;
    const char* want;
  };
  const Case cases[] = {
      {"", "."},           {".", "."},           {"a/./b/", "a/b"},     {"a//b", "a/b"},     {"a/../b", "b"},
      {"../a", "../a"},    {"a/../../b", "../b"}, {"/../a", "/a"},      {"//a/b", "//a/b"},  {"///a", "/a"},
      {"/", "/"},          {"a/..", "."},        {"/a/b/../..", "/"},   {"..", ".."},        {"a/b/c/../../d", "a/d"},
  };
  for (const auto& c : cases) EXPECT_EQ(norm_path(c.path), c.want) << py_repr(c.path);
}

TEST(AbsPath, JoinsTheWorkingFolderWithoutResolvingLinks) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(abs_path("x/../y"), norm_path(std::string(cwd) + "/y"));
  EXPECT_EQ(abs_path("/a/./b"), "/a/b");
  EXPECT_EQ(abs_path(""), norm_path(cwd));
}

TEST(ExpandUser, HomeFromTheEnvironmentAndUnknownUsersUnchanged) {
  ScopedEnv home("HOME", "/home/someone/");
  struct Case {
    const char* path;
    const char* want;
  };
  const Case cases[] = {
      {"~", "/home/someone"}, {"~/.cache/x", "/home/someone/.cache/x"}, {"a/~", "a/~"},
      {"", ""},               {"~no-such-user-here/x", "~no-such-user-here/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand_user(c.path), c.want) << py_repr(c.path);
  EXPECT_EQ(expand_user("~root/x"), "/root/x");
  ScopedEnv root_home("HOME", "/");
  EXPECT_EQ(expand_user("~"), "/");
}

TEST(FileTree, SizesAndDeletesWithoutLeavingTheTree) {
  TempDir dir;
  const std::string outside = dir.write("outside/keep.bin", std::string(1000, 'o'));
  const std::string tree = dir.str() + "/tree";
  dir.write("tree/a.bin", std::string(10, 'a'));
  dir.write("tree/sub/deeper/b.bin", std::string(20, 'b'));
  std::filesystem::create_directories(tree + "/empty");
  ASSERT_EQ(::symlink((dir.str() + "/outside").c_str(), (tree + "/folder-link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/file-link").c_str()), 0);
  struct stat link;
  ASSERT_EQ(::lstat((tree + "/file-link").c_str(), &link), 0);

  // A link counts its own size; a link to a folder counts nothing and is not entered.
  EXPECT_EQ(tree_bytes(tree), 30 + link.st_size);
  EXPECT_EQ(tree_bytes(dir.str() + "/missing"), 0);

  // A link to a folder is not a folder to delete.
  remove_tree(tree + "/folder-link");
  EXPECT_TRUE(std::filesystem::exists(outside));
  remove_tree(tree);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(tree)));
  EXPECT_TRUE(std::filesystem::exists(outside));
  remove_tree(tree);  // nothing there: no error
}

}  // namespace
}  // namespace velmora
