#pragma once
// The vector instruction sets that hot loops may pick at run time. Kernels written once with GCC's generic
// vectors are compiled per set (a plain function and one with a target attribute), so each lane does the same
// operations in every form and the results agree bit for bit; only the width and the encoding differ.
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

}  // namespace velmora
