#pragma once
// The inputs of tests/fixtures/litert_chain/gen_reference.py, made the same way in C++ (formulas exact in
// float32), and the reference digests it wrote.
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "common/sha256.h"
#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand::testing {

// Latent number j: ((i * 131 + j * 7919) mod 1021 - 510) / 256.
inline std::vector<float> reference_latent(int j) {
  std::vector<float> v(CANON_SIZE);
  for (std::int64_t i = 0; i < CANON_SIZE; ++i)
    v[static_cast<std::size_t>(i)] = static_cast<float>((i * 131 + j * 7919) % 1021 - 510) / 256.0f;
  return v;
}

// The previous latent of the decoder-row cases with one.
inline constexpr int REFERENCE_PREV = 100;

inline std::vector<float> reference_canon() {
  std::vector<float> v(CANON_SIZE);
  for (std::int64_t i = 0; i < CANON_SIZE; ++i)
    v[static_cast<std::size_t>(i)] = static_cast<float>((i * 13) % 509 - 254) / 128.0f;
  return v;
}

inline std::vector<float> reference_tempo() {
  std::vector<float> v(TEMPO_SAMPLES);
  for (std::int64_t i = 0; i < TEMPO_SAMPLES; ++i)
    v[static_cast<std::size_t>(i)] = static_cast<float>((i * 37) % 2001 - 1000) / 1024.0f;
  return v;
}

// SHA-256 of the values' bytes (little-endian float32 on this machine).
inline std::string float_digest(std::span<const float> values) {
  Sha256 h;
  h.update(values.data(), values.size_bytes());
  return h.hex_digest();
}

inline const nlohmann::json& chain_reference() {
  static const nlohmann::json ref = [] {
    std::ifstream in(VELMORA_SOURCE_DIR "/tests/fixtures/litert_chain/reference.json");
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str());
  }();
  return ref;
}

}  // namespace velmora::ostrand::testing
