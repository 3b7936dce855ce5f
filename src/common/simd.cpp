#include "common/simd.h"

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

}  // namespace velmora
