#include <gtest/gtest.h>

#include "common/file_tree.h"
#include "common/pypath.h"
#include "common/pytext.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
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

// Whether a folder lies in another, for every spelling that reaches it: the folder itself, below it, through
// "..", through links into and out of it; and not for its parent, a sibling or the root.
TEST(FileTree, AFolderIsWithinAnotherHoweverEitherIsSpelled) {
  TempDir dir;
  const std::string tree = dir.str() + "/tree";
  std::filesystem::create_directories(tree + "/sub/deeper");
  std::filesystem::create_directories(dir.str() + "/sibling");
  ASSERT_EQ(::symlink(tree.c_str(), (dir.str() + "/to-tree").c_str()), 0);
  ASSERT_EQ(::symlink((tree + "/sub").c_str(), (dir.str() + "/sibling/to-sub").c_str()), 0);
  ASSERT_EQ(::symlink((dir.str() + "/sibling").c_str(), (tree + "/to-sibling").c_str()), 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir.str() + "/to-tree").c_str(), &st), 0);  // the tree, named through a link
  const struct {
    std::string folder;
    bool within;
  } cases[] = {
      {tree, true},
      {tree + "/sub/deeper", true},
      {tree + "/sub/../sub/./deeper/..", true},
      {dir.str() + "/to-tree/sub", true},
      {dir.str() + "/sibling/to-sub/deeper", true},
      {tree + "/to-sibling", false},  // a link out of the tree leads out
      {tree + "/..", false},
      {dir.str() + "/sibling", false},
      {"/", false},
  };
  for (const auto& c : cases) {
    const int fd = ::open(c.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << c.folder;
    EXPECT_EQ(folder_within(fd, st.st_dev, st.st_ino), c.within) << c.folder;
    ::close(fd);
  }
}

// A file found under a folder by what it is: a hard link or a link to it, never through a link to a folder.
TEST(FileTree, AFileIsFoundInATreeByWhatItIs) {
  TempDir dir;
  const std::string tree = dir.str() + "/tree";
  const std::string inside = dir.write("tree/sub/inside.bin", "in");
  const std::string outside = dir.write("outside/out.bin", "out");
  const std::string elsewhere = dir.write("elsewhere/other.bin", "other");
  ASSERT_EQ(::link(inside.c_str(), (dir.str() + "/hard-link.bin").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/to-out.bin").c_str()), 0);
  ASSERT_EQ(::symlink((dir.str() + "/elsewhere").c_str(), (tree + "/to-elsewhere").c_str()), 0);
  const int folder = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  const auto found = [&](const std::string& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return find_in_tree(folder, tree, st.st_dev, st.st_ino);
  };
  EXPECT_EQ(found(dir.str() + "/hard-link.bin"), tree + "/sub/inside.bin");
  EXPECT_EQ(found(outside), tree + "/to-out.bin");
  EXPECT_EQ(found(elsewhere), std::nullopt);  // only through a link to a folder, which is not entered
  ::close(folder);
}

}  // namespace
}  // namespace velmora
