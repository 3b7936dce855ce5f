#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/zip_archive.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// A stored (uncompressed) archive with one entry, built by hand so that tests can damage any byte of it.
// `flags` is the general-purpose flag word (bit 11: names in UTF-8); `local_name` and `local_flags` are the name
// and flag word of the local header (by default the same).
std::string stored_zip(const std::string& name, const std::string& data, std::uint16_t flags = 0,
                       const std::string& comment = "", std::optional<std::string> local_name = std::nullopt,
                       std::optional<std::uint16_t> local_flags = std::nullopt) {
  const std::string& lname = local_name ? *local_name : name;
  auto u16 = [](std::string& s, unsigned v) { s.push_back(char(v & 0xff)), s.push_back(char(v >> 8)); };
  auto u32 = [&](std::string& s, std::uint32_t v) { u16(s, v & 0xffff), u16(s, v >> 16); };
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  crc ^= 0xffffffffu;
  std::string local = "PK\x03\x04";
  u16(local, 20), u16(local, local_flags.value_or(flags)), u16(local, 0), u16(local, 0), u16(local, 0x21);
  u32(local, crc), u32(local, data.size()), u32(local, data.size()), u16(local, lname.size()), u16(local, 0);
  local += lname + data;
  std::string central = "PK\x01\x02";
  u16(central, 20), u16(central, 20), u16(central, flags), u16(central, 0), u16(central, 0), u16(central, 0x21);
  u32(central, crc), u32(central, data.size()), u32(central, data.size()), u16(central, name.size());
  u16(central, 0), u16(central, 0), u16(central, 0), u16(central, 0), u32(central, 0), u32(central, 0);
  central += name;
  std::string end = "PK\x05\x06";
  u16(end, 0), u16(end, 0), u16(end, 1), u16(end, 1), u32(end, central.size()), u32(end, local.size());
  u16(end, comment.size());
  return local + central + end + comment;
}

// Reads entry 0 of `za`: it must hold "{}" when `error` is empty, else fail with a message ending in `error`.
void expect_read(const ZipArchive& za, const std::string& error) {
  if (error.empty()) {
    EXPECT_EQ(za.read(0), "{}");
    return;
  }
  try {
    za.read(0);
    ADD_FAILURE() << "read";
  } catch (const ZipError& e) {
    EXPECT_TRUE(std::string(e.what()).ends_with(": " + error)) << e.what();
  }
}

class ZipArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zip_archive_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const auto p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  fs::path dir_;
};

TEST_F(ZipArchiveTest, ReadsNamesAndEntriesFromFileAndMemory) {
  const std::string bytes = stored_zip("dir/a.bin", std::string("x\0y", 3));
  const auto path = write("a.zip", bytes);
  ASSERT_TRUE(is_zip_file(path));
  std::vector<ZipArchive> opened;
  opened.push_back(ZipArchive::open_file(path));
  opened.push_back(ZipArchive::open_bytes(std::make_shared<std::string>(bytes)));
  for (const auto& za : opened) {
    ASSERT_EQ(za.names(), std::vector<std::string>{"dir/a.bin"});
    EXPECT_EQ(za.read(0), std::string("x\0y", 3));
    EXPECT_THROW(za.read(0, 2), ZipError);
    EXPECT_THROW(za.read(1), ZipError);
  }
}

TEST_F(ZipArchiveTest, NamesFollowTheLanguageEncodingFlag) {
  // 0x82 is e-acute in code page 437; with the UTF-8 flag the same bytes must stay as they are.
  const auto cp437 = write("cp.zip", stored_zip("caf\x82", "1"));
  EXPECT_EQ(ZipArchive::open_file(cp437).names()[0], "caf\xc3\xa9");
  const auto utf8 = write("u8.zip", stored_zip("caf\xc3\xa9", "1", 1u << 11));
  EXPECT_EQ(ZipArchive::open_file(utf8).names()[0], "caf\xc3\xa9");
}

