#include "common/utf8.h"

namespace velmora {
namespace {

constexpr std::string_view REPLACEMENT = "\xef\xbf\xbd";

// The byte range allowed in the second position after `lead` (later positions are always 80..BF).
void second_range(unsigned char lead, unsigned char& lo, unsigned char& hi) {
  lo = 0x80;
  hi = 0xbf;
  if (lead == 0xe0) lo = 0xa0;
  if (lead == 0xed) hi = 0x9f;
  if (lead == 0xf0) lo = 0x90;
  if (lead == 0xf4) hi = 0x8f;
}

// The sequence starting at bytes[i]: its full length `len` (0 for a byte that can never start one) and how many
// of its bytes are present and valid (`good`; the sequence is valid when good == len).
void scan_sequence(std::string_view bytes, std::size_t i, std::size_t& len, std::size_t& good) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  len = 0;
  if (lead < 0x80) len = 1;
  else if (lead >= 0xc2 && lead <= 0xdf) len = 2;
  else if (lead >= 0xe0 && lead <= 0xef) len = 3;
  else if (lead >= 0xf0 && lead <= 0xf4) len = 4;
  good = len == 0 ? 0 : 1;
  while (good < len && i + good < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i + good]);
    unsigned char lo = 0x80, hi = 0xbf;
    if (good == 1) second_range(lead, lo, hi);
    if (b < lo || b > hi) break;
    ++good;
  }
}

}  // namespace

std::string utf8_decode_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t len = 0, good = 0;
    scan_sequence(bytes, i, len, good);
    if (len == 0) {  // a byte that can never start a sequence
      out += REPLACEMENT;
      ++i;
      continue;
    }
    // A short count is one invalid subsequence.
    if (good == len) {
      out.append(bytes.substr(i, len));
    } else {
      out += REPLACEMENT;
    }
    i += good;
  }
  return out;
}

void utf8_append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

bool utf8_valid(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t len = 0, good = 0;
    scan_sequence(bytes, i, len, good);
    if (len == 0 || good != len) return false;
    i += len;
  }
  return true;
}

}  // namespace velmora
