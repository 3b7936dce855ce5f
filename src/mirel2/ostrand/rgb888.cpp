#include "mirel2/ostrand/rgb888.h"

#include <algorithm>
#include <array>
#include <climits>
#include <stdexcept>
#include <string>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/env.h"
#include "common/pytext.h"
#include "common/simd.h"
#include "common/strict_int.h"
#include "mirel2/litert/tensor.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/cpu_budget.h"

namespace velmora::ostrand {
namespace {

constexpr std::size_t PLANE_PX = std::size_t{FH} * FW;
constexpr int CPUS_PER_RGB_WORKER = 3;
constexpr int MAX_DEFAULT_RGB_WORKERS = 8;

void check_frame(std::span<const float> px) {
  if (px.size() != 3 * PLANE_PX) throw std::invalid_argument(litert::reshape_message(px.size(), litert::Dims{FH, FW, 3}));
}

// The per-channel tables of a correction: its own for the table form; for gain and bias, what its apply()
// makes of every 8-bit value (a pixel value has 256 possibilities only, so the bytes are apply()'s own).
// Nothing for no correction.
const LutRows* correction_tables(const ColorCorrect* cc, LutRows& storage) {
  if (cc == nullptr) return nullptr;
  if (cc->is_lut()) {
    if (!cc->lut) throw std::logic_error("a \"lut\" colour correction without its table");
    return &*cc->lut;
  }
  std::array<std::uint8_t, 3 * 256> ramp;
  for (int v = 0; v < 256; ++v) ramp[3 * v] = ramp[3 * v + 1] = ramp[3 * v + 2] = static_cast<std::uint8_t>(v);
  cc->apply(ramp, ramp);
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t v = 0; v < 256; ++v) storage[c][v] = ramp[3 * v + c];
  return &storage;
}

// The per-row steps of a conversion: one plane's row to bytes (scale, clip with NaN to 0, truncate), a table
// looked up in place over one row of bytes, and the three rows interleaved into pixels. A portable form, and
// forms for processors with AVX2 (and AVX-512 VBMI for the tables); all give the same bytes.
struct Kernel {
  void (*to_u8)(const float* in, std::uint8_t* out);
  void (*lookup)(std::uint8_t* row, const std::array<std::uint8_t, 256>& table);
  void (*interleave)(const std::uint8_t (*q)[FW], std::uint8_t* out);
};

void row_to_u8_portable(const float* in, std::uint8_t* out) {
  for (int x = 0; x < FW; ++x) {
    float v = in[x] * 255.0f;
    v = v > 0.0f ? v : 0.0f;  // also NaN to 0
    v = v < 255.0f ? v : 255.0f;
    out[x] = static_cast<std::uint8_t>(static_cast<std::int32_t>(v));
  }
}

void lookup_portable(std::uint8_t* row, const std::array<std::uint8_t, 256>& t) {
  for (int x = 0; x < FW; ++x) row[x] = t[row[x]];
}

void interleave_portable(const std::uint8_t (*q)[FW], std::uint8_t* o) {
  for (int x = 0; x < FW; ++x) {
    o[3 * x] = q[0][x];
    o[3 * x + 1] = q[1][x];
    o[3 * x + 2] = q[2][x];
  }
}

constexpr Kernel PORTABLE{row_to_u8_portable, lookup_portable, interleave_portable};

#if defined(__x86_64__)

static_assert(FW % 32 == 0, "the vector kernel converts rows in blocks of 32 values");

__attribute__((target("avx2"))) void row_to_u8_avx2(const float* in, std::uint8_t* out) {
  const __m256 scale = _mm256_set1_ps(255.0f);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 top = _mm256_set1_ps(255.0f);
  // The packs below work within 128-bit lanes; this puts the four groups of eight back in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int x = 0; x < FW; x += 32) {
    __m256i v[4];
    for (int j = 0; j < 4; ++j) {
      __m256 f = _mm256_mul_ps(_mm256_loadu_ps(in + x + 8 * j), scale);
      f = _mm256_max_ps(f, zero);  // f > 0 ? f : 0, so NaN gives 0
      f = _mm256_min_ps(f, top);
      v[j] = _mm256_cvttps_epi32(f);
    }
    // Values are 0..255 here, so the saturating packs keep them.
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(v[0], v[1]), _mm256_packs_epi32(v[2], v[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_permutevar8x32_epi32(bytes, order));
  }
}

// Byte shuffles that take 16 pixels of three rows into 48 interleaved bytes: mask [i][c] places channel c's
// bytes in output block i (0x80 clears a byte).
struct InterleaveMasks {
  alignas(16) std::uint8_t m[3][3][16];
};
constexpr InterleaveMasks interleave_masks() {
  InterleaveMasks t{};
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c)
      for (int j = 0; j < 16; ++j) {
        const int k = 16 * i + j;
        t.m[i][c][j] = k % 3 == c ? static_cast<std::uint8_t>(k / 3) : 0x80;
      }
  return t;
}
constexpr InterleaveMasks MASKS = interleave_masks();

