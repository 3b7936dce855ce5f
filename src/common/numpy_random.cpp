#include "common/numpy_random.h"

#include <bit>
#include <cmath>
#include <stdexcept>

#include "common/ziggurat_tables.h"

namespace velmora {

// ---- SeedInt ----

void SeedInt::set_magnitude(std::uint64_t m) {
  words_.assign({static_cast<std::uint32_t>(m)});
  if (m >> 32) words_.push_back(static_cast<std::uint32_t>(m >> 32));
}

SeedInt SeedInt::parse(std::string_view text) {
  SeedInt v;
  std::size_t i = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    v.negative_ = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) throw std::invalid_argument("not an integer: \"" + std::string(text) + "\"");
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') throw std::invalid_argument("not an integer: \"" + std::string(text) + "\"");
    // words = words * 10 + digit
    std::uint64_t carry = static_cast<std::uint64_t>(c - '0');
    for (auto& w : v.words_) {
      const std::uint64_t t = static_cast<std::uint64_t>(w) * 10u + carry;
      w = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    if (carry) v.words_.push_back(static_cast<std::uint32_t>(carry));
  }
  if (v.words_.size() == 1 && v.words_[0] == 0) v.negative_ = false;  // "-0" is 0
  return v;
}

std::uint32_t SeedInt::mod_2_32() const { return negative_ ? 0u - words_[0] : words_[0]; }

// ---- SeedSequence ----

namespace {

constexpr std::uint32_t INIT_A = 0x43b0d7e5u;
constexpr std::uint32_t MULT_A = 0x931e8875u;
constexpr std::uint32_t INIT_B = 0x8b51f9ddu;
constexpr std::uint32_t MULT_B = 0x58f38dedu;
constexpr std::uint32_t MIX_MULT_L = 0xca01f9ddu;
constexpr std::uint32_t MIX_MULT_R = 0x4973f715u;
constexpr unsigned XSHIFT = 16;

std::uint32_t hashmix(std::uint32_t value, std::uint32_t& hash_const) {
  value ^= hash_const;
  hash_const *= MULT_A;
  value *= hash_const;
  return value ^ (value >> XSHIFT);
}

std::uint32_t mix(std::uint32_t x, std::uint32_t y) {
  const std::uint32_t r = MIX_MULT_L * x - MIX_MULT_R * y;
  return r ^ (r >> XSHIFT);
}

void append_words(std::vector<std::uint32_t>& out, const SeedInt& v) {
  if (v.negative()) throw std::invalid_argument("expected non-negative integer");
  out.insert(out.end(), v.words().begin(), v.words().end());
}

}  // namespace

SeedSequence::SeedSequence(const SeedInt& entropy) {
  std::vector<std::uint32_t> words;
  append_words(words, entropy);
  mix(words);
}

SeedSequence::SeedSequence(std::span<const SeedInt> entropy) {
  std::vector<std::uint32_t> words;
  for (const auto& v : entropy) append_words(words, v);
  mix(words);
}

void SeedSequence::mix(std::span<const std::uint32_t> entropy) {
  std::uint32_t hash_const = INIT_A;
  for (std::size_t i = 0; i < POOL_SIZE; ++i) pool_[i] = hashmix(i < entropy.size() ? entropy[i] : 0u, hash_const);
  for (std::size_t src = 0; src < POOL_SIZE; ++src)
    for (std::size_t dst = 0; dst < POOL_SIZE; ++dst)
      if (src != dst) pool_[dst] = velmora::mix(pool_[dst], hashmix(pool_[src], hash_const));
  for (std::size_t src = POOL_SIZE; src < entropy.size(); ++src)
    for (std::size_t dst = 0; dst < POOL_SIZE; ++dst)
      pool_[dst] = velmora::mix(pool_[dst], hashmix(entropy[src], hash_const));
}

std::vector<std::uint32_t> SeedSequence::generate_state(std::size_t n) const {
  std::vector<std::uint32_t> out(n);
  std::uint32_t hash_const = INIT_B;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t v = pool_[i % POOL_SIZE] ^ hash_const;
    hash_const *= MULT_B;
    v *= hash_const;
    out[i] = v ^ (v >> XSHIFT);
  }
  return out;
}

// ---- PCG64 ----

Pcg64::Pcg64(const SeedSequence& seed) {
  // Four 64-bit words (pairs of 32-bit words, low first): the first two are the initial state, high half
  // first, the last two the stream.
  const std::vector<std::uint32_t> w = seed.generate_state(8);
  std::uint64_t v[4];
  for (int i = 0; i < 4; ++i) v[i] = static_cast<std::uint64_t>(w[2 * i]) | static_cast<std::uint64_t>(w[2 * i + 1]) << 32;
  const uint128 initstate = static_cast<uint128>(v[0]) << 64 | v[1];
  const uint128 initseq = static_cast<uint128>(v[2]) << 64 | v[3];
  s_.state = 0;
  s_.inc = initseq << 1 | 1u;
  next64();
  s_.state += initstate;
  next64();
}

// ---- Generator ----

void Generator::random(std::span<double> out) {
  for (double& d : out) d = bits_.next_double();
}

