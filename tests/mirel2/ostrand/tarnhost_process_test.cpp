// The real tarnhost program: its tool plug-in, bundle faults and clean-up, as a peer sees them.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/sha256.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/support/process.h"
#include "mirel2/ostrand/support/temp_dir.h"
#include "support/bundle_fixture.h"

namespace velmora::ostrand {
namespace {

namespace fs = std::filesystem;
using velmora::testing::BundleFixture;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::TempDir;

const std::string TARNHOST = std::string(VELMORA_BIN_DIR) + "/tarnhost";
const std::string CANON(std::size_t{CANON_SIZE} * 4, '\0');
const std::string BASE = "the shared encoder";
const std::string WANT = sha256_hex(BASE);

struct Host {
  TempDir tmp;
  std::string stage = tmp.str() + "/stage";
  ProcessOptions options() const {
    return ProcessOptions{{{"MIREL2_STAGE_DIR", stage},
                           {"HOME", tmp.str() + "/home"},
                           {"VELMORA_DEPS_DIR", std::nullopt},
                           {"MIREL2_SHARED_ENC", std::nullopt},
                           {"MIREL2_ENGINE_DIR", std::nullopt},
                           {"MIREL2_ANE_ENGINE", std::nullopt}}};
  }
  // A zip split bundle declaring WANT in the default plug-in's format, carrying a wrong base of its own.
  std::string split_bundle() const {
    return BundleFixture{{"canon.bin", CANON},
                         {"manifest.json", R"({"dependencies": [{"id": "mirel2/shared-enc", "sha256": ")" + WANT + "\"}]}"},
                         {"identity.tflite", "delta"},
                         {"shared-enc.tflite", "not the base"}}
        .write_zip(tmp.path() / "split.zip");
  }
  // A copy of the program at <tmp>/p1/p2/p3/tarnhost, away from its plug-in.
  std::string relocated() const {
    const auto dir = tmp.path() / "p1/p2/p3";
    fs::create_directories(dir);
    fs::copy_file(TARNHOST, dir / "tarnhost");
    return (dir / "tarnhost").string();
  }
  bool stage_empty() const { return !fs::exists(stage) || fs::is_empty(stage); }
};

TEST(Tarnhost, FindsItsPluginAndRefusesAnUnverifiedBase) {
  Host h;
  const std::string bundle = h.split_bundle();
  const auto r = run_process({TARNHOST, "render-stream", bundle}, "", h.options());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("[tarnhost] FATAL: " + bundle + " was cut against shared-enc.tflite sha256=" + WANT +
                       " and that base is NOT on this machine. Resolution: " + h.stage + "/"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("_shared-enc.tflite (co-located in the bundle): sha mismatch. Put it"), std::string::npos);
  EXPECT_TRUE(h.stage_empty());  // the refused copy went with the exit hook
}

TEST(Tarnhost, WithoutItsPluginASplitIsRefusedAndACombinedBundleIsNot) {
  Host h;
  const std::string host = h.relocated();
  const std::string bundle = h.split_bundle();
  const auto r = run_process({host, bundle}, "", h.options());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("[tarnhost] FATAL: " + bundle +
                       " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification "
                       "policy) \u2014 searched the repo tools/ dir and this host's own directory (" +
                       fs::path(host).parent_path().string() + "/shared_enc_dep.so: cannot open shared object file"),
            std::string::npos)
      << r.err;
  // The combined model needs no plug-in: that bundle gets as far as its own fault.
  const std::string combined =
      BundleFixture{{"canon.bin", CANON + "!"}, {"combined_litert.tflite", "m"}}.write_directory(h.tmp.path() / "c");
  const auto c = run_process({host, combined}, "", h.options());
  EXPECT_EQ(c.status, 1) << c.err;
  EXPECT_NE(c.err.find("multiple of element size"), std::string::npos) << c.err;

  // The plug-in vendored beside the host is found there.
  fs::copy_file(std::string(VELMORA_BIN_DIR) + "/shared_enc_dep.so", fs::path(host).parent_path() / "shared_enc_dep.so");
  const auto v = run_process({host, bundle}, "", h.options());
  EXPECT_EQ(v.status, 3) << v.err;
  EXPECT_NE(v.err.find("that base is NOT on this machine"), std::string::npos) << v.err;
  EXPECT_TRUE(h.stage_empty());
}

}  // namespace
}  // namespace velmora::ostrand
