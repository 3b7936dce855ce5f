#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/bundle.h"
#include "common/pytext.h"
#include "common/zip_archive.h"
#include "support/temp_dir.h"
#include "support/bundle_fixture.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::BundleFixture;
using testing::BundlePaths;
using testing::Store;
using testing::TempDir;

using Names = std::vector<std::string_view>;
using Found = std::optional<BundleMember>;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(Bundle, FlatMembersReadAlikeFromAllThreeForms) {
  const std::string model = pattern(100000);
  struct Case {
    const char* what;
    BundleFixture fixture;
    Names names;
    Found want;
  };
  const Case cases[] = {
      {"fallback candidate", {{"canon.f32", "F32"}, {"color.json", "{}"}}, {"canon.bin", "canon.f32"},
       BundleMember{"canon.f32", "F32"}},
      {"first candidate wins", {{"canon.f32", "F32"}, {"canon.bin", "BIN"}}, {"canon.bin", "canon.f32"},
       BundleMember{"canon.bin", "BIN"}},
      {"letter case matters", {{"Color.json", "{}"}}, {"color.json"}, std::nullopt},
      {"empty member is found", {{"empty.bin", ""}}, {"empty.bin"}, BundleMember{"empty.bin", ""}},
      {"no candidates", {{"canon.bin", "BIN"}}, {}, std::nullopt},
      {"deflated model", BundleFixture{}.add("combined_litert.tflite", model, Store::Deflated),
       {"absent.tflite", "combined_litert.tflite"}, BundleMember{"combined_litert.tflite", model}},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const BundlePaths paths = c.fixture.write_forms(tmp.path());
    std::vector<std::string> want_listing;
    for (const auto& m : c.fixture.members()) want_listing.push_back(m.name);
    for (const auto& p : paths.all()) {
      EXPECT_EQ(member_bytes(p, c.names), c.want) << c.what << " in " << p;
      EXPECT_EQ(sorted(listing(p)), sorted(want_listing)) << c.what << " in " << p;
    }
    EXPECT_EQ(bundle_form(paths.directory), BundleForm::Directory);
    EXPECT_EQ(bundle_form(paths.imx), BundleForm::Imx);
    EXPECT_EQ(bundle_form(paths.zip), BundleForm::Zip);
  }
}

TEST(Bundle, ContainersFindBaseNamesInFoldersAndTheLastDuplicateWins) {
  TempDir tmp;
  const BundleFixture fixture{{"a/identity.tflite", "first"},
                              {"b/c/identity.tflite", "second", Store::Deflated},
                              {"x/y/shared-enc.tflite", "enc"},
                              {"Color.json", "{}"},
                              {"folder/", ""}};
  const BundlePaths paths = fixture.write_forms(tmp.path());
  for (const auto& p : {paths.imx, paths.zip}) {
    EXPECT_EQ(member_bytes(p, {"identity.tflite"}), (BundleMember{"identity.tflite", "second"})) << p;
    EXPECT_EQ(member_bytes(p, {"shared-enc.tflite"}), (BundleMember{"shared-enc.tflite", "enc"})) << p;
    EXPECT_EQ(member_bytes(p, {"color.json"}), std::nullopt) << p;
    EXPECT_EQ(listing(p), (std::vector<std::string>{"identity.tflite", "identity.tflite", "shared-enc.tflite",
                                                    "Color.json", ""}))
        << p;
  }
  // A directory bundle looks only directly inside itself, and lists every entry, folders included.
  EXPECT_EQ(member_bytes(paths.directory, {"identity.tflite", "shared-enc.tflite"}), std::nullopt);
  EXPECT_EQ(sorted(listing(paths.directory)), (std::vector<std::string>{"Color.json", "a", "b", "folder", "x"}));
}

TEST(Bundle, DirectoryPassesOverFoldersAndFollowsLinks) {
  TempDir tmp;
  const std::string dir = tmp.str() + "/b";
  fs::create_directories(dir + "/canon.bin");
  tmp.write("elsewhere/real.f32", "REAL");
  fs::create_symlink(tmp.str() + "/elsewhere/real.f32", dir + "/canon.f32");
  EXPECT_EQ(member_bytes(dir, {"canon.bin", "canon.f32"}), (BundleMember{"canon.f32", "REAL"}));
  // A link to a directory is a directory bundle.
  fs::create_directory_symlink(dir, tmp.str() + "/link");
  EXPECT_EQ(bundle_form(tmp.str() + "/link"), BundleForm::Directory);
  EXPECT_EQ(member_bytes(tmp.str() + "/link", {"canon.f32"}), (BundleMember{"canon.f32", "REAL"}));
}

