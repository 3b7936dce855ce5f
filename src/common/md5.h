#pragma once
// MD5 digests (RFC 1321), for seeds derived from text; not for anything that needs a secure hash.
#include <array>
#include <cstdint>
#include <string_view>

namespace velmora {

std::array<std::uint8_t, 16> md5_digest(std::string_view data);

}  // namespace velmora
