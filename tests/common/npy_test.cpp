#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <system_error>

#include "common/file_read.h"
#include "common/float16.h"
#include "common/npy.h"
#include "common/py_error.h"
#include "support/bundle_fixture.h"

namespace velmora {
namespace {

using namespace std::string_literals;

std::string fixture(const char* name) { return std::string(VELMORA_SOURCE_DIR "/tests/fixtures/common/") + name; }

template <class T>
std::vector<T> vals(const NdArray& a) {
  const auto s = a.values<T>();
  return {s.begin(), s.end()};
}

// A version 1.0 .npy with `header` padded as NumPy pads it, followed by `data`.
std::string npy(std::string header, const std::string& data, int major = 1) {
  const std::size_t fixed = major == 1 ? 10 : 12;
  header += std::string((64 - (fixed + header.size() + 1) % 64) % 64, ' ') + "\n";
  std::string b = "\x93NUMPY";
  b.push_back(static_cast<char>(major));
  b.push_back(0);
  const std::size_t n = header.size();
  b.push_back(static_cast<char>(n & 0xff));
  b.push_back(static_cast<char>((n >> 8) & 0xff));
  if (major != 1) b += std::string(2, '\0');
  return b + header + data;
}

std::string doubles(std::initializer_list<double> v) {
  std::string s(v.size() * 8, '\0');
  std::memcpy(s.data(), v.begin(), s.size());
  return s;
}

NpyMember parse(const std::string& b) { return parse_npy(std::make_shared<const std::string>(b)); }

std::string error_of(const std::string& b) {
  try {
    parse(b);
  } catch (const NpyError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(NpzTest, ReadsEveryElementTypeOrderAndLayout) {
  for (const char* name : {"kinds.npz", "kinds_compressed.npz"}) {
    SCOPED_TRACE(name);
    const NpzFile z = NpzFile::load(fixture(name));
    std::vector<double> m(24);
    for (int i = 0; i < 24; ++i) m[i] = i * 0.5 - 3.0;
    EXPECT_EQ(z.at("f8").shape(), (Shape{2, 3, 4}));
    EXPECT_EQ(vals<double>(z.at("f8")), m);
    EXPECT_EQ(z.at("fortran").shape(), (Shape{2, 3, 4}));
    EXPECT_EQ(vals<double>(z.at("fortran")), m);
    EXPECT_EQ(vals<std::int16_t>(z.at("fortran_i2")), (std::vector<std::int16_t>{0, 1, 2, 3, 4, 5}));
    const auto f4 = vals<float>(z.at("f4_be"));
    EXPECT_EQ(std::vector<double>(f4.begin(), f4.end()), m);
    EXPECT_EQ(vals<std::int64_t>(z.at("i8")), (std::vector<std::int64_t>{-(std::int64_t{1} << 62), -1, 0, std::int64_t{1} << 62}));
    EXPECT_EQ(vals<std::int32_t>(z.at("i4_be")), (std::vector<std::int32_t>{1, -2, 3, -4}));
    EXPECT_EQ(vals<std::int16_t>(z.at("i2")), (std::vector<std::int16_t>{-32768, 32767}));
    EXPECT_EQ(vals<std::int8_t>(z.at("i1")), (std::vector<std::int8_t>{-128, 127}));
    EXPECT_EQ(vals<std::uint8_t>(z.at("u1")), (std::vector<std::uint8_t>{0, 200, 255}));
    EXPECT_EQ(vals<std::uint16_t>(z.at("u2")), (std::vector<std::uint16_t>{65535}));
    EXPECT_EQ(vals<std::uint32_t>(z.at("u4")), (std::vector<std::uint32_t>{4294967295u}));
    EXPECT_EQ(vals<std::uint64_t>(z.at("u8")), (std::vector<std::uint64_t>{18446744073709551615u}));
    EXPECT_EQ(vals<bool>(z.at("b1")), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(z.at("f2").dtype(), DType::Float16);
    EXPECT_EQ(z.at("f2").values<Half>()[1].bits, float_to_half(-2.5f));
    EXPECT_EQ(z.at("scalar").shape(), Shape{});
    EXPECT_EQ(z.at("scalar").as_double(0), 2.25);
    EXPECT_EQ(z.at("empty").shape(), (Shape{0, 3}));
    EXPECT_EQ(z.at("empty").dtype(), DType::Float32);
    // Texts and complex numbers load as members that cannot be read as arrays.
    EXPECT_TRUE(z.contains("text"));
    EXPECT_THROW(z.at("text"), NpyError);
    EXPECT_THROW(z.at("cplx"), NpyError);
    EXPECT_THROW(z.at("nope"), KeyError);
    EXPECT_EQ(z.keys().front(), "f8");
  }
}

TEST(NpzTest, ObjectArraysRefuseTheWholeLoad) {
  try {
    NpzFile::load(fixture("object.npz"));
    FAIL() << "loaded";
  } catch (const NpyError& e) {
    EXPECT_NE(std::string(e.what()).find("member 'obj': Object arrays cannot be loaded when allow_pickle=False"),
              std::string::npos) << e.what();
  }
}

TEST(NpzTest, HeaderVersionsRawEntriesAndMissingFiles) {
  const NpzFile z = NpzFile::load(fixture("versions.npz"));
  EXPECT_EQ(vals<double>(z.at("v2")), (std::vector<double>{1.5, -1.5}));
  EXPECT_EQ(vals<double>(z.at("v3")), (std::vector<double>{1.5, -1.5}));
  EXPECT_TRUE(z.contains("notes.txt"));
  EXPECT_THROW(z.at("notes.txt"), NpyError);
  try {
    NpzFile::load(fixture("absent.npz"));
    FAIL();
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
}

TEST(NpzTest, DamagedArchivesAndMembersAreRefused) {
  try {
    NpzFile::load(fixture("damaged.npz"));
    FAIL();
  } catch (const NpyError& e) {
    EXPECT_NE(std::string(e.what()).find("member 'huge': EOF: reading array data, expected 8000000000000 bytes got 16"),
              std::string::npos) << e.what();
  }
  NpzLimits small;
  small.max_member_bytes = 100;
  EXPECT_THROW(NpzFile::load(fixture("kinds.npz"), small), NpyError);
  // Every truncation of an archive fails cleanly (the sanitizers watch the reads).
  const auto whole = std::make_shared<const std::string>(read_file(fixture("kinds_compressed.npz")));
  for (std::size_t n = 0; n < whole->size(); n += 7)
    EXPECT_THROW(NpzFile::load_bytes(std::make_shared<const std::string>(whole->substr(0, n))), NpyError) << n;
}

// A shape NumPy may take but an NdArray cannot (more than 2^62 bytes over the non-zero axes, wherever an axis of 0
// stands) is refused while the header is read, so the error names the archive and the member.
TEST(NpzTest, ShapesAnArrayCannotHoldAreRefusedWithTheirLabel) {
  const std::string TOO_BIG = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
  const auto load = [](const std::string& descr, const std::string& shape) {
    const std::string member = npy("{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + "}", "");
    const std::string zip = testing::BundleFixture{{"big.npy", member}}.zip().bytes;
    return NpzFile::load_bytes(std::make_shared<const std::string>(zip), {}, "pack/host.npz");
  };
  const struct { const char* descr; const char* shape; } refused[] = {
      {"<f4", "(2, 100001, 9236, 97998, 9, 999, 0)"},  // about 2^62.5 bytes
      {"<f4", "(0, 2, 100001, 9236, 97998, 9, 999)"},
      {">i4", "(3, 0, 384307168202282326)"},
      {"|u1", "(4611686018427387905, 0)"},
  };
  for (const auto& c : refused) {
    try {
      load(c.descr, c.shape);
      ADD_FAILURE() << c.shape << " loaded";
    } catch (const NpyError& e) {
      EXPECT_EQ(std::string(e.what()), "pack/host.npz: member 'big': " + TOO_BIG) << c.shape;
    }
  }
  // At the limit the array loads, empty, with its shape.
  const NpzFile z = load("|u1", "(4611686018427387904, 0)");
  EXPECT_EQ(z.at("big").shape(), (Shape{std::int64_t{1} << 62, 0}));
  EXPECT_EQ(z.at("big").size(), 0);
}

TEST(NpyTest, ParsesHeaderLiteralsLikeNumPy) {
  const std::string two = doubles({1.0, 2.0});
  EXPECT_EQ(vals<double>(*parse(npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), }", two)).array),
            (std::vector<double>{1, 2}));
  EXPECT_EQ(parse(npy("{\"shape\": (1, 2), \"fortran_order\": True, \"descr\": \"<f8\"}", two)).array->shape(), (Shape{1, 2}));
  EXPECT_EQ(parse(npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2L,)}", two)).array->size(), 2);
  EXPECT_EQ(parse(npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,)}", two, 2)).array->size(), 2);
  // Trailing bytes after the elements are ignored, as NumPy ignores them.
  EXPECT_EQ(parse(npy("{'descr': '<f8', 'fortran_order': False, 'shape': (1,)}", two)).array->size(), 1);
  EXPECT_FALSE(parse(npy("{'descr': [('a', '<i4')], 'fortran_order': False, 'shape': (1,)}", "abcd")).array);
  EXPECT_FALSE(parse(npy("{'descr': '<f8', 'fortran_order': False, 'shape': (1,1,1,1,1,1,1,1,1)}", two)).array);
}

TEST(NpyTest, MalformedHeadersGiveNumPysErrors) {
  const std::string d = doubles({1.0, 2.0});
  const std::string TOO_BIG = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
  const struct { std::string bytes; std::string error; } cases[] = {
      {"\x93NUMP"s, "EOF: reading magic string, expected 8 bytes got 5"},
      {"\x93NUMPZ\x01\x00"s, "the magic string is not correct; expected b'\\x93NUMPY', got b'\\x93NUMPZ'"},
      {"\x93NUMPY\x04\x00\x00\x00"s, "we only support format version (1,0), (2,0), and (3,0), not (4, 0)"},
      {"\x93NUMPY\x01\x00\x7f"s, "EOF: reading array header length, expected 2 bytes got 1"},
      {"\x93NUMPY\x01\x00\x40\x00{"s, "EOF: reading array header, expected 64 bytes got 1"},
      {npy("['descr']", d), "Header is not a dictionary: ['descr']"},
      {npy("{'descr': '<f8', 'shape': (2,)}", d), "Header does not contain the correct keys: ['descr', 'shape']"},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), 'x': 1}", d),
       "Header does not contain the correct keys: ['descr', 'fortran_order', 'shape', 'x']"},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': [2]}", d), "shape is not valid: [2]"},
      {npy("{'descr': '<f8', 'fortran_order': 0, 'shape': (2,)}", d), "fortran_order is not a valid bool: 0"},
      {npy("{'descr': '|O', 'fortran_order': False, 'shape': (2,)}", d), "Object arrays cannot be loaded when allow_pickle=False"},
      {npy("{'descr': [('a', '<i4'), ('b', '|O')], 'fortran_order': False, 'shape': (2,)}", d),
       "Object arrays cannot be loaded when allow_pickle=False"},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (3,)}", d), "EOF: reading array data, expected 24 bytes got 16"},
      // Bytes beyond a signed 64-bit size, counted over the non-zero axes: an axis of 0 does not make them fit.
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (1152921504606846976,)}", d), TOO_BIG},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (0, 1099511627776, 1099511627776)}", d), TOO_BIG},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), 'pad': '" + std::string(10000, 'x') + "'}", d, 2),
       "Header info length ("},
  };
  for (const auto& c : cases) {
    const std::string got = error_of(c.bytes);
    EXPECT_EQ(got.substr(0, c.error.size()), c.error) << got;
  }
}