namespace {

// The ziggurat's fast path, taken by about 99% of the draws; false sends the draw to the slow path.
inline bool normal_fast(std::uint64_t r, std::uint64_t& rabs, int& idx, double& x) {
  idx = static_cast<int>(r & 0xff);
  r >>= 8;
  rabs = (r >> 1) & 0x000fffffffffffffu;
  // rabs < 2^52 converts exactly through int64; the sign goes in as a bit flip (exactly a negation), since a
  // branch on a random bit would mispredict every other draw.
  const double mag = static_cast<double>(static_cast<std::int64_t>(rabs)) * detail::ZIGGURAT_WI[idx];
  x = std::bit_cast<double>(std::bit_cast<std::uint64_t>(mag) ^ (r << 63));
  return rabs < detail::ZIGGURAT_KI[idx];
}

}  // namespace

// The base strip's tail and the wedges (kept out of line so the fast path stays small); a rejected wedge draw starts over with a fresh 64-bit draw.
[[gnu::noinline]] double Generator::normal_slow(std::uint64_t rabs, int idx, double x) {
  for (;;) {
    if (idx == 0) {
      for (;;) {
        // 1 - U avoids log(0).
        const double xx = -detail::ZIGGURAT_NOR_INV_R * std::log1p(-bits_.next_double());
        const double yy = -std::log1p(-bits_.next_double());
        if (yy + yy > xx * xx)
          return ((rabs >> 8) & 1) ? -(detail::ZIGGURAT_NOR_R + xx) : detail::ZIGGURAT_NOR_R + xx;
      }
    }
    if ((detail::ZIGGURAT_FI[idx - 1] - detail::ZIGGURAT_FI[idx]) * bits_.next_double() + detail::ZIGGURAT_FI[idx] <
        std::exp(-0.5 * x * x))
      return x;
    if (normal_fast(bits_.next64(), rabs, idx, x)) return x;
  }
}

double Generator::standard_normal() {
  std::uint64_t rabs;
  int idx;
  double x;
  if (normal_fast(bits_.next64(), rabs, idx, x)) return x;
  return normal_slow(rabs, idx, x);
}

void Generator::standard_normal(std::span<double> out) {
  for (double& d : out) {
    std::uint64_t rabs;
    int idx;
    double x;
    d = normal_fast(bits_.next64(), rabs, idx, x) ? x : normal_slow(rabs, idx, x);
  }
}

std::int64_t Generator::integers(std::int64_t high) {
  if (high <= 0) throw std::invalid_argument("high <= 0");
  const auto rng = static_cast<std::uint64_t>(high - 1);
  if (rng == 0) return 0;
  if (rng <= 0xffffffffu) {
    if (rng == 0xffffffffu) return bits_.next32();
    const std::uint64_t excl = rng + 1;
    std::uint64_t m = bits_.next32() * excl;
    auto leftover = static_cast<std::uint32_t>(m);
    if (leftover < excl) {
      const auto threshold = static_cast<std::uint32_t>((0xffffffffu - rng) % excl);
      while (leftover < threshold) {
        m = bits_.next32() * excl;
        leftover = static_cast<std::uint32_t>(m);
      }
    }
    return static_cast<std::int64_t>(m >> 32);
  }
  const std::uint64_t excl = rng + 1;
  uint128 m = static_cast<uint128>(bits_.next64()) * excl;
  auto leftover = static_cast<std::uint64_t>(m);
  if (leftover < excl) {
    const std::uint64_t threshold = (~std::uint64_t{0} - rng) % excl;
    while (leftover < threshold) {
      m = static_cast<uint128>(bits_.next64()) * excl;
      leftover = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::int64_t>(m >> 64);
}

std::int64_t Generator::choice(std::span<const double> p) {
  if (p.empty()) throw std::invalid_argument("a must be a positive integer unless no samples are taken");
  // Kahan sum, as NumPy checks the probabilities with it.
  double sum = p[0], c = 0.0;
  for (std::size_t i = 1; i < p.size(); ++i) {
    const double y = p[i] - c;
    const double t = sum + y;
    c = (t - sum) - y;
    sum = t;
  }
  if (std::isnan(sum)) throw std::invalid_argument("probabilities contain NaN");
  for (double q : p)
    if (q < 0) throw std::invalid_argument("probabilities are not non-negative");
  if (std::fabs(sum - 1.0) > 0x1p-26) throw std::invalid_argument("probabilities do not sum to 1");

  // cdf = cumsum(p) / cumsum(p)[-1], searched to the right. The cdf is non-decreasing, so counting its
  // entries <= u gives the search's answer without storing it.
  double total = 0.0;
  for (double q : p) total += q;
  const double u = bits_.next_double();
  std::int64_t n = 0;
  double cum = 0.0;
  for (double q : p) {
    cum += q;
    if (cum / total <= u) ++n;
  }
  return n;
}

Generator default_rng(const SeedInt& seed) { return Generator(SeedSequence(seed)); }
Generator default_rng(std::span<const SeedInt> seed) { return Generator(SeedSequence(seed)); }
Generator default_rng(std::initializer_list<SeedInt> seed) {
  return Generator(SeedSequence(std::span<const SeedInt>(seed.begin(), seed.size())));
}

}  // namespace velmora