__attribute__((target("avx2"))) void interleave_avx2(const std::uint8_t (*q)[FW], std::uint8_t* o) {
  __m128i mask[3][3];
  for (int i = 0; i < 3; ++i)
    for (int c = 0; c < 3; ++c) mask[i][c] = _mm_load_si128(reinterpret_cast<const __m128i*>(MASKS.m[i][c]));
  for (int x = 0; x < FW; x += 16, o += 48) {
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q[0] + x));
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q[1] + x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q[2] + x));
    for (int i = 0; i < 3; ++i) {
      const __m128i block = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, mask[i][0]), _mm_shuffle_epi8(g, mask[i][1])),
                                         _mm_shuffle_epi8(b, mask[i][2]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * i), block);
    }
  }
}

// 64 table lookups at a time: two 128-byte halves of the table, chosen by each index's top bit.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void lookup_vbmi(std::uint8_t* row,
                                                                       const std::array<std::uint8_t, 256>& t) {
  const __m512i t0 = _mm512_loadu_si512(t.data());
  const __m512i t1 = _mm512_loadu_si512(t.data() + 64);
  const __m512i t2 = _mm512_loadu_si512(t.data() + 128);
  const __m512i t3 = _mm512_loadu_si512(t.data() + 192);
  for (int x = 0; x < FW; x += 64) {
    const __mmask64 m = x + 64 <= FW ? ~__mmask64{0} : (__mmask64{1} << (FW - x)) - 1;
    const __m512i idx = _mm512_maskz_loadu_epi8(m, row + x);
    const __m512i low = _mm512_permutex2var_epi8(t0, idx, t1);
    const __m512i high = _mm512_permutex2var_epi8(t2, idx, t3);
    _mm512_mask_storeu_epi8(row + x, m, _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), low, high));
  }
}

constexpr Kernel AVX2{row_to_u8_avx2, lookup_portable, interleave_avx2};
constexpr Kernel AVX2_VBMI{row_to_u8_avx2, lookup_vbmi, interleave_avx2};

bool has_vector_kernel() { return simd_supported(Simd::Avx2); }
const Kernel& best_kernel() {
  static const Kernel& k = !has_vector_kernel() ? PORTABLE : avx512_vbmi_supported() ? AVX2_VBMI : AVX2;
  return k;
}

#else

bool has_vector_kernel() { return false; }
const Kernel& best_kernel() { return PORTABLE; }

#endif