// Headers that NumPy refuses otherwise, or not at all before it fails elsewhere, are refused with errors of
// our own: an unbalanced or nested-too-deep literal and a shape of floats do not parse; a negative axis names
// the shape; a size beyond 64 bits is too big also where NumPy's own count wraps (it then reports a failed
// reshape) or an axis exceeds a C long (an OverflowError).
TEST(NpyTest, MalformedHeadersNumPyReportsOtherwiseAreRefused) {
  const std::string d = doubles({1.0, 2.0});
  const std::string TOO_BIG = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
  const struct { std::string bytes; std::string error; } cases[] = {
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,)", d), "Cannot parse header: "},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2.0,)}", d), "Cannot parse header: "},
      {npy("{'descr': " + std::string(200, '[') + std::string(200, ']') + ", 'fortran_order': False, 'shape': ()}", d),
       "Cannot parse header: "},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (-1,)}", d), "negative dimensions are not allowed: shape (-1,)"},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (-99999999999999999999999,)}", d),
       "negative dimensions are not allowed: shape (-99999999999999999999999,)"},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (4294967296, 4294967296)}", d), TOO_BIG},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (1099511627776, 1099511627776, 0)}", d), TOO_BIG},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (99999999999999999999999,)}", d), TOO_BIG},
      {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (0, 99999999999999999999999)}", d), TOO_BIG},
  };
  for (const auto& c : cases) {
    const std::string got = error_of(c.bytes);
    EXPECT_EQ(got.substr(0, c.error.size()), c.error) << got;
  }
}

TEST(NpyTest, EveryTruncationIsRefused) {
  const std::string whole = npy("{'descr': '<f8', 'fortran_order': True, 'shape': (1, 2), }", doubles({1.0, 2.0}));
  for (std::size_t n = 0; n < whole.size(); ++n) EXPECT_THROW(parse(whole.substr(0, n)), NpyError) << n;
  EXPECT_TRUE(parse(whole).array);
}

}  // namespace
}  // namespace velmora
