#include "support/bundle_fixture.h"

#include <zlib.h>

#include <fstream>
#include <stdexcept>
#include <tuple>

namespace velmora::testing {
namespace {

void append_le(std::string& out, std::uint64_t value, int width) {
  for (int k = 0; k < width; ++k) out.push_back(static_cast<char>((value >> (8 * k)) & 0xff));
}

bool non_ascii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return true;
  return false;
}

std::string raw_deflate(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(z.total_out);
  return out;
}

}  // namespace

void put_le(std::string& bytes, std::size_t at, std::uint64_t value, int width) {
  for (int k = 0; k < width; ++k) bytes.at(at + k) = static_cast<char>((value >> (8 * k)) & 0xff);
}

void ImxImage::set_count(std::uint16_t n) { put_le(bytes, 6, n, 2); }
void ImxImage::set_offset(std::size_t entry, std::uint64_t offset) { put_le(bytes, entries.at(entry).offset, offset, 8); }
void ImxImage::set_size(std::size_t entry, std::uint64_t size) { put_le(bytes, entries.at(entry).size, size, 8); }

void ZipImage::corrupt_data(std::size_t entry) {
  const auto& e = entries.at(entry);
  if (e.data_size == 0) throw std::logic_error("entry holds no data to corrupt");
  bytes[e.data] = static_cast<char>(bytes[e.data] ^ 0xff);
}

void ZipImage::corrupt_central_directory() {
  const std::size_t at = entries.empty() ? end_record : entries.front().central_header;
  bytes[at] = 'Q';
}

std::string imx_header(std::uint16_t count, std::uint16_t reserved) {
  std::string out("IMX\0", 4);
  append_le(out, reserved, 2);
  append_le(out, count, 2);
  return out;
}

std::string imx_entry(std::string_view name, std::uint64_t offset, std::uint64_t size) {
  std::string out;
  append_le(out, name.size(), 2);
  out += name;
  append_le(out, offset, 8);
  append_le(out, size, 8);
  return out;
}

BundleFixture& BundleFixture::add(std::string name, std::string bytes, Store store) {
  members_.push_back({std::move(name), std::move(bytes), store, {}});
  return *this;
}

BundleFixture& BundleFixture::add(FixtureMember member) {
  members_.push_back(std::move(member));
  return *this;
}

ImxImage BundleFixture::imx(std::uint16_t reserved) const {
  ImxImage img;
  img.bytes = imx_header(static_cast<std::uint16_t>(members_.size()), reserved);
  std::size_t table_size = 0;
  for (const auto& m : members_) table_size += 2 + m.name.size() + 16;
  img.table_end = img.bytes.size() + table_size;
  std::size_t data_at = img.table_end;
  for (const auto& m : members_) {
    ImxEntryAt at{};
    at.name_length = img.bytes.size();
    at.name = at.name_length + 2;
    at.offset = at.name + m.name.size();
    at.size = at.offset + 8;
    at.data = data_at;
    img.bytes += imx_entry(m.name, data_at, m.bytes.size());
    data_at += m.bytes.size();
    img.entries.push_back(at);
  }
  for (const auto& m : members_) img.bytes += m.bytes;
  return img;
}

