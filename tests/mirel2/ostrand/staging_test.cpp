#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/staging.h"
#include "mirel2/ostrand/support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"

namespace velmora::ostrand {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::ScopedEnv;
using testing::TempDir;

std::string slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> files_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().string());
  return out;
}

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

class Staging : public ::testing::Test {
 protected:
  void SetUp() override { host_state().staged.clear(); }
  void TearDown() override { drop_staged(); }
  TempDir tmp_;
  // The system's temporary directory, pointed at a folder of our own so that its content can be checked.
  ScopedEnv tmpdir_{"TMPDIR", (tmp_.path() / "sys").string()};
  ScopedEnv stage_{"MIREL2_STAGE_DIR", std::nullopt};
  bool made_ = fs::create_directories(tmp_.path() / "sys");
};

TEST_F(Staging, StageDirectoryFollowsTheVariable) {
  const std::string file = tmp_.write("plain", "x");
  struct Case {
    std::optional<std::string> value;
    std::string where;  // the folder the copy lands in
    std::string log;
  };
  const Case cases[] = {
      {std::nullopt, tmp_.str() + "/sys", ""},
      {"   ", tmp_.str() + "/sys", ""},
      {" " + tmp_.str() + "/new/deeper/stage ", tmp_.str() + "/new/deeper/stage", ""},
      {file, tmp_.str() + "/sys",
       "[tarnhost] MIREL2_STAGE_DIR='" + file + "' unusable ([Errno 17] File exists: '" + file +
           "') \u2014 staging in the default temp dir instead\n"},
      {file + "/sub", tmp_.str() + "/sys",
       "[tarnhost] MIREL2_STAGE_DIR='" + file + "/sub' unusable ([Errno 20] Not a directory: '" + file +
           "/sub') \u2014 staging in the default temp dir instead\n"},
  };
  for (const auto& c : cases) {
    ScopedEnv env("MIREL2_STAGE_DIR", c.value);
    LogCapture log;
    const std::string p = stage_tflite(tmp_.str() + "/bundle.imx", "x/y/identity.tflite", "DELTA");
    EXPECT_EQ(fs::path(p).parent_path().string(), c.where) << p;
    EXPECT_TRUE(ends_with(fs::path(p).filename().string(), "_identity.tflite")) << p;
    EXPECT_EQ(slurp(p), "DELTA");
    EXPECT_EQ(host_state().staged, std::vector<std::string>{p});
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // An unusable directory is reported again for every file staged.
    stage_tflite(tmp_.str() + "/bundle.imx", "combined_litert.tflite", "");
    EXPECT_EQ(log.text(), c.log + c.log) << p;
    drop_staged();
  }
}

TEST_F(Staging, DirectoryBundleMembersAreTheirOwnFiles) {
  const std::string bundle = testing::BundleFixture{{"combined_litert.tflite", "MODEL"}}.write_directory(tmp_.path() / "b");
  const std::string own = stage_tflite(bundle, "combined_litert.tflite", "ignored");
  EXPECT_EQ(own, bundle + "/combined_litert.tflite");
  EXPECT_TRUE(host_state().staged.empty());
  release_staged({own});
  EXPECT_EQ(slurp(own), "MODEL");
  // A name the directory does not hold as a regular file is staged like a container member.
  fs::create_directory(bundle + "/identity.tflite");
  const std::string copy = stage_tflite(bundle, "identity.tflite", "DELTA");
  EXPECT_NE(copy, bundle + "/identity.tflite");
  EXPECT_EQ(slurp(copy), "DELTA");
  EXPECT_EQ(host_state().staged, std::vector<std::string>{copy});
}

TEST_F(Staging, ReleaseDeletesOnlyListedPathsOnce) {
  const std::string a = stage_tflite("none", "a.tflite", "A");
  const std::string b = stage_tflite("none", "b.tflite", "B");
  const std::string stranger = tmp_.write("stranger.tflite", "S");
  release_staged({stranger, a, a});
  EXPECT_TRUE(fs::exists(stranger));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(host_state().staged, std::vector<std::string>{b});
  // The list itself may be handed over.
  release_staged(host_state().staged);
  EXPECT_FALSE(fs::exists(b));
  EXPECT_TRUE(host_state().staged.empty());
}

TEST_F(Staging, UndeletableFilesStayListedAndTheExitHookGivesUp) {
  const std::string a = stage_tflite("none", "a.tflite", "A");
  const std::string b = stage_tflite("none", "b.tflite", "B");
  // A non-empty folder in a's place cannot be unlinked (root ignores permissions, not this).
  fs::remove(a);
  fs::create_directories(a + "/inside");
  release_staged({a, b});
  EXPECT_EQ(host_state().staged, std::vector<std::string>{a});
  EXPECT_FALSE(fs::exists(b));
  drop_staged();
  EXPECT_TRUE(host_state().staged.empty());
  EXPECT_TRUE(fs::is_directory(a));
  drop_staged();  // an empty list does nothing
  fs::remove_all(a);
}

TEST_F(Staging, AFailedWriteLeavesNoFileBehind) {
  // A file size limit makes the write fail part-way (EFBIG instead of the signal).
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old), 0);
  rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::optional<std::system_error> failure;
  try {
    stage_tflite("none", "big.tflite", std::string(100000, 'm'));
  } catch (const std::system_error& e) {
    failure = e;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &old, nullptr);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->code().value(), EFBIG);
  EXPECT_TRUE(files_in(tmp_.path() / "sys").empty());
  EXPECT_TRUE(host_state().staged.empty());
}

TEST_F(Staging, AStageDirectoryThatTakesNoFilesIsTheCallersError) {
  // It exists, so nothing is logged; creating the file there fails, also for root.
  ScopedEnv env("MIREL2_STAGE_DIR", "/proc");
  LogCapture log;
  EXPECT_THROW(stage_tflite("none", "a.tflite", "A"), std::system_error);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(host_state().staged.empty());
}

TEST(StagingProcess, TheExitHookRemovesStagedCopiesAfterEveryOrderlyEnd) {
  const std::string probe = std::string(VELMORA_BIN_DIR) + "/stage_probe";
  const struct {
    const char* end;
    int status;
  } cases[] = {{"return0", 0}, {"throw", 1}, {"return2", 2}, {"fatal", 3}};
  for (const auto& c : cases) {
    TempDir tmp;
    const std::string bundle = testing::BundleFixture{{"m/combined_litert.tflite", "MODEL"}, {"identity.tflite", "ID"}}
                                   .write_zip(tmp.path() / "bundle.zip");
    const auto r = testing::run_process({probe, bundle}, "",
                                        {{{"STAGE_PROBE_END", c.end}, {"MIREL2_STAGE_DIR", tmp.str() + "/stage"}}});
    EXPECT_EQ(r.status, c.status) << c.end << ": " << r.err;
    EXPECT_NE(r.err.find("staged 2"), std::string::npos) << c.end << ": " << r.err;
    EXPECT_TRUE(files_in(tmp.path() / "stage").empty()) << c.end;
  }
}

}  // namespace
}  // namespace velmora::ostrand
