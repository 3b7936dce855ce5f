#pragma once
// The vector instruction sets that hot loops may pick at run time. Kernels written once with GCC's generic
// vectors are compiled per set (a plain function and one with a target attribute), so each lane does the same
// operations in every form and the results agree bit for bit; only the width and the encoding differ.
#include <cstring>

namespace velmora {

enum class Simd {
  Baseline,  // what the build targets (SSE2 on x86-64)
  Avx2,      // 256-bit registers (no FMA: a fused multiply-add would round differently)
  Avx512,    // 512-bit registers
};

// Whether this build has kernels for `s` and the processor runs them.
bool simd_supported(Simd s);
// The widest supported set.
Simd best_simd();
// Whether the processor has AVX-512's byte permutes (F, BW and VBMI), for table lookups 64 bytes at a time.
bool avx512_vbmi_supported();

// The set a component uses when asked for at most `asked` and it has kernels up to `widest`: the narrower
// of the two. Throws std::invalid_argument ("<who> cannot use an instruction set this processor lacks") when
// the processor lacks that set.
Simd usable_simd(Simd asked, Simd widest, const char* who);

// A generic vector from or to memory at any alignment. Vectors pass by reference: 32- and 64-byte vectors by
// value would change calling convention with AVX.
template <class V>
[[gnu::always_inline]] inline void load_vector(V& v, const void* p) {
  std::memcpy(&v, p, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline void store_vector(void* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace velmora