TEST_F(ZipArchiveTest, NamesAndTheirLocalCopiesAsZipfileReadsThem) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::string name;
    std::uint16_t flags;
    std::optional<std::string> local;
    std::string want_name;
    std::string error;  // "" when the entry reads
  };
  const Case cases[] = {
      {"a NUL ends the name", "color.json\0bak"s, 0, {}, "color.json", ""},
      {"control bytes as themselves", "a\x01" "b\x1f\x7f", 0, {}, "a\x01" "b\x1f\x7f", ""},
      {"control bytes with the UTF-8 flag", "a\x01\xc3\xa9", 1u << 11, {}, "a\x01\xc3\xa9", ""},
      {"another name in the local header", "color.json", 0, "other.json", "color.json",
       "File name in directory 'color.json' and header b'other.json' differ."},
      {"the local header without the part after the NUL", "color.json\0bak"s, 0, "color.json", "color.json",
       "File name in directory 'color.json\\x00bak' and header b'color.json' differ."},
      {"the local header decoded as the directory says", "caf\x82", 0, "caf\xc3\xa9", "caf\xc3\xa9",
       "File name in directory 'caf\xc3\xa9' and header b'caf\\xc3\\xa9' differ."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = stored_zip(c.name, "{}", c.flags, "", c.local);
    std::vector<ZipArchive> opened;
    opened.push_back(ZipArchive::open_file(write("n.zip", bytes)));
    opened.push_back(ZipArchive::open_bytes(std::make_shared<std::string>(bytes)));
    for (const auto& za : opened) {
      ASSERT_EQ(za.names(), std::vector<std::string>{c.want_name});
      expect_read(za, c.error);
    }
  }
}