ZipImage BundleFixture::zip() const {
  ZipImage img;
  std::string central;
  for (const auto& m : members_) {
    const bool folder = !m.name.empty() && m.name.back() == '/';
    const bool deflate = m.store == Store::Deflated && !folder;
    const std::string data = deflate ? raw_deflate(m.bytes) : m.bytes;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(m.bytes.data()), static_cast<uInt>(m.bytes.size())));
    const std::uint16_t flags = m.utf8_flag.value_or(non_ascii(m.name)) ? 0x0800 : 0;
    const std::uint16_t method = deflate ? 8 : 0;
    ZipEntryAt at{};
    at.local_header = img.bytes.size();
    std::string& b = img.bytes;
    b += "PK\x03\x04";
    append_le(b, 20, 2), append_le(b, flags, 2), append_le(b, method, 2), append_le(b, 0, 2), append_le(b, 0x21, 2);
    append_le(b, crc, 4), append_le(b, data.size(), 4), append_le(b, m.bytes.size(), 4);
    append_le(b, m.name.size(), 2), append_le(b, 0, 2);
    b += m.name;
    at.data = b.size();
    at.data_size = data.size();
    b += data;
    at.central_header = central.size();  // made absolute below
    central += "PK\x01\x02";
    append_le(central, 0x031e, 2), append_le(central, 20, 2), append_le(central, flags, 2);
    append_le(central, method, 2), append_le(central, 0, 2), append_le(central, 0x21, 2);
    append_le(central, crc, 4), append_le(central, data.size(), 4), append_le(central, m.bytes.size(), 4);
    append_le(central, m.name.size(), 2), append_le(central, 0, 2), append_le(central, 0, 2);
    append_le(central, 0, 2), append_le(central, 0, 2);
    append_le(central, folder ? (040755u << 16) | 0x10 : (0100644u << 16), 4);
    append_le(central, at.local_header, 4);
    central += m.name;
    img.entries.push_back(at);
  }
  const std::size_t central_at = img.bytes.size();
  for (auto& e : img.entries) e.central_header += central_at;
  img.bytes += central;
  img.end_record = img.bytes.size();
  img.bytes += "PK\x05\x06";
  append_le(img.bytes, 0, 2), append_le(img.bytes, 0, 2);
  append_le(img.bytes, members_.size(), 2), append_le(img.bytes, members_.size(), 2);
  append_le(img.bytes, central.size(), 4), append_le(img.bytes, central_at, 4), append_le(img.bytes, 0, 2);
  return img;
}

ZipImage zeros_zip(BundleFixture members, const std::string& name, std::uint64_t size) {
  if (size >= 0xffffffffu) throw std::invalid_argument("zeros_zip: a member of 4 GiB or more needs zip64");
  // Raw deflate of `n` zero bytes from a fresh state, ended by a full flush (the next part needs no history)
  // or, for the last part, as the final block.
  const auto deflated = [](std::uint64_t n, bool last) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
    std::string zeros(static_cast<std::size_t>(n), '\0'), out(static_cast<std::size_t>(n) / 100 + 4096, '\0');
    z.next_in = reinterpret_cast<Bytef*>(zeros.data());
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    if (z.avail_in != 0 || rc != (last ? Z_STREAM_END : Z_OK)) throw std::runtime_error("zeros_zip: deflate");
    return out;
  };
  constexpr std::uint64_t SEGMENT = 1 << 20;
  const std::string segment = deflated(SEGMENT, false);
  const std::string zeros(SEGMENT, '\0');
  const uLong segment_crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(SEGMENT));
  std::string packed;
  uLong crc = crc32(0, nullptr, 0);
  std::uint64_t left = size;
  for (; left > SEGMENT; left -= SEGMENT) {
    packed += segment;
    crc = crc32_combine(crc, segment_crc, static_cast<z_off_t>(SEGMENT));
  }
  packed += deflated(left, true);
  crc = crc32_combine(crc, crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(left)),
                      static_cast<z_off_t>(left));
  ZipImage zip = members.add(name, packed).zip();
  const ZipEntryAt& e = zip.entries.back();
  // Local header: method at 8, CRC-32 at 14, size at 22; central header: at 10, 16 and 24.
  for (const auto& [header, method_at, crc_at] : {std::tuple{e.local_header, 8, 14}, std::tuple{e.central_header, 10, 16}}) {
    put_le(zip.bytes, header + method_at, Z_DEFLATED, 2);
    put_le(zip.bytes, header + crc_at, crc, 4);
    put_le(zip.bytes, header + crc_at + 8, size, 4);
  }
  return zip;
}

std::string write_bytes(const std::filesystem::path& file, std::string_view bytes) {
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return file.string();
}

std::string BundleFixture::write_directory(const std::filesystem::path& dir) const {
  std::filesystem::create_directories(dir);
  for (const auto& m : members_) {
    if (!m.name.empty() && m.name.back() == '/')
      std::filesystem::create_directories(dir / m.name);
    else
      write_bytes(dir / m.name, m.bytes);
  }
  return dir.string();
}

std::string BundleFixture::write_imx(const std::filesystem::path& file) const { return write_bytes(file, imx().bytes); }
std::string BundleFixture::write_zip(const std::filesystem::path& file) const { return write_bytes(file, zip().bytes); }

BundlePaths BundleFixture::write_forms(const std::filesystem::path& root) const {
  return {write_directory(root / "dir"), write_imx(root / "bundle.imx"), write_zip(root / "bundle.zip")};
}

}  // namespace velmora::testing
