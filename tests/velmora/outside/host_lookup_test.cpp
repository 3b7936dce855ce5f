// Where the render host program is looked for: beside the library's code, in its installation's bin folder,
// then on PATH.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "velmora/outside/bundled_host.h"

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;

void place(const fs::path& folder, bool executable = true) {
  fs::create_directories(folder);
  const fs::path program = folder / HOST_PROGRAM;
  std::ofstream(program) << "#!/bin/sh\n";
  ::chmod(program.c_str(), executable ? 0755 : 0644);
}

TEST(HostLookup, BesideTheCodeThenTheInstalledBinFolderThenPath) {
  testing::TempDir dir;
  const fs::path lib = dir.path() / "prefix" / "lib";
  const fs::path bin = (lib / VELMORA_LIB_TO_BIN).lexically_normal();
  const fs::path on_path = dir.path() / "path";
  const std::string path_list = "/nonexistent:" + on_path.string();
  fs::create_directories(lib);
  fs::create_directories(bin);
  fs::create_directories(on_path);

  const std::vector<std::string> folders = program_folders(lib.string());
  ASSERT_EQ(folders, (std::vector<std::string>{lib.string(), fs::canonical(bin).string()}));
  // Code that lies in the bin folder itself (a program of the installation) looks there once.
  EXPECT_EQ(program_folders(fs::canonical(bin).string()), std::vector<std::string>{fs::canonical(bin).string()});

  const struct {
    const char* name;
    std::vector<fs::path> holders;
    std::optional<fs::path> found;
  } cases[] = {
      {"everywhere", {lib, bin, on_path}, lib},
      {"installed and on PATH", {bin, on_path}, fs::canonical(bin)},
      {"on PATH only", {on_path}, on_path},
      {"nowhere", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    for (const fs::path& f : {lib, bin, on_path}) fs::remove(f / HOST_PROGRAM);
    for (const fs::path& f : c.holders) place(f);
    const auto got = find_program_in(HOST_PROGRAM, folders, path_list);
    EXPECT_EQ(got, c.found ? std::optional<std::string>((*c.found / HOST_PROGRAM).string()) : std::nullopt) << c.name;
  }
  // A file that cannot be run is passed over.
  for (const fs::path& f : {lib, bin, on_path}) fs::remove(f / HOST_PROGRAM);
  place(lib, false);
  place(on_path);
  EXPECT_EQ(find_program_in(HOST_PROGRAM, folders, path_list), (on_path / HOST_PROGRAM).string());
  EXPECT_EQ(find_program_in(HOST_PROGRAM, folders, std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace velmora::detail
