// The real tarnhost program: its tool plug-in, bundle faults and clean-up, as a peer sees them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "common/bundle.h"
#include "common/sha256.h"
#include "mirel2/ostrand/constants.h"
#include "support/process.h"
#include "mirel2/ostrand/support/render_stream.h"
#include "support/temp_dir.h"
#include "standins/litert/standin_models.h"
#include "support/bundle_fixture.h"
#include "support/text_lines.h"

namespace velmora::ostrand {
namespace {

namespace fs = std::filesystem;
using velmora::testing::BundleFixture;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::TempDir;
namespace standin = velmora::testing::standin;

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

// A zip split bundle whose declared base lies in a content store, served from the command line for one
// chunk's audio and a flush: the first chunk while streaming, the one still owed at the flush.
struct ServedSplit : Host {
  std::string enc = standin::model_json({standin::enc_signature(), standin::tok_signature()});
  std::string want = sha256_hex(enc);
  std::string base = tmp.write("deps/" + want.substr(0, 2) + "/" + want, enc);
  std::string bundle =
      BundleFixture{{"canon.bin", CANON},
                    {"manifest.json", R"({"dependencies": [{"id": "mirel2/shared-enc", "sha256": ")" + want + "\"}]}"},
                    {"identity.tflite", standin::model_json({standin::step_signature(), standin::dec_signature(16),
                                                             standin::dec_signature(8)})},
                    {"color.json", R"({"gain": [1, 1, 1], "bias": [0, 0, 0]})"}}
          .write_zip(tmp.path() / "anna.zip");
  ProcessOptions serve_options() const {
    ProcessOptions o = options();
    o.env["VELMORA_DEPS_DIR"] = tmp.str() + "/deps";
    o.env["MIREL2_RGB_THREADS"] = std::nullopt;
    return o;
  }
  velmora::testing::ProcessResult serve(const ProcessOptions& options) const {
    const std::string input = testing::session_input({{testing::Step::Feed, SPC}, {testing::Step::Flush}});
    return run_process({TARNHOST, "render-stream", bundle, "--threads", "1"}, input, options);
  }
  // The frames of that run, as they must come whatever the log does.
  static void expect_frames(const std::string& stdout_bytes) {
    testing::OutputReader out(false);
    out.consume(stdout_bytes);
    EXPECT_TRUE(out.hello().starts_with(
        "READY {\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"color\":{\"kind\":\"gain_bias\""))
        << out.hello();
    EXPECT_FALSE(out.partial());
    ASSERT_EQ(out.frames(), 22 + 32);
    EXPECT_EQ(out.markers(), 1);
    EXPECT_EQ(out.out_of_order(), 0);
    EXPECT_EQ(out.records().front().index, 3);
    EXPECT_EQ(out.records().back().index, -1);
  }
};

TEST(Tarnhost, ServesASplitBundleFromTheCommandLineWithItsLinesInOrder) {
  const ServedSplit h;
  const std::string &bundle = h.bundle, &want = h.want, &base = h.base;
  const auto r = h.serve(h.serve_options());
  ASSERT_EQ(r.status, 0) << r.err;

  // A statistics line may come too when the machine is slow enough (a step ends 5 s after the ready line).
  auto lines = velmora::testing::split_lines(r.err);
  std::erase_if(lines, [](const std::string& l) { return l.starts_with("[tarnhost] rtf="); });
  ASSERT_EQ(lines.size(), 6u) << r.err;
  EXPECT_EQ(lines[0], "[tarnhost] warming up identity=" + bundle + " threads=1 ...");
  EXPECT_EQ(lines[1], "[tarnhost] two-artifact split: base sha256=" + want.substr(0, 12) +
                          "\u2026 resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via "
                          "name-trusted content store " + base);
  EXPECT_TRUE(lines[2].starts_with("[tarnhost] two-artifact split: enc=" + base + " + id=" + h.stage + "/")) << lines[2];
  EXPECT_TRUE(lines[3].starts_with("[tarnhost] colour-correct: APPLIED")) << lines[3];
  EXPECT_EQ(lines[4], "[tarnhost] ready 416x720 @20fps  model=shared-enc.tflite+identity.tflite");
  EXPECT_EQ(lines[5], "[tarnhost] stdin closed \u2014 exiting");

  ServedSplit::expect_frames(r.out);
  EXPECT_TRUE(h.stage_empty());  // the staged identity delta, released once loaded
}

// Started with standard error closed, the host still serves and its log goes nowhere: neither a failed log
// write nor a file it opens later (a bundle member, the staged model) in the free descriptor's place.
TEST(Tarnhost, WithStandardErrorClosedItServesAndLogsNowhere) {
  const ServedSplit h;
  ProcessOptions options = h.serve_options();
  options.closed = {2};
  options.timeout_seconds = 120;
  const auto r = h.serve(options);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ServedSplit::expect_frames(r.out);
  EXPECT_TRUE(h.stage_empty());
}

// A zip split bundle whose own shared encoder is refused (its staged copy stays listed until the end), with
// the declared base in an engine container: the host serves it with that copy still on disk.
struct StagedCopyHost : Host {
  std::string enc = standin::model_json({standin::enc_signature(), standin::tok_signature()});
  std::string engine = BundleFixture{{"shared-enc.tflite", enc}}.write_zip(tmp.path() / "engine.zip");
  std::string bundle =
      BundleFixture{{"canon.bin", CANON},
                    {"manifest.json",
                     R"({"dependencies": [{"id": "mirel2/shared-enc", "sha256": ")" + sha256_hex(enc) + "\"}]}"},
                    {"identity.tflite",
                     standin::model_json({standin::step_signature(),
                                                   standin::dec_signature(16),
                                                   standin::dec_signature(8)})},
                    {"shared-enc.tflite", "not the base"}}
          .write_zip(tmp.path() / "split.zip");
};