TEST(Bundle, PathsWithoutMembersAreNoError) {
  TempDir tmp;
  const std::string cases[] = {tmp.str() + "/missing", tmp.write("plain.txt", "not a bundle"),
                               tmp.write("empty", ""), tmp.write("short.imx", std::string("IMX\0\1\2\3", 7))};
  for (const auto& p : cases) {
    EXPECT_EQ(bundle_form(p), BundleForm::NoMembers) << p;
    EXPECT_EQ(member_bytes(p, {"canon.bin"}), std::nullopt) << p;
    EXPECT_TRUE(listing(p).empty()) << p;
  }
}

TEST(Bundle, ImxCutAtEveryLengthReadsOnlyWhatIsThere) {
  const BundleFixture fixture{{"m/canon.bin", "0123456789"}, {"color.json", "{\"lut\":1}"}};
  const auto img = fixture.imx();
  const auto full = imx_toc(TempDir().write("full.imx", img.bytes));
  ASSERT_TRUE(full.has_value());
  ASSERT_EQ(full->size(), 2u);
  EXPECT_EQ((*full)[0], (ImxEntry{"m/canon.bin", img.entries[0].data, 10}));
  for (std::size_t n = 0; n < img.bytes.size(); ++n) {
    TempDir tmp;
    const std::string p = tmp.write("cut.imx", img.bytes.substr(0, n));
    const auto toc = imx_toc(p);
    if (n < img.table_end) {
      EXPECT_FALSE(toc.has_value()) << n;
      EXPECT_EQ(member_bytes(p, {"canon.bin"}), std::nullopt) << n;
      EXPECT_TRUE(listing(p).empty()) << n;
      continue;
    }
    EXPECT_EQ(toc, full) << n;
    const auto clip = [&](std::size_t i) {
      const auto& e = img.entries[i];
      const std::size_t end = std::min(n, e.data + fixture.members()[i].bytes.size());
      return end > e.data ? img.bytes.substr(e.data, end - e.data) : std::string();
    };
    EXPECT_EQ(member_bytes(p, {"canon.bin"}), (BundleMember{"canon.bin", clip(0)})) << n;
    EXPECT_EQ(member_bytes(p, {"color.json"}), (BundleMember{"color.json", clip(1)})) << n;
  }
}

TEST(Bundle, ImxHeaderAndNamesDecideTheFormBeforeTheZipTest) {
  const std::string zip = BundleFixture{{"canon.bin", "ZIP"}}.zip().bytes;
  struct Case {
    const char* what;
    std::string bytes;
    BundleForm form;
    Found want;
  };
  const Case cases[] = {
      {"reserved bytes are ignored", BundleFixture{{"canon.bin", "IMX"}}.imx(0xbeef).bytes, BundleForm::Imx,
       BundleMember{"canon.bin", "IMX"}},
      {"an empty table is a container: no zip test", testing::imx_header(0) + zip, BundleForm::Imx, std::nullopt},
      {"a NUL inside a name is valid UTF-8",
       testing::imx_header(1) + testing::imx_entry(std::string("a\0b", 3), 0, 3), BundleForm::Imx, std::nullopt},
      {"invalid start byte", testing::imx_header(1) + testing::imx_entry("\xff", 0, 0) + zip, BundleForm::Zip,
       BundleMember{"canon.bin", "ZIP"}},
      {"overlong form", testing::imx_header(1) + testing::imx_entry("\xc0\x80", 0, 0) + zip, BundleForm::Zip,
       BundleMember{"canon.bin", "ZIP"}},
      {"surrogate", testing::imx_header(1) + testing::imx_entry("\xed\xa0\x80", 0, 0) + zip, BundleForm::Zip,
       BundleMember{"canon.bin", "ZIP"}},
      {"third entry cut short",
       testing::imx_header(3) + testing::imx_entry("a", 0, 1) + testing::imx_entry("b", 0, 1) + "\x05", BundleForm::NoMembers,
       std::nullopt},
      {"table cut short, zip after it", testing::imx_header(3) + testing::imx_entry("a", 0, 1) + zip,
       BundleForm::Zip, BundleMember{"canon.bin", "ZIP"}},
      {"other magic", "IMY" + std::string(1, '\0') + testing::imx_header(0).substr(4) + zip, BundleForm::Zip,
       BundleMember{"canon.bin", "ZIP"}},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const std::string p = tmp.write("b.imx", c.bytes);
    EXPECT_EQ(bundle_form(p), c.form) << c.what;
    EXPECT_EQ(member_bytes(p, {"canon.bin"}), c.want) << c.what;
    EXPECT_EQ(listing(p).size(), c.form == BundleForm::Imx ? imx_toc(p)->size() : c.want ? 1u : 0u) << c.what;
  }
}

