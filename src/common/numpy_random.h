#pragma once
// Random numbers equal to NumPy's `default_rng` bit for bit: SeedSequence entropy mixing, the PCG64 bit
// generator, and the Generator methods random, standard_normal (NumPy's 256-level ziggurat, tail included),
// integers and choice. The same seed and the same order of calls give the same numbers as NumPy 1.24.
//
// Value errors NumPy raises are std::invalid_argument with NumPy's message text.
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace velmora {

// An integer of any size and sign, as a Python seed is: a sign and a magnitude in 32-bit words.
class SeedInt {
 public:
  template <std::integral T>
  SeedInt(T value) {  // NOLINT: implicit, so a seed reads like the integer it is
    if constexpr (std::is_signed_v<T>) {
      negative_ = value < 0;
      set_magnitude(negative_ ? 0u - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value));
    } else {
      set_magnitude(static_cast<std::uint64_t>(value));
    }
  }
  // Decimal digits of any length after an optional sign ("-12", "18446744073709551621"), as json::Value's
  // int_text() gives them. Throws std::invalid_argument for anything else.
  static SeedInt parse(std::string_view text);

  bool negative() const { return negative_; }
  // The magnitude, least significant word first, without high zero words; zero is the single word 0.
  const std::vector<std::uint32_t>& words() const { return words_; }
  // Python's `value % 2**32`: the non-negative remainder (for a negative value, its low 32 bits in two's
  // complement, so -1 gives 4294967295).
  std::uint32_t mod_2_32() const;

 private:
  SeedInt() = default;
  void set_magnitude(std::uint64_t m);

  bool negative_ = false;
  std::vector<std::uint32_t> words_{0};
};

// NumPy's SeedSequence without spawn key, pool size 4.
class SeedSequence {
 public:
  static constexpr std::size_t POOL_SIZE = 4;

  // Entropy from one integer, or from a list of integers whose words are joined in order (an empty list is
  // the integer 0). Throws std::invalid_argument("expected non-negative integer") for a negative one.
  explicit SeedSequence(const SeedInt& entropy);
  explicit SeedSequence(std::span<const SeedInt> entropy);

  const std::array<std::uint32_t, POOL_SIZE>& pool() const { return pool_; }
  // The first `n` words of the state handed to a bit generator (NumPy's generate_state(n, np.uint32)).
  std::vector<std::uint32_t> generate_state(std::size_t n) const;

 private:
  void mix(std::span<const std::uint32_t> entropy);

  std::array<std::uint32_t, POOL_SIZE> pool_{};
};

__extension__ typedef unsigned __int128 uint128;

// NumPy's PCG64 bit generator (XSL-RR output of a 128-bit LCG), with its buffered half of a 64-bit draw.
class Pcg64 {
 public:
  struct State {
    uint128 state = 0;
    uint128 inc = 0;
    bool has_uint32 = false;
    std::uint32_t uinteger = 0;
  };

  explicit Pcg64(const SeedSequence& seed);

  const State& state() const { return s_; }

  std::uint64_t next64() {
    s_.state = s_.state * MULTIPLIER + s_.inc;
    const auto hi = static_cast<std::uint64_t>(s_.state >> 64);
    const auto lo = static_cast<std::uint64_t>(s_.state);
    const unsigned rot = static_cast<unsigned>(s_.state >> 122);
    const std::uint64_t x = hi ^ lo;
    return (x >> rot) | (x << ((64u - rot) & 63u));
  }
  // The low half of a fresh 64-bit draw, the high half being kept for the next call.
  std::uint32_t next32() {
    if (s_.has_uint32) {
      s_.has_uint32 = false;
      return s_.uinteger;
    }
    const std::uint64_t n = next64();
    s_.has_uint32 = true;
    s_.uinteger = static_cast<std::uint32_t>(n >> 32);
    return static_cast<std::uint32_t>(n);
  }
  // A double in [0, 1) from the top 53 bits of one 64-bit draw.
  double next_double() { return static_cast<double>(next64() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  static constexpr uint128 MULTIPLIER =
      (static_cast<uint128>(2549297995355413924ull) << 64) | 4865540595714422341ull;

  State s_;
};

// NumPy's Generator over PCG64, with the methods the renderer draws from.
class Generator {
 public:
  explicit Generator(const SeedSequence& seed) : bits_(seed) {}

  Pcg64& bit_generator() { return bits_; }
  const Pcg64& bit_generator() const { return bits_; }

  // random(): a double in [0, 1). The array form fills `out` in order.
  double random() { return bits_.next_double(); }
  void random(std::span<double> out);

  // standard_normal(): NumPy's ziggurat; the array form fills `out` in order (row-major for any shape).
  double standard_normal();
  void standard_normal(std::span<double> out);

  // integers(high): uniform on 0 .. high - 1 (int64, Lemire's method as NumPy draws it; a range that fits
  // 32 bits uses half of a 64-bit draw and keeps the other half for the next such call). integers(1) is 0
  // and draws nothing. Throws std::invalid_argument("high <= 0").
  std::int64_t integers(std::int64_t high);

  // choice(len(p), p=p) for one sample: an index drawn with probabilities p, consuming exactly one double.
  // Throws std::invalid_argument with NumPy's texts, before any draw, for an empty p, NaN, negative
  // probabilities and a sum further than sqrt(DBL_EPSILON) from 1.
  std::int64_t choice(std::span<const double> p);

 private:
  double normal_slow(std::uint64_t rabs, int idx, double x);

  Pcg64 bits_;
};

// numpy.random.default_rng(seed) for an integer seed, and for a list of integers.
Generator default_rng(const SeedInt& seed);
Generator default_rng(std::span<const SeedInt> seed);
Generator default_rng(std::initializer_list<SeedInt> seed);

}  // namespace velmora
