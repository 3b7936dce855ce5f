#include "common/md5.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace velmora {

std::array<std::uint8_t, 16> md5_digest(std::string_view data) {
  std::array<std::uint8_t, 16> out{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_md5(), nullptr) != 1 || len != out.size())
    throw std::runtime_error("MD5 digest failed");
  return out;
}

}  // namespace velmora
