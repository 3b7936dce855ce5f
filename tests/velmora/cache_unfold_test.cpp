#include <gtest/gtest.h>

#include "common/pytext.h"
#include "support/temp_dir.h"
#include "velmora/errors.hpp"
#include "velmora/support/scratch.h"
#include "velmora/unfold.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace velmora::detail {
namespace {

using testing::read_file;
using testing::TempDir;

void put(const std::string& dest, std::string_view name, const std::string& bytes) {
  write_member(dest, name, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

TEST(MemberNames, OnlyNamesInsideTheFolderAreTaken) {
  struct Case {
    std::string_view name;
    const char* path;  // null: refused
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"manifest.json", "d/manifest.json"}, {"a/b/c.bin", "d/a/b/c.bin"}, {"models/", "d/models"},
      {"...", "d/..."},                     {"a..b", "d/a..b"},           {"a\\..\\b", "d/a\\..\\b"},
      {"", nullptr},                        {"/", nullptr},               {"/etc/passwd", nullptr},
      {"..", nullptr},                      {".", nullptr},               {"../x", nullptr},
      {"a/../../x", nullptr},               {"a/..", nullptr},            {"./a", nullptr},
      {"a//b", nullptr},                    {"a/./b", nullptr},           {"a//", nullptr},
      {"a\0b"sv, nullptr},
  };
  for (const auto& c : cases) {
    if (c.path) {
      EXPECT_EQ(member_path("d", c.name), c.path) << py_repr(c.name);
    } else {
      EXPECT_THROW(member_path("d", c.name), ValueError) << py_repr(c.name);
    }
  }
}

TEST(WriteMember, WritesInsideAndNeverThroughALink) {
  TempDir dir;
  const std::string dest = dir.str() + "/unpack";
  std::filesystem::create_directories(dest);
  put(dest, "models/deep/a.bin", "first");
  put(dest, "models/deep/a.bin", "second");  // a later duplicate replaces the earlier one
  put(dest, "empty/", "");
  put(dest, "manifest.json", "{}");
  EXPECT_EQ(read_file(dest + "/models/deep/a.bin"), "second");
  EXPECT_TRUE(std::filesystem::is_directory(dest + "/empty"));

  EXPECT_THROW(put(dest, "../escaped", "x"), ValueError);
  EXPECT_FALSE(std::filesystem::exists(dir.str() + "/escaped"));

  // Links planted inside the folder lead nowhere: neither as the member nor as a folder on its way.
  const std::string outside = dir.str() + "/outside";
  std::filesystem::create_directories(outside);
  ASSERT_EQ(::symlink((outside + "/target").c_str(), (dest + "/file-link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (dest + "/folder-link").c_str()), 0);
  EXPECT_THROW(put(dest, "file-link", "x"), std::system_error);
  EXPECT_THROW(put(dest, "folder-link/x", "x"), std::system_error);
  EXPECT_TRUE(std::filesystem::is_empty(outside));

  // A member where a file already stands as a folder is a file-system error.
  EXPECT_THROW(put(dest, "manifest.json/x", "x"), std::system_error);
}

}  // namespace
}  // namespace velmora::detail
