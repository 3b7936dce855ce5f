#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"
#include "support/temp_dir.h"

namespace velmora::ostrand {
namespace {

using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::TempDir;

const std::string FAKE_HOST = std::string(VELMORA_BIN_DIR) + "/fake_tarnhost";

std::string u32(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

TEST(HostProcess, StagedFilesAreRemovedAfterEveryOrderlyEnd) {
  struct Case {
    const char* mode;
    std::string input;
    int status;
    const char* err_has;
  };
  const Case cases[] = {
      {"serve", "", 0, "stdin closed"},
      {"serve", u32(0x7fffffff), 1, "protocol desync"},
      {"throw", "", 1, "scripted failure"},
      {"fatal", "", 3, "[tarnhost] FATAL: scripted bundle fault\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string staged = dir.str() + "/staged.tflite";
    const auto r = run_process({FAKE_HOST, "bundle"}, c.input,
                               ProcessOptions{{{"FAKE_HOST_MODE", c.mode}, {"FAKE_STAGE_FILE", staged}}});
    EXPECT_EQ(r.status, c.status) << c.mode << ": " << r.err;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << c.mode << ": " << r.err;
    EXPECT_FALSE(std::filesystem::exists(staged)) << c.mode;
  }
}

TEST(HostProcess, ReaderGoneIsStatusOneWithCleanUp) {
  // The peer closes its end of our standard output and sends audio for many frames: the write fails (no
  // SIGPIPE death), the host ends with status 1 and the staged file is gone.
  TempDir dir;
  const std::string staged = dir.str() + "/staged.tflite";
  std::string input = u32(16000) + std::string(16000 * 4, '\0');
  ProcessOptions options{{{"FAKE_STAGE_FILE", staged}}};
  options.close_stdout_early = true;
  const auto r = run_process({FAKE_HOST, "bundle"}, input, options);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("write to standard output"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(staged));
}

TEST(HostProcess, FramesReachTheReader) {
  const std::string input = u32(1600) + std::string(1600 * 4, '\0') + u32(0xFFFFFFFFu);
  const auto r = run_process({FAKE_HOST, "bundle", "--threads", "3"}, input);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string hello = "READY {\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"color\":null}\n";
  ASSERT_EQ(r.out.size(), hello.size() + 2 * (4 + 898560) + 4);
  EXPECT_EQ(r.out.substr(0, hello.size()), hello);
  EXPECT_EQ(r.out.substr(hello.size(), 4), u32(3));
  EXPECT_EQ(r.out.substr(r.out.size() - 4), u32(0xFFFFFFFFu));
  EXPECT_NE(r.err.find("fake warm-up bundle=bundle threads=3"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace velmora::ostrand
