#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "common/bundle.h"
#include "common/sha256.h"
#include "mirel2/ostrand/q8gd.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"

namespace velmora::ostrand {
namespace {

using testing::BundleFixture;
using testing::ScopedEnv;
using testing::TempDir;

const std::string VARIANT = "int8 decoder model";
const std::string Q8 = sha256_hex(VARIANT);
const std::string BASE = sha256_hex("combined model");

const std::string CPU_VNNI = "processor\t: 0\nflags\t\t: fpu avx512_vnni sse2 avx_vnni\nbugs\t\t: none\n";

std::string fallback(const std::string& why) {
  return "[q8gd] FALLBACK: " + why + " \u2014 serving combined_litert.tflite";
}
std::string selected(const std::string& isa, const std::string& rt_why) {
  return "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu " + isa + "; sha " + Q8.substr(0, 12) +
         " bound; " + rt_why + ")";
}
const std::string NOT_RECORDED = "gate runtime not recorded (published before 2026-10-05)";

// A manifest binding the variant: members_sha256 and the litert_q8gd block, each replaceable whole.
std::string manifest(const std::string& members, const std::string& block) {
  return "{\"format\": 1, \"members_sha256\": " + members + ", \"litert_q8gd\": " + block + "}";
}
std::string members(const std::string& q8 = Q8, const std::string& base = BASE) {
  return "{\"combined_litert_q8gd.tflite\": \"" + q8 + "\", \"combined_litert.tflite\": \"" + base + "\"}";
}
std::string block(const std::string& gate = "", const std::string& sha = Q8, const std::string& base_sha = BASE,
                  const std::string& base_member = "\"combined_litert.tflite\"") {
  return "{\"sha256\": \"" + sha + "\", \"base_member\": " + base_member + ", \"base_sha256\": \"" + base_sha + "\"" +
         (gate.empty() ? "" : ", \"gate\": " + gate) + "}";
}
const std::string GOOD = manifest(members(), block());

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

struct Case {
  const char* what;
  std::optional<std::string> manifest = GOOD;   // nothing: no manifest.json
  std::optional<std::string> cpuinfo = CPU_VNNI;  // nothing: no CPU description file
  std::optional<std::string> env = {};          // MIREL2_Q8GD
  std::optional<std::string> runtime = "2.1";   // the running runtime's version
  std::string variant = VARIANT;
  bool served = false;
  std::string line;  // "{bundle}" stands for the bundle's path
};

TEST(Q8gd, EachOutcomeGivesItsLine) {
  const Case cases[] = {
      {"everything in order", GOOD, CPU_VNNI, {}, "2.1", VARIANT, true, selected("avx512_vnni", NOT_RECORDED)},
      // The switch can only turn the variant off; with it off nothing else is read.
      {"switch off", {}, {}, " OFF ", "2.1", VARIANT, false,
       "[q8gd] off (MIREL2_Q8GD=off) \u2014 serving combined_litert.tflite"},
      {"switch 0", {}, {}, "0", "2.1", VARIANT, false, "[q8gd] off (MIREL2_Q8GD=0) \u2014 serving combined_litert.tflite"},
      {"switch no", GOOD, CPU_VNNI, "No", "2.1", VARIANT, false,
       "[q8gd] off (MIREL2_Q8GD=no) \u2014 serving combined_litert.tflite"},
      {"switch false", GOOD, CPU_VNNI, "false", "2.1", VARIANT, false,
       "[q8gd] off (MIREL2_Q8GD=false) \u2014 serving combined_litert.tflite"},
      {"switch empty", GOOD, CPU_VNNI, "", "2.1", VARIANT, true, selected("avx512_vnni", NOT_RECORDED)},
      {"switch on", GOOD, CPU_VNNI, "on", "2.1", VARIANT, true, selected("avx512_vnni", NOT_RECORDED)},
      {"switch 1", GOOD, CPU_VNNI, "1", "2.1", VARIANT, true, selected("avx512_vnni", NOT_RECORDED)},
      {"switch auto", GOOD, CPU_VNNI, " auto ", "2.1", VARIANT, true, selected("avx512_vnni", NOT_RECORDED)},
      // CPU flags: the first line beginning "flags" only.
      {"no CPU description", {}, {}, {}, "2.1", VARIANT, false,
       fallback("this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)")},
      {"flag only on a later line", GOOD, "flags : sse2 avx2\nflags : avx512_vnni avx_vnni\n", {}, "2.1", VARIANT, false,
       fallback("this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)")},
      {"capitalised Flags does not count", GOOD, "Flags : avx_vnni\n", {}, "2.1", VARIANT, false,
       fallback("this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)")},
      {"indented flags does not count", GOOD, " flags : avx_vnni\n", {}, "2.1", VARIANT, false,
       fallback("this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)")},
      {"a longer word counts", GOOD, "flagsy\t: avx_vnni\r\nflags: avx512_vnni", {}, "2.1", VARIANT, true,
       selected("avx_vnni", NOT_RECORDED)},
      {"both flags, preferred first", GOOD, "x\rflags: avx_vnni\tavx512_vnni\n", {}, "2.1", VARIANT, true,
       selected("avx512_vnni", NOT_RECORDED)},
      {"flag glued to the colon", GOOD, "flags:avx_vnni", {}, "2.1", VARIANT, true, selected("avx_vnni", NOT_RECORDED)},
      {"flag only as a part of a word", GOOD, "flags : xavx_vnni avx512_vnnix\n", {}, "2.1", VARIANT, false,
       fallback("this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)")},
      {"flags line without a colon", GOOD, "flags avx_vnni\n", {}, "2.1", VARIANT, false,
       fallback("IndexError: list index out of range")},
      // The manifest is read only now, straight from the directory.
      {"no manifest", {}, CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("FileNotFoundError: [Errno 2] No such file or directory: '{bundle}/manifest.json'")},
      {"manifest with a byte-order mark", "\xEF\xBB\xBF" + GOOD, CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("JSONDecodeError: Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)")},
      {"manifest not JSON", "members", CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("JSONDecodeError: Expecting value: line 1 column 1 (char 0)")},
      {"manifest not UTF-8", "{\"a\": \"\xc3\x28\"}", CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("UnicodeDecodeError: 'utf-8' codec can't decode byte 0xc3 in position 7: invalid start byte")},
      {"manifest an empty list", "[]", CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("the header does not bind it (no members_sha256 entry / litert_q8gd block)")},
      {"manifest a list", "[1]", CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("AttributeError: 'list' object has no attribute 'get'")},
      {"members_sha256 a text", manifest("\"x\"", block()), CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("AttributeError: 'str' object has no attribute 'get'")},
      // The binding.
      {"no block", "{\"members_sha256\": " + members() + "}", CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("the header does not bind it (no members_sha256 entry / litert_q8gd block)")},
      {"block not an object", manifest(members(), "[1]"), CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("the header does not bind it (no members_sha256 entry / litert_q8gd block)")},
      {"no digest for the variant", manifest("{\"combined_litert.tflite\": \"" + BASE + "\"}", block()), CPU_VNNI, {},
       "2.1", VARIANT, false, fallback("the header does not bind it (no members_sha256 entry / litert_q8gd block)")},
      {"block digest disagrees", manifest(members(), block("", BASE)), CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("litert_q8gd.sha256 disagrees with members_sha256")},
      {"cut from another base", manifest(members(), block("", Q8, Q8)), CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("STALE: cut from combined_litert.tflite " + Q8.substr(0, 12) + ", the header declares " +
                BASE.substr(0, 12))},
      {"cut from another member", manifest(members(), block("", Q8, BASE, "\"identity.tflite\"")), CPU_VNNI, {}, "2.1",
       VARIANT, false,
       fallback("STALE: cut from combined_litert.tflite " + BASE.substr(0, 12) + ", the header declares " +
                BASE.substr(0, 12))},
      {"no digest for the combined model",
       manifest("{\"combined_litert_q8gd.tflite\": \"" + Q8 + "\"}", block()), CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("STALE: cut from combined_litert.tflite " + BASE.substr(0, 12) + ", the header declares None")},
      {"upper-case digests agree but differ from the bytes", manifest(members(upper(Q8), BASE), block("", upper(Q8))),
       CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("bytes " + Q8.substr(0, 12) + " != declared " + upper(Q8).substr(0, 12))},
      // The runtime gate: exact text equality.
      {"gate on this runtime", manifest(members(), block("{\"runtime\": \"2.1\"}")), CPU_VNNI, {}, "2.1", VARIANT, true,
       selected("avx512_vnni", "gated on this runtime (ai-edge-litert 2.1)")},
      {"gate on another runtime", manifest(members(), block("{\"runtime\": \"2.1\"}")), CPU_VNNI, {}, "2.1.0", VARIANT,
       false, fallback("gated on ai-edge-litert 2.1, this process runs 2.1.0 \u2014 re-gate it")},
      {"gate, runtime unreadable", manifest(members(), block("{\"runtime\": \"2.1\"}")), CPU_VNNI, {}, {}, VARIANT,
       false, fallback("gated on ai-edge-litert 2.1, this process's runtime is unreadable")},
      {"gate runtime not a text", manifest(members(), block("{\"runtime\": 2.1}")), CPU_VNNI, {}, "2.1", VARIANT, false,
       fallback("gated on ai-edge-litert 2.1, this process runs 2.1 \u2014 re-gate it")},
      {"gate not an object", manifest(members(), block("\"2.1\"")), CPU_VNNI, {}, {}, VARIANT, true,
       selected("avx512_vnni", NOT_RECORDED)},
      {"gate runtime empty", manifest(members(), block("{\"runtime\": \"\"}")), CPU_VNNI, {}, {}, VARIANT, true,
       selected("avx512_vnni", NOT_RECORDED)},
      // The variant's own bytes.
      {"variant bytes changed", GOOD, CPU_VNNI, {}, "2.1", "tampered", false,
       fallback("bytes " + sha256_hex("tampered").substr(0, 12) + " != declared " + Q8.substr(0, 12))},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    BundleFixture fixture{{"combined_litert.tflite", "not what the manifest declares"},
                          {"combined_litert_q8gd.tflite", c.variant}};
    if (c.manifest) fixture.add("manifest.json", *c.manifest);
    const std::string bundle = fixture.write_directory(tmp.path() / "b");
    const std::string cpu = tmp.str() + "/cpuinfo";
    if (c.cpuinfo) tmp.write("cpuinfo", *c.cpuinfo);
    ScopedEnv env("MIREL2_Q8GD", c.env);
    int asked = 0;
    const auto choice = select_q8gd(bundle, {cpu, [&] {
                                               ++asked;
                                               return c.runtime;
                                             }});
    std::string want_line = c.line;
    if (const auto at = want_line.find("{bundle}"); at != std::string::npos) want_line.replace(at, 8, bundle);
    EXPECT_EQ(choice.line, want_line) << c.what;
    EXPECT_EQ(choice.path, c.served ? std::optional<std::string>(bundle + "/combined_litert_q8gd.tflite") : std::nullopt)
        << c.what;
    // The runtime is asked only once the binding holds, and then once.
    const bool past_binding = c.served || want_line.find("gated on") != std::string::npos ||
                              want_line.find("bytes ") != std::string::npos;
    EXPECT_EQ(asked, past_binding ? 1 : 0) << c.what;
  }
}

TEST(Q8gd, OnlyDirectoryBundlesHoldingTheVariantAreConsidered) {
  TempDir tmp;
  const std::string cpu = tmp.write("cpuinfo", CPU_VNNI);
  const BundleFixture full{{"manifest.json", GOOD}, {"combined_litert.tflite", "c"}, {"combined_litert_q8gd.tflite", VARIANT}};
  const auto forms = full.write_forms(tmp.path() / "full");
  const auto lacking = BundleFixture{{"manifest.json", GOOD}, {"combined_litert.tflite", "c"}}.write_directory(tmp.path() / "lacking");
  std::filesystem::create_directories(tmp.path() / "folder" / "combined_litert_q8gd.tflite");
  for (const auto& b : {forms.imx, forms.zip, lacking, tmp.str() + "/folder", tmp.str() + "/missing"}) {
    const auto choice = select_q8gd(b, {cpu, [] { return std::optional<std::string>("2.1"); }});
    EXPECT_EQ(choice.path, std::nullopt) << b;
    EXPECT_EQ(choice.line, "") << b;
  }
  EXPECT_TRUE(select_q8gd(forms.directory, {cpu, {}}).path.has_value());
}

TEST(Q8gd, AManifestThatIsNoSmallRegularFileIsAFallback) {
  // Read straight from the folder, so without blocking on a FIFO, reading a device without end or taking more
  // than a small member may hold.
  TempDir tmp;
  const std::string cpu = tmp.write("cpuinfo", CPU_VNNI);
  const std::string cap = std::to_string(SMALL_MEMBER_MAX_BYTES);
  struct Case {
    const char* what;
    std::function<void(const std::string& manifest)> make;
    std::string why;  // "{m}" stands for the manifest's path
  };
  const Case cases[] = {
      {"a FIFO", [](const std::string& m) { ASSERT_EQ(::mkfifo(m.c_str(), 0600), 0); },
       "RuntimeError: {m}: not a regular file"},
      {"a link to /dev/zero", [](const std::string& m) { std::filesystem::create_symlink("/dev/zero", m); },
       "RuntimeError: {m}: not a regular file"},
      {"a folder", [](const std::string& m) { std::filesystem::create_directory(m); },
       "IsADirectoryError: [Errno 21] Is a directory: '{m}'"},
      {"one byte over the cap",
       [](const std::string& m) { std::ofstream(m) << GOOD << std::string(SMALL_MEMBER_MAX_BYTES + 1 - GOOD.size(), ' '); },
       "RuntimeError: {b}: member 'manifest.json' is larger than " + cap + " bytes, the cap for a member that is not a model"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string b = BundleFixture{{"combined_litert_q8gd.tflite", VARIANT}}.write_directory(tmp.path() / std::to_string(n++));
    const std::string m = b + "/manifest.json";
    c.make(m);
    std::string why = c.why;
    const auto at = why.find('{');
    why.replace(at, 3, why[at + 1] == 'm' ? m : b);
    const auto choice = select_q8gd(b, {cpu, {}});
    EXPECT_EQ(choice.path, std::nullopt) << c.what;
    EXPECT_EQ(choice.line, fallback(why)) << c.what;
  }
}

TEST(Q8gd, AnEmptyVariantIsHashedLikeAnyOther) {
  TempDir tmp;
  const std::string empty = sha256_hex("");
  const std::string bundle = BundleFixture{{"combined_litert_q8gd.tflite", ""},
                                           {"manifest.json", manifest(members(empty), block("", empty))}}
                                 .write_directory(tmp.path() / "b");
  const auto choice = select_q8gd(bundle, {tmp.write("cpuinfo", "flags: avx_vnni"), {}});
  EXPECT_EQ(choice.path, bundle + "/combined_litert_q8gd.tflite");
  EXPECT_EQ(choice.line, "[q8gd] SELECTED combined_litert_q8gd.tflite (int8 decoder; cpu avx_vnni; sha " +
                             empty.substr(0, 12) + " bound; " + NOT_RECORDED + ")");
}

}  // namespace
}  // namespace velmora::ostrand