TEST(Bundle, ImxOffsetsAndSizesAreCheckedAgainstTheFile) {
  constexpr std::uint64_t TOP = std::uint64_t{1} << 63;
  const BundleFixture fixture{{"a.bin", "abcdef"}, {"b.bin", "XY"}};
  struct Case {
    const char* what;
    std::uint64_t offset;  // of a.bin; ~0 keeps the written value
    std::uint64_t size;
    std::optional<std::string> want;  // nothing: the read is refused with BundleError
  };
  const auto img = fixture.imx();
  const std::uint64_t at = img.entries[0].data, file_size = img.bytes.size();
  const Case cases[] = {
      {"in place", at, 6, "abcdef"},
      {"runs past the end", at, 1000, "abcdefXY"},
      {"starts at the end", file_size, 4, ""},
      {"starts past the end", file_size + 100, 4, ""},
      {"size 0", at, 0, ""},
      {"points into the header", 0, 4, std::string("IMX\0", 4)},
      {"largest offset", TOP - 1, 4, ""},
      {"largest size", at + 6, TOP - 1, "XY"},
      {"offset 2^63", TOP, 0, std::nullopt},
      {"size 2^63", at, TOP, std::nullopt},
      {"size 2^64-1", 0, ~std::uint64_t{0}, std::nullopt},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    auto damaged = img;
    damaged.set_offset(0, c.offset);
    damaged.set_size(0, c.size);
    const std::string p = tmp.write("b.imx", damaged.bytes);
    EXPECT_EQ(listing(p), (std::vector<std::string>{"a.bin", "b.bin"})) << c.what;
    EXPECT_EQ(member_bytes(p, {"b.bin"}), (BundleMember{"b.bin", "XY"})) << c.what;
    if (c.want) {
      EXPECT_EQ(member_bytes(p, {"a.bin"}), (BundleMember{"a.bin", *c.want})) << c.what;
    } else {
      EXPECT_THROW(member_bytes(p, {"a.bin"}), BundleError) << c.what;
    }
  }
}

TEST(Bundle, ZipFaultsAfterTheFormIsDecidedReachTheCaller) {
  const BundleFixture fixture{{"dir/canon.bin", "0123456789"}, {"model.tflite", pattern(5000), Store::Deflated}};
  TempDir tmp;
  for (std::size_t entry : {0u, 1u}) {
    auto img = fixture.zip();
    img.corrupt_data(entry);
    const std::string p = tmp.write("crc" + std::to_string(entry) + ".zip", img.bytes);
    EXPECT_EQ(listing(p), (std::vector<std::string>{"canon.bin", "model.tflite"}));
    EXPECT_THROW(member_bytes(p, {entry == 0 ? "canon.bin" : "model.tflite"}), ZipError) << entry;
  }
  auto bad_directory = fixture.zip();
  bad_directory.corrupt_central_directory();
  const std::string p = tmp.write("cd.zip", bad_directory.bytes);
  EXPECT_EQ(bundle_form(p), BundleForm::Zip);
  EXPECT_THROW(member_bytes(p, {"canon.bin"}), ZipError);
  EXPECT_THROW(listing(p), ZipError);
  // Without its end record the file is no zip archive at all.
  const auto whole = fixture.zip().bytes;
  const std::string cut = tmp.write("cut.zip", whole.substr(0, whole.size() - 1));
  EXPECT_EQ(member_bytes(cut, {"canon.bin"}), std::nullopt);
}

TEST(Bundle, ZipAfterOtherBytesIsRead) {
  // Offsets in the archive count from its own start, as when a zip is appended to other data.
  TempDir tmp;
  const std::string p = tmp.write("b.bin", testing::imx_header(9) + "junk" +
                                               BundleFixture{{"x/canon.bin", "Z"}, {"color.json", "{}", Store::Deflated}}.zip().bytes);
  EXPECT_EQ(member_bytes(p, {"color.json"}), (BundleMember{"color.json", "{}"}));
  EXPECT_EQ(member_bytes(p, {"canon.bin"}), (BundleMember{"canon.bin", "Z"}));
  EXPECT_EQ(listing(p), (std::vector<std::string>{"canon.bin", "color.json"}));
}

