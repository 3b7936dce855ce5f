#include "common/zip_archive.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "common/fd.h"
#include "common/file_read.h"
#include "common/pytext.h"
#include "common/utf8.h"

namespace velmora {

namespace detail {

// The bytes of an archive: an open regular file (owned) or a string in memory.
struct ZipBacking {
  Fd fd;
  std::shared_ptr<const std::string> bytes;
  std::uint64_t size = 0;

  // Up to `n` bytes at `offset` into `out`: what there is (fewer only at the end), or -1 on a read error.
  std::int64_t read_some(char* out, std::size_t n, std::uint64_t offset) const {
    if (bytes) {
      if (offset >= bytes->size()) return 0;
      const std::size_t k = std::min<std::size_t>(n, bytes->size() - static_cast<std::size_t>(offset));
      std::memcpy(out, bytes->data() + offset, k);
      return static_cast<std::int64_t>(k);
    }
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(fd.get(), out + got, n - got, static_cast<off_t>(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return static_cast<std::int64_t>(got);
  }

  // Exactly `n` bytes at `offset` into `out`; false on any shortfall.
  bool read(std::string& out, std::size_t n, std::uint64_t offset) const {
    out.resize(n);
    return read_some(out.data(), n, offset) == static_cast<std::int64_t>(n);
  }
};

}  // namespace detail

namespace {

using detail::ZipBacking;

constexpr std::size_t END_RECORD_SIZE = 22;
constexpr char END_RECORD_SIGNATURE[] = "PK\x05\x06";
constexpr std::size_t CENTRAL_HEADER_SIZE = 46;
constexpr std::size_t LOCAL_HEADER_SIZE = 30;
constexpr std::uint16_t UTF8_FLAG = 1u << 11;
constexpr std::uint16_t AES_METHOD = 99;            // WinZip AES encryption; the real method is in its extra field
constexpr std::uint16_t AES_EXTRA_ID = 0x9901;
constexpr std::size_t AES_EXTRA_SIZE = 7;
constexpr const char* ENCRYPTED = "encrypted entries are not supported";

zip_t* as_zip(void* p) { return static_cast<zip_t*>(p); }

// What a libzip error says is wrong with the archive. libzip words some of its findings like system errors
// ("No such file" for a missing zip64 extra field, "Invalid argument" for a seek past the end), so those get
// words of their own; a real system error (a failed read or seek) keeps libzip's text with the errno's.
std::string zip_failure(zip_error_t* err) {
  switch (zip_error_code_zip(err)) {
    case ZIP_ER_NOZIP: return "invalid end-of-central-directory record";
    case ZIP_ER_EOF: return "truncated";
    case ZIP_ER_INCONS: return "inconsistent headers";
    case ZIP_ER_NOENT: return "a header lacks the zip64 extra field it calls for";
    case ZIP_ER_INVAL: return "an offset or length points past the end";
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP: return ENCRYPTED;
    default: return zip_error_strerror(err);
  }
}

// The regular file at `path`; else nothing, and what stands in the way in `why`.
std::shared_ptr<ZipBacking> open_regular(const std::string& path, std::string& why) {
  InputFile f(path);
  if (!f.regular()) {
    why = f.opened() ? "not a regular file" : std::strerror(f.open_error());
    return nullptr;
  }
  auto b = std::make_shared<ZipBacking>();
  b->size = f.size();
  b->fd = Fd(f.release());
  return b;
}

std::uint64_t le(const std::string& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int k = n - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(k)]);
  return v;
}

// Where the data of the first field `id` of at least `min_size` bytes starts in the extra fields `extra`.
std::optional<std::size_t> extra_field(const std::string& extra, std::size_t id, std::size_t min_size) {
  for (std::size_t p = 0; p + 4 <= extra.size();) {
    const std::size_t field = le(extra, p, 2), len = le(extra, p + 2, 2);
    if (field == id && len >= min_size && p + 4 + len <= extra.size()) return p + 4;
    p += 4 + len;
  }
  return std::nullopt;
}

// The position of the end-of-central-directory record: at the very end with an empty comment, else the last
// signature within reach of the largest comment with a whole record after it.
std::optional<std::uint64_t> end_record_at(const ZipBacking& b) {
  if (b.size < END_RECORD_SIZE) return std::nullopt;
  std::string tail;
  if (b.read(tail, END_RECORD_SIZE, b.size - END_RECORD_SIZE) && tail.compare(0, 4, END_RECORD_SIGNATURE, 4) == 0 &&
      tail[20] == '\0' && tail[21] == '\0')
    return b.size - END_RECORD_SIZE;
  const std::uint64_t start = b.size > (1u << 16) + END_RECORD_SIZE ? b.size - (1u << 16) - END_RECORD_SIZE : 0;
  std::string window;
  if (!b.read(window, static_cast<std::size_t>(b.size - start), start)) return std::nullopt;
  const auto at = window.rfind(std::string_view(END_RECORD_SIGNATURE, 4));
  if (at == std::string::npos || window.size() - at < END_RECORD_SIZE) return std::nullopt;
  return start + at;
}

// Where the archive proper and its central directory lie. `skip` counts the bytes before the archive (a zip
// appended to other data): the end record's position less the central directory's recorded size and offset,
// less the zip64 records when they are present. Python's zipfile reads such archives with every offset shifted
// by this amount; 0 when there is nothing before it or the records cannot be read (the open then reports what
// is wrong). Nothing when the file has no end record at all.
struct Layout {
  std::uint64_t skip = 0;
  std::uint64_t directory = 0;  // start of the central directory in the backing
  std::uint64_t directory_size = 0;
};

std::optional<Layout> layout_of(const ZipBacking& b) {
  const auto eocd = end_record_at(b);
  if (!eocd) return std::nullopt;
  Layout l;
  std::string rec, locator, rec64;
  if (!b.read(rec, END_RECORD_SIZE, *eocd)) return l;
  std::uint64_t cd_size = le(rec, 12, 4), cd_offset = le(rec, 16, 4), records = 0;
  constexpr std::uint64_t LOCATOR = 20, RECORD64 = 56;
  if (*eocd >= LOCATOR + RECORD64 && b.read(locator, LOCATOR, *eocd - LOCATOR) &&
      locator.compare(0, 4, "PK\x06\x07", 4) == 0 && b.read(rec64, RECORD64, *eocd - LOCATOR - RECORD64) &&
      rec64.compare(0, 4, "PK\x06\x06", 4) == 0) {
    cd_size = le(rec64, 40, 8);
    cd_offset = le(rec64, 48, 8);
    records = LOCATOR + RECORD64;
  }
  if (cd_size < (1ull << 62) && cd_offset < (1ull << 62)) {
    const std::int64_t concat =
        static_cast<std::int64_t>(*eocd) - static_cast<std::int64_t>(cd_size + cd_offset + records);
    l.skip = concat > 0 ? static_cast<std::uint64_t>(concat) : 0;
    l.directory = l.skip + cd_offset;
    l.directory_size = cd_size;
  }
  return l;
}

// Code page 437 from 0x80 on, as Python's codec maps it; bytes below 0x80 are the same code points (control
// characters included, where other tables put graphic symbols).
constexpr char16_t CP437_HIGH[128] = {
    0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7, 0x00ea, 0x00eb, 0x00e8, 0x00ef, 0x00ee,
    0x00ec, 0x00c4, 0x00c5, 0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9, 0x00ff, 0x00d6,
    0x00dc, 0x00a2, 0x00a3, 0x00a5, 0x20a7, 0x0192, 0x00e1, 0x00ed, 0x00f3, 0x00fa, 0x00f1, 0x00d1, 0x00aa,
    0x00ba, 0x00bf, 0x2310, 0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510, 0x2514,
    0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f, 0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256c, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256b, 0x256a, 0x2518, 0x250c,
    0x2588, 0x2584, 0x258c, 0x2590, 0x2580, 0x03b1, 0x00df, 0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4,
    0x03a6, 0x0398, 0x03a9, 0x03b4, 0x221e, 0x03c6, 0x03b5, 0x2229, 0x2261, 0x00b1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00f7, 0x2248, 0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2, 0x25a0, 0x00a0,
};

// A stored name as zipfile decodes it: UTF-8 (strictly) with the language-encoding flag, else code page 437.
std::string decode_name(std::string_view raw, bool utf8, const std::string& label) {
  if (utf8) {
    if (!utf8_valid(raw)) throw ZipError(label + ": entry name " + py_bytes_repr(raw) + " is flagged UTF-8 but is not");
    return std::string(raw);
  }
  std::string out;
  for (const unsigned char c : raw) utf8_append(out, c < 0x80 ? c : CP437_HIGH[c - 0x80]);
  return out;
}

struct DirectoryEntry {
  std::string stored_name;  // decoded, before the cut at a NUL
  bool utf8 = false;
  std::uint64_t local_header = 0;  // in the backing
  std::uint64_t flags_at = 0;      // where its flag word lies, from the start of the archive proper
};

// The central directory's entries, walked through its recorded size as zipfile walks it.
std::vector<DirectoryEntry> read_directory(const ZipBacking& b, const Layout& layout, const std::string& label) {
  std::vector<DirectoryEntry> out;
  std::string head, extra, raw;
  for (std::uint64_t used = 0; used < layout.directory_size;) {
    const std::uint64_t at = layout.directory + used;
    if (!b.read(head, CENTRAL_HEADER_SIZE, at)) throw ZipError(label + ": Truncated central directory");
    if (head.compare(0, 4, "PK\x01\x02", 4) != 0) throw ZipError(label + ": Bad magic number for central directory");
    const std::uint64_t name_len = le(head, 28, 2), extra_len = le(head, 30, 2), comment_len = le(head, 32, 2);
    if (!b.read(raw, static_cast<std::size_t>(name_len), at + CENTRAL_HEADER_SIZE) ||
        !b.read(extra, static_cast<std::size_t>(extra_len), at + CENTRAL_HEADER_SIZE + name_len))
      throw ZipError(label + ": Truncated central directory");
    DirectoryEntry e;
    e.utf8 = (le(head, 8, 2) & UTF8_FLAG) != 0;
    e.stored_name = decode_name(raw, e.utf8, label);
    // The zip64 extra field holds the 64-bit values whose 32-bit fields (size, compressed size, local header
    // offset) are all ones, 8 bytes each in this order. libzip refuses the whole archive when it cannot hold
    // them, so the entry is named here.
    const bool wide[] = {le(head, 24, 4) == 0xffffffffu, le(head, 20, 4) == 0xffffffffu, le(head, 42, 4) == 0xffffffffu};
    const std::size_t wide_count = std::size_t{wide[0]} + wide[1] + wide[2];
    std::uint64_t local = le(head, 42, 4);
    if (wide_count > 0) {
      const std::optional<std::size_t> values = extra_field(extra, 1, 8 * wide_count);
      if (!values)
        throw ZipError(label + ": entry " + py_repr(e.stored_name) +
                       " marks its size or offset as 64-bit but has no zip64 extra field that holds it");
      if (wide[2]) local = le(extra, *values + 8 * (std::size_t{wide[0]} + wide[1]), 8);
    }
    // An AES entry names its real method in an extra field; libzip refuses the whole archive when that field is
    // missing. Either way it is encrypted, which is what the reader needs to hear.
    if (le(head, 10, 2) == AES_METHOD && !extra_field(extra, AES_EXTRA_ID, AES_EXTRA_SIZE))
      throw ZipError(label + ": entry " + py_repr(e.stored_name) + " is encrypted (AES): " + ENCRYPTED);
    e.local_header = layout.skip + local;
    e.flags_at = at + 8 - layout.skip;
    out.push_back(std::move(e));
    used += CENTRAL_HEADER_SIZE + name_len + extra_len + comment_len;
  }
  return out;
}

// libzip's view of an archive: the archive proper (from `skip` on) with the language-encoding flag cleared in
// the central directory. libzip refuses a whole archive when a name flagged UTF-8 holds control characters,
// which zipfile reads; names are decoded from the directory by read_directory, never by libzip.
struct SourceState {
  std::shared_ptr<const ZipBacking> backing;
  std::uint64_t skip = 0, length = 0, at = 0;
  std::vector<std::uint64_t> flag_bytes;  // sorted positions of the high byte of each flagged flag word
  zip_error_t error;
};

zip_int64_t source_callback(void* user, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  auto* s = static_cast<SourceState*>(user);
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      s->at = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::uint64_t n = std::min<std::uint64_t>(len, s->length - std::min(s->at, s->length));
      auto* out = static_cast<char*>(data);
      const std::int64_t got = s->backing->read_some(out, static_cast<std::size_t>(n), s->skip + s->at);
      if (got < 0) {
        zip_error_set(&s->error, ZIP_ER_READ, errno);
        return -1;
      }
      const auto from = std::lower_bound(s->flag_bytes.begin(), s->flag_bytes.end(), s->at);
      for (auto it = from; it != s->flag_bytes.end() && *it < s->at + static_cast<std::uint64_t>(got); ++it)
        out[*it - s->at] = static_cast<char>(out[*it - s->at] & ~(UTF8_FLAG >> 8));
      s->at += static_cast<std::uint64_t>(got);
      return got;
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      st->size = s->length;
      st->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&s->error);
      delete s;
      return 0;
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t to = zip_source_seek_compute_offset(s->at, s->length, data, len, &s->error);
      if (to < 0) return -1;
      s->at = static_cast<std::uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(s->at);
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_SEEKABLE;
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

bool is_zip_file(const std::string& path) {
  std::string why;
  const auto b = open_regular(path, why);
  return b && end_record_at(*b).has_value();
}

ZipArchive ZipArchive::open(std::shared_ptr<const ZipBacking> backing, std::string label) {
  // libzip would take a file without an end record, an empty one, for an empty archive.
  const std::optional<Layout> found = layout_of(*backing);
  if (!found) throw ZipError(label + ": not a zip archive: it has no end-of-central-directory record");
  const Layout& layout = *found;
  std::vector<DirectoryEntry> directory = read_directory(*backing, layout, label);
  auto* state = new SourceState{backing, layout.skip, backing->size - std::min(layout.skip, backing->size), 0, {}, {}};
  for (const auto& e : directory)
    if (e.utf8) state->flag_bytes.push_back(e.flags_at + 1);
  std::sort(state->flag_bytes.begin(), state->flag_bytes.end());
  zip_error_init(&state->error);
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_function_create(source_callback, state, &err);
  if (src == nullptr) {
    zip_error_fini(&state->error);
    delete state;
  }
  zip_t* za = src == nullptr ? nullptr : zip_open_from_source(src, ZIP_RDONLY, &err);
  if (za == nullptr) {
    if (src != nullptr) zip_source_free(src);
    const std::string why = zip_failure(&err);
    zip_error_fini(&err);
    throw ZipError(label + ": not a readable zip archive: " + why);
  }
  zip_error_fini(&err);
  ZipArchive archive;
  archive.za_ = za;
  archive.label_ = std::move(label);
  archive.backing_ = std::move(backing);
  const zip_int64_t n = zip_get_num_entries(za, 0);
  if (n < 0 || static_cast<std::size_t>(n) != directory.size())
    throw ZipError(archive.label_ + ": not a readable zip archive: its central directory holds " +
                   std::to_string(directory.size()) + " entries, its end record " + std::to_string(n));
  for (auto& e : directory) {
    archive.names_.push_back(e.stored_name.substr(0, e.stored_name.find('\0')));
    archive.entries_.push_back({std::move(e.stored_name), e.local_header});
  }
  return archive;
}

ZipArchive ZipArchive::open_file(const std::string& path) {
  std::string why;
  const auto backing = open_regular(path, why);
  if (!backing) throw ZipError(path + ": not a readable zip archive: " + why);
  return open(backing, path);
}

ZipArchive ZipArchive::open_bytes(std::shared_ptr<const std::string> bytes) {
  auto backing = std::make_shared<ZipBacking>();
  backing->size = bytes->size();
  backing->bytes = std::move(bytes);
  return open(std::move(backing), "zip archive in memory");
}

ZipArchive::ZipArchive(ZipArchive&& o) noexcept
    : za_(std::exchange(o.za_, nullptr)), label_(std::move(o.label_)), backing_(std::move(o.backing_)),
      names_(std::move(o.names_)), entries_(std::move(o.entries_)) {}

ZipArchive& ZipArchive::operator=(ZipArchive&& o) noexcept {
  if (this != &o) {
    if (za_ != nullptr) zip_discard(as_zip(za_));
    za_ = std::exchange(o.za_, nullptr);
    label_ = std::move(o.label_);
    backing_ = std::move(o.backing_);
    names_ = std::move(o.names_);
    entries_ = std::move(o.entries_);
  }
  return *this;
}

ZipArchive::~ZipArchive() {
  if (za_ != nullptr) zip_discard(as_zip(za_));
}

void ZipArchive::check_local_header(std::size_t index) const {
  const Entry& e = entries_[index];
  std::string head, raw;
  if (!backing_->read(head, LOCAL_HEADER_SIZE, e.local_header)) throw ZipError(label_ + ": Truncated file header");
  if (head.compare(0, 4, "PK\x03\x04", 4) != 0) throw ZipError(label_ + ": Bad magic number for file header");
  if (!backing_->read(raw, static_cast<std::size_t>(le(head, 26, 2)), e.local_header + LOCAL_HEADER_SIZE))
    throw ZipError(label_ + ": Truncated file header");
  // The header's own language-encoding flag decides how its copy is decoded, as zipfile decodes it.
  const bool utf8 = (le(head, 6, 2) & UTF8_FLAG) != 0;
  if (decode_name(raw, utf8, label_) != e.stored_name)
    throw ZipError(label_ + ": File name in directory " + py_repr(e.stored_name) + " and header " + py_bytes_repr(raw) +
                   " differ.");
}

std::string ZipArchive::read(std::size_t index, std::size_t max_bytes) const {
  std::string out;
  read_to(index, [&](std::string_view block) { out.append(block); }, max_bytes);
  return out;
}

void ZipArchive::read_to(std::size_t index, const std::function<void(std::string_view)>& sink,
                         std::size_t max_bytes) const {
  if (index >= names_.size()) throw ZipError(label_ + ": no entry " + std::to_string(index));
  check_local_header(index);
  const std::string& name = names_[index];
  const auto damaged = [&](const std::string& why) { return ZipError(label_ + ": cannot read " + name + ": " + why); };
  zip_stat_t recorded;
  zip_stat_init(&recorded);
  if (zip_stat_index(as_zip(za_), index, 0, &recorded) != 0 || !(recorded.valid & ZIP_STAT_SIZE) ||
      !(recorded.valid & ZIP_STAT_CRC))
    throw damaged(zip_failure(zip_get_error(as_zip(za_))));
  zip_file_t* f = zip_fopen_index(as_zip(za_), index, 0);
  if (f == nullptr) throw damaged(zip_failure(zip_get_error(as_zip(za_))));
  std::uint64_t total = 0;
  uLong crc = crc32(0, nullptr, 0);
  char buf[1 << 16];
  try {
    while (true) {
      const zip_int64_t n = zip_fread(f, buf, sizeof buf);
      if (n < 0) throw damaged(zip_failure(zip_file_get_error(f)));
      if (n == 0) break;
      if (static_cast<std::uint64_t>(n) > max_bytes - total)
        throw ZipEntryTooLarge(label_ + ": entry " + name + " is larger than " + std::to_string(max_bytes) + " bytes");
      total += static_cast<std::uint64_t>(n);
      crc = crc32(crc, reinterpret_cast<const Bytef*>(buf), static_cast<uInt>(n));
      sink(std::string_view(buf, static_cast<std::size_t>(n)));
    }
  } catch (...) {
    zip_fclose(f);
    throw;
  }
  // Closing reports a CRC mismatch that the last read did not.
  const int rc = zip_fclose(f);
  if (rc != 0) {
    zip_error_t err;
    zip_error_init_with_code(&err, rc);
    const std::string why = zip_failure(&err);
    zip_error_fini(&err);
    throw damaged(why);
  }
  // libzip hands out an entry that records no compressed bytes as empty, without a check; so what was read is
  // held against the entry's records here, whatever libzip checked.
  if (crc != recorded.crc) throw damaged("CRC error");
  if (total != recorded.size)
    throw damaged("it holds " + std::to_string(total) + " bytes where its header records " +
                  std::to_string(recorded.size));
}

}  // namespace velmora