// One frame, row by row through a small scratch of the three converted rows (it stays in the first-level
// cache): planar in, interleaved out, the tables looked up in the scratch.
void convert_frame(const Kernel& kernel, const float* px, const LutRows* tables, std::uint8_t* out) {
  alignas(64) std::uint8_t q[3][FW];
  for (int y = 0; y < FH; ++y) {
    const std::size_t at = static_cast<std::size_t>(y) * FW;
    for (std::size_t c = 0; c < 3; ++c) kernel.to_u8(px + c * PLANE_PX + at, q[c]);
    if (tables != nullptr)
      for (std::size_t c = 0; c < 3; ++c) kernel.lookup(q[c], (*tables)[c]);
    kernel.interleave(q, out + at * 3);
  }
}

struct RangeTask {
  std::span<const std::span<const float>> px;
  const LutRows* tables;
  std::span<std::uint8_t> out;
  std::size_t size;  // frames per range

  void operator()(int range) const {
    const std::size_t lo = static_cast<std::size_t>(range) * size;
    const std::size_t hi = std::min(lo + size, px.size());
    convert(lo, hi);
  }
  void convert(std::size_t lo, std::size_t hi) const {
    for (std::size_t i = lo; i < hi; ++i) {
      check_frame(px[i]);
      convert_frame(best_kernel(), px[i].data(), tables, out.data() + i * FRAME_BYTES);
    }
  }
};

}  // namespace

int rgb_threads_from(std::optional<std::string_view> raw, int cpus) {
  const std::string_view text = raw ? trim_blanks(*raw) : std::string_view{};
  if (!text.empty()) {
    if (const auto v = parse_strict_int_saturating(text))
      return static_cast<int>(std::clamp<std::int64_t>(*v, 1, INT_MAX));
    elog({std::string(RGB_THREADS_ENV) + "=" + py_repr(text) + " is not an integer \u2014 using the default"});
  }
  return std::max(1, std::min(MAX_DEFAULT_RGB_WORKERS, cpus / CPUS_PER_RGB_WORKER));
}

int rgb_threads() {
  const auto raw = env_get(std::string(RGB_THREADS_ENV).c_str());
  return rgb_threads_from(raw ? std::optional<std::string_view>(*raw) : std::nullopt, effective_cpu_count());
}

namespace {

std::vector<std::uint8_t> convert_one(const Kernel& kernel, std::span<const float> px_chw, const ColorCorrect* cc) {
  check_frame(px_chw);
  LutRows storage;
  const LutRows* tables = correction_tables(cc, storage);
  std::vector<std::uint8_t> out(FRAME_BYTES);
  convert_frame(kernel, px_chw.data(), tables, out.data());
  return out;
}

}  // namespace

std::vector<std::uint8_t> px_to_rgb888(std::span<const float> px_chw, const ColorCorrect* cc) {
  return convert_one(best_kernel(), px_chw, cc);
}

namespace detail {

bool rgb_vector_kernel() { return has_vector_kernel(); }

std::vector<std::uint8_t> px_to_rgb888_portable(std::span<const float> px_chw, const ColorCorrect* cc) {
  return convert_one(PORTABLE, px_chw, cc);
}

}  // namespace detail

void px_to_rgb888_chunk(std::span<const std::span<const float>> px, const ColorCorrect* cc, int threads,
                        std::span<std::uint8_t> out, RgbPoolSlot& pool) {
  const std::size_t n = px.size();
  if (out.size() != n * FRAME_BYTES)
    throw std::invalid_argument("RGB888 chunk of " + std::to_string(n) + " frames needs " +
                                std::to_string(n * FRAME_BYTES) + " bytes, got " + std::to_string(out.size()));
  LutRows storage;
  const LutRows* tables = correction_tables(cc, storage);
  const std::size_t workers = std::min(n, static_cast<std::size_t>(std::max(1, threads)));
  if (workers <= 1) {
    RangeTask{px, tables, out, n}.convert(0, n);
    return;
  }
  RgbPool& p = pool.get(static_cast<int>(workers));
  const std::size_t size = (n + workers - 1) / workers;
  RangeTask task{px, tables, out, size};
  p.run(static_cast<int>((n + size - 1) / size), task);
}

}  // namespace velmora::ostrand
