#include "common/sha256.h"

#include <openssl/evp.h>
#include <stdexcept>

#include "common/file_read.h"

namespace velmora {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::update(const void* data, std::size_t size) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, size);
}

std::string Sha256::hex_digest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), md, &len);
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (unsigned i = 0; i < len; ++i) {
    out.push_back(digits[md[i] >> 4]);
    out.push_back(digits[md[i] & 15]);
  }
  return out;
}

std::string sha256_hex(std::string_view data) {
  Sha256 h;
  h.update(data);
  return h.hex_digest();
}

std::string sha256_file_hex(const std::string& path) {
  Sha256 h;
  read_file_blocks(path, [&](const char* data, std::size_t n) { h.update(data, n); });
  return h.hex_digest();
}

bool is_sha256_hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace velmora