TEST(Bundle, MembersThatAreNotModelsHaveASizeCap) {
  const std::size_t cap = SMALL_MEMBER_MAX_BYTES;
  const std::string over(cap + 1, ' ');
  TempDir tmp;
  const BundlePaths forms = BundleFixture{{"color.json", over, Store::Deflated},
                                          {"manifest.json", std::string(cap, ' '), Store::Deflated},
                                          {"combined_litert.tflite", over}}
                                .write_forms(tmp.path());
  for (const std::string& b : forms.all()) {
    SCOPED_TRACE(b);
    try {
      member_bytes(b, {"color.json"});
      ADD_FAILURE() << "read beyond the cap";
    } catch (const BundleError& e) {
      EXPECT_EQ(std::string(e.what()), b + ": member 'color.json' is larger than " + std::to_string(cap) +
                                           " bytes, the cap for a member that is not a model");
    }
    EXPECT_EQ(member_bytes(b, {"manifest.json"})->bytes.size(), cap);
    EXPECT_EQ(member_bytes(b, {"combined_litert.tflite"})->bytes.size(), cap + 1);  // models are not capped
  }
  EXPECT_THROW(read_directory_member(forms.directory, "color.json"), BundleError);
}

TEST(Bundle, OnlyRegularFilesAreReadAndNothingBlocks) {
  TempDir tmp;
  const std::string dir = BundleFixture{{"canon.bin", "C"}}.write_directory(tmp.path() / "d");
  const std::string fifo = tmp.str() + "/bundle.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir + "/manifest.json").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir + "/color.json");
  // A FIFO in the bundle's place holds no members, and none of the tests of its form opens it for good.
  EXPECT_EQ(bundle_form(fifo), BundleForm::NoMembers);
  EXPECT_FALSE(is_zip_file(fifo));
  EXPECT_FALSE(imx_toc(fifo).has_value());
  EXPECT_EQ(member_bytes(fifo, {"canon.bin"}), Found{});
  EXPECT_TRUE(listing(fifo).empty());
  // In a folder they are no members; read by name they are refused.
  EXPECT_EQ(member_bytes(dir, {"manifest.json", "color.json"}), Found{});
  for (const char* name : {"manifest.json", "color.json"}) {
    try {
      read_directory_member(dir, name);
      ADD_FAILURE() << name << " read";
    } catch (const BundleError& e) {
      EXPECT_EQ(std::string(e.what()), dir + "/" + name + ": not a regular file");
    }
  }
  EXPECT_EQ(read_directory_member(dir, "canon.bin"), "C");
  // A folder, read by name, fails as reading it would (a model's name included).
  fs::create_directory(dir + "/identity.tflite");
  try {
    read_directory_member(dir, "identity.tflite");
    ADD_FAILURE() << "a folder read";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EISDIR) << e.what();
  }
}

TEST(Bundle, AZipNameEndsAtANul) {
  TempDir tmp;
  using namespace std::string_literals;
  const std::string z = BundleFixture{{"m/color.json\0bak"s, "{}"}}.write_zip(tmp.path() / "b.zip");
  EXPECT_EQ(member_bytes(z, {"color.json"}), (BundleMember{"color.json", "{}"}));
  EXPECT_EQ(listing(z), std::vector<std::string>{"color.json"});
}

TEST(Bundle, ChangesOnDiskAreSeenByTheNextCall) {
  TempDir tmp;
  const std::string p = tmp.str() + "/b";
  BundleFixture{{"canon.bin", "ZIP"}}.write_zip(p);
  EXPECT_EQ(member_bytes(p, {"canon.bin"}), (BundleMember{"canon.bin", "ZIP"}));
  BundleFixture{{"canon.bin", "IMX"}}.write_imx(p);
  EXPECT_EQ(member_bytes(p, {"canon.bin"}), (BundleMember{"canon.bin", "IMX"}));
  fs::remove(p);
  BundleFixture{{"canon.bin", "DIR"}}.write_directory(p);
  EXPECT_EQ(member_bytes(p, {"canon.bin"}), (BundleMember{"canon.bin", "DIR"}));
}

}  // namespace
}  // namespace velmora
