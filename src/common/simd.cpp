#include "common/simd.h"

#include <stdexcept>
#include <string>

namespace velmora {

bool simd_supported(Simd s) {
  switch (s) {
    case Simd::Baseline: return true;
#if defined(__x86_64__) || defined(__i386__)
    case Simd::Avx2: return __builtin_cpu_supports("avx2");
    case Simd::Avx512: return __builtin_cpu_supports("avx512f");
#endif
    default: return false;
  }
}

Simd best_simd() {
  static const Simd best = simd_supported(Simd::Avx512) ? Simd::Avx512 : simd_supported(Simd::Avx2) ? Simd::Avx2 : Simd::Baseline;
  return best;
}

bool avx512_vbmi_supported() {
#if defined(__x86_64__) || defined(__i386__)
  return simd_supported(Simd::Avx512) && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
#else
  return false;
#endif
}

Simd usable_simd(Simd asked, Simd widest, const char* who) {
  const Simd s = static_cast<int>(asked) < static_cast<int>(widest) ? asked : widest;
  if (!simd_supported(s)) throw std::invalid_argument(std::string(who) + " cannot use an instruction set this processor lacks");
  return s;
}

}  // namespace velmora
