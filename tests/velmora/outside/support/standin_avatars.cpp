#include "velmora/outside/support/standin_avatars.h"

#include <cmath>
#include <cstring>
#include <string>

#include "standins/litert/standin_models.h"

namespace velmora::testing {

BundleFixture mirel2_bundle(double load_seconds) {
  std::vector<float> canon(16 * 90 * 52);
  for (std::size_t i = 0; i < canon.size(); ++i) canon[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
  std::string canon_bytes(canon.size() * 4, '\0');
  std::memcpy(canon_bytes.data(), canon.data(), canon_bytes.size());
  return BundleFixture{{"manifest.json", R"({"engine": "mirel2"})"},
                       {"canon.bin", canon_bytes},
                       {"combined_litert.tflite", standin::model_json(standin::combined_signatures(), load_seconds)}};
}

std::vector<std::int16_t> tone(double seconds, double amplitude) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * 220.0 * static_cast<double>(i) / 16000.0));
  }
  return s;
}

}  // namespace velmora::testing