TEST(Tarnhost, AStopSignalRunsTheCleanUpAndEndsByThatSignal) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(::strsignal(sig));
    StagedCopyHost h;
    ProcessOptions options = h.options();
    options.signal = sig;
    options.signal_after = "READY ";
    options.timeout_seconds = 120;
    const auto r = run_process({TARNHOST, h.bundle, "--engine", h.engine, "--threads", "1"}, "", options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, sig) << r.status << ": " << r.err;
    EXPECT_NE(r.err.find("VERIFIED (bytes hashed) via container " + h.engine), std::string::npos) << r.err;
    EXPECT_TRUE(h.stage_empty());
  }
}

TEST(Tarnhost, AFileSizeLimitEndsAsAnErrorWithTheCleanUp) {
  Host h;
  const std::string bundle = BundleFixture{{"canon.bin", CANON}, {"combined_litert.tflite", std::string(1 << 20, 'm')}}
                                 .write_zip(h.tmp.path() / "big.zip");
  ProcessOptions options = h.options();
  options.file_size_limit = 64 << 10;
  const auto r = run_process({TARNHOST, bundle}, "", options);
  EXPECT_EQ(r.signal, 0) << r.status;
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_TRUE(h.stage_empty());
}

TEST(Tarnhost, HostileBundlesFailFastInBoundedMemory) {
  Host h;
  const std::string model = standin::model_json(standin::combined_signatures());
  const auto fifo = [&](const std::string& name) {
    const std::string p = (h.tmp.path() / name).string();
    fs::create_directories(fs::path(p).parent_path());
    EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0) << p;
    return p;
  };
  // Directory bundles that serve the int8 decoder variant when the CPU has int8 dot products, so that their
  // manifest is read straight from the folder (elsewhere the choice stops before it, and they simply load).
  const auto q8gd_bundle = [&](const std::string& name) {
    return BundleFixture{{"canon.bin", CANON}, {"combined_litert.tflite", model}, {"combined_litert_q8gd.tflite", model}}
        .write_directory(h.tmp.path() / name);
  };
  const std::string zero_link = q8gd_bundle("zero");
  fs::create_symlink("/dev/zero", fs::path(zero_link) / "manifest.json");
  const std::string fifo_manifest = q8gd_bundle("fifo");
  fifo("fifo/manifest.json");
  const std::string cap = std::to_string(SMALL_MEMBER_MAX_BYTES);

  // Peaks of the sanitizer build: some 60 MiB to fail at colour correction, 160 MiB to serve.
  struct Case {
    const char* what;
    std::string bundle;
    int status;
    std::string err_has;
    long peak_mib;  // at most
  };
  const Case cases[] = {
      {"a 128 MiB deflate bomb as color.json",
       BundleFixture{{"canon.bin", CANON},
                     {"combined_litert.tflite", model},
                     {"color.json", std::string(128 << 20, ' ') + "{}", velmora::testing::Store::Deflated}}
           .write_zip(h.tmp.path() / "bomb.zip"),
       1, "member 'color.json' is larger than " + cap + " bytes", 100},
      {"a FIFO as the bundle", fifo("bundle.fifo"), 3, "[tarnhost] FATAL: no canon.bin in ", 100},
      {"manifest.json linked to /dev/zero", zero_link, 0, "[tarnhost] ready ", 400},
      {"manifest.json a FIFO", fifo_manifest, 0, "[tarnhost] ready ", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessOptions options = h.options();
    options.env["MIREL2_RGB_THREADS"] = "1";
    options.env["MIREL2_Q8GD"] = std::nullopt;
    options.env["MIREL2_COLOR_CORRECT"] = std::nullopt;
    options.timeout_seconds = 60;
    options.sample_memory = true;
    const auto r = run_process({TARNHOST, c.bundle, "--threads", "1"}, "", options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    // On a CPU with int8 dot products the int8 choice reads the manifest; the one it cannot read makes it fall
    // back, named in its line.
    if (c.status == 0 && r.err.find("no int8 dot product") == std::string::npos) {
      EXPECT_NE(r.err.find("[q8gd] FALLBACK: RuntimeError: " + c.bundle + "/manifest.json: not a regular file"),
                std::string::npos)
          << r.err;
    }
    EXPECT_LT(r.sampled_peak_kb, c.peak_mib << 10);
    EXPECT_TRUE(h.stage_empty());
  }
}

TEST(Tarnhost, AClosedStandardStreamEndsStartUp) {
  Host h;
  const std::string bundle =
      BundleFixture{{"canon.bin", CANON}, {"combined_litert.tflite", standin::model_json(standin::combined_signatures())}}
          .write_directory(h.tmp.path() / "b");
  for (const int fd : {0, 1}) {
    ProcessOptions options = h.options();
    options.closed = {fd};
    options.timeout_seconds = 60;
    const auto r = run_process({TARNHOST, bundle}, "", options);
    EXPECT_EQ(r.status, 1) << fd << ": " << r.err;
    EXPECT_EQ(r.out, "") << fd;
    EXPECT_NE(r.err.find(fd == 0 ? "standard input" : "standard output"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warming up"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace velmora::ostrand