// zipfile decodes a local header's copy of the name by that header's own language-encoding flag before it
// compares it with the directory's name.
TEST_F(ZipArchiveTest, LocalNamesAreDecodedByTheirOwnFlag) {
  constexpr std::uint16_t UTF8 = 1u << 11;
  struct Case {
    const char* what;
    std::string name;
    std::uint16_t flags;
    std::string local;
    std::uint16_t local_flags;
    std::string error;  // "" when the entry reads
  };
  const Case cases[] = {
      {"UTF-8 in the directory, code page 437 in the header", "caf\xc3\xa9", UTF8, "caf\xc3\xa9", 0,
       "File name in directory 'caf\xc3\xa9' and header b'caf\\xc3\\xa9' differ."},
      {"code page 437 in the directory, UTF-8 in the header", "caf\x82", 0, "caf\xc3\xa9", UTF8, ""},
      {"a header flagged UTF-8 that is not", "caf\x82", 0, "caf\x82", UTF8,
       "entry name b'caf\\x82' is flagged UTF-8 but is not"},
      {"ASCII reads the same either way", "a.json", UTF8, "a.json", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = stored_zip(c.name, "{}", c.flags, "", c.local, c.local_flags);
    expect_read(ZipArchive::open_bytes(std::make_shared<std::string>(bytes)), c.error);
  }
}

// Each failure says what is wrong: a system error in the system's words, damage in words of its own (libzip
// reports some of it as "No such file" or "Invalid argument").
TEST_F(ZipArchiveTest, FailuresSayWhatIsWrong) {
  const std::string good = stored_zip("m", "data");
  const std::size_t central = good.find("PK\x01\x02");
  const auto patched = [&](std::size_t at, std::uint32_t value) {
    std::string b = good;
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<char>(value >> (8 * k));
    return b;
  };
  const std::string NO_ZIP64 = "entry 'm' marks its size or offset as 64-bit but has no zip64 extra field that holds it";
  const struct {
    const char* what;
    std::string path;  // opened as a file when set, else `bytes` in memory
    std::string bytes;
    std::string error;
  } opens[] = {
      {"an empty file", write("empty.zip", ""), "", "not a zip archive: it has no end-of-central-directory record"},
      {"text", write("text.zip", "just some text"), "", "not a zip archive: it has no end-of-central-directory record"},
      {"no such file", (dir_ / "absent.zip").string(), "", "not a readable zip archive: No such file or directory"},
      {"a folder", dir_.string(), "", "not a readable zip archive: not a regular file"},
      {"64-bit size", "", patched(central + 24, 0xffffffffu), NO_ZIP64},
      {"64-bit compressed size", "", patched(central + 20, 0xffffffffu), NO_ZIP64},
      {"64-bit offset", "", patched(central + 42, 0xffffffffu), NO_ZIP64},
      // Method 99 (and a zero time after it) without the extra field that names the real method.
      {"AES without its extra field", "", patched(central + 10, 99),
       "entry 'm' is encrypted (AES): encrypted entries are not supported"},
  };
  for (const auto& c : opens) {
    SCOPED_TRACE(c.what);
    try {
      if (c.path.empty()) ZipArchive::open_bytes(std::make_shared<std::string>(c.bytes));
      else ZipArchive::open_file(c.path);
      ADD_FAILURE() << "opened";
    } catch (const ZipError& e) {
      EXPECT_TRUE(std::string(e.what()).ends_with(": " + c.error)) << e.what();
    }
  }
  // A local header whose extra field runs past the end of the archive.
  std::string long_extra = good;
  long_extra[29] = '\x55';
  expect_read(ZipArchive::open_bytes(std::make_shared<std::string>(long_extra)),
              "cannot read m: an offset or length points past the end");
  // The traditional encryption flag, in both headers.
  std::string encrypted = good;
  encrypted[6] |= 1;
  encrypted[central + 8] |= 1;
  expect_read(ZipArchive::open_bytes(std::make_shared<std::string>(encrypted)),
              "cannot read m: encrypted entries are not supported");
}

TEST_F(ZipArchiveTest, DamagedContentFailsItsCrcCheck) {
  std::string bytes = stored_zip("m", "hello world");
  bytes[30 + 1 + 4] ^= 1;  // a byte of the data, after the 30-byte local header and the 1-byte name
  const auto path = write("bad.zip", bytes);
  EXPECT_THROW(ZipArchive::open_file(path).read(0), ZipError);
}

// libzip hands out an entry that records no compressed bytes as empty and checks nothing; what was read must
// still match the CRC-32 and the size that the entry records.
TEST_F(ZipArchiveTest, WhatWasReadMustMatchTheEntrysRecordedCrcAndSize) {
  const auto patched = [](std::string bytes, std::initializer_list<std::pair<std::size_t, std::uint32_t>> fields) {
    const std::size_t central = bytes.find("PK\x01\x02");
    // Each field by its place in the local header; the central header keeps the same one 2 bytes later.
    for (const auto& [local_at, value] : fields) {
      for (const std::size_t at : {local_at, central + local_at + 2}) {
        for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k));
      }
    }
    return bytes;
  };
  constexpr std::size_t CRC = 14, COMPRESSED = 18, SIZE = 22;
  const struct {
    const char* what;
    std::string bytes;
    std::string error;  // "" when the entry reads as it was stored
  } cases[] = {
      {"an empty entry", stored_zip("m", ""), ""},
      {"no compressed bytes for two", patched(stored_zip("m", "{}"), {{COMPRESSED, 0}}), "cannot read m: CRC error"},
      {"no compressed bytes, and the empty CRC-32", patched(stored_zip("m", "{}"), {{COMPRESSED, 0}, {CRC, 0}}),
       "cannot read m: it holds 0 bytes where its header records 2"},
      {"fewer bytes than recorded", patched(stored_zip("m", "{}"), {{SIZE, 3}}), "cannot read m: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ZipArchive> opened;
    opened.push_back(ZipArchive::open_file(write("r.zip", c.bytes)));
    opened.push_back(ZipArchive::open_bytes(std::make_shared<std::string>(c.bytes)));
    for (const auto& za : opened) {
      try {
        const std::string got = za.read(0);
        EXPECT_TRUE(c.error.empty()) << "read " << got.size() << " bytes";
        EXPECT_EQ(got, "");
      } catch (const ZipError& e) {
        EXPECT_FALSE(c.error.empty()) << e.what();
        EXPECT_NE(std::string(e.what()).find(": " + c.error), std::string::npos) << e.what();
      }
    }
  }
}

TEST_F(ZipArchiveTest, EndRecordTestAsPythonsIsZipfile) {
  const std::string good = stored_zip("m", "data");
  struct Case {
    const char* what;
    std::string bytes;
    bool want;
  };
  const Case cases[] = {
      {"plain archive", good, true},
      {"with a comment", stored_zip("m", "d", 0, "a comment"), true},
      {"trailing garbage after the record", good + "junk", true},
      {"record cut short", good.substr(0, good.size() - 1), false},
      {"empty file", "", false},
      {"no record", std::string(100, 'x'), false},
      {"only a bare record", std::string("PK\x05\x06", 4) + std::string(18, '\0'), true},
  };
  for (const auto& c : cases) EXPECT_EQ(is_zip_file(write("t.zip", c.bytes)), c.want) << c.what;
  EXPECT_FALSE(is_zip_file((dir_ / "missing.zip").string()));
  EXPECT_FALSE(is_zip_file(dir_.string()));
  EXPECT_THROW(ZipArchive::open_file(write("junk.zip", std::string(100, 'x'))), ZipError);
}

}  // namespace
}  // namespace velmora
