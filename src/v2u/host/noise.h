#pragma once
// The randomness of one stream's motion: live draws from a seeded generator (NumpyNoise), the replay of a
// recorded draw list (RecNoise), and per-channel AR(2) noise addressed by absolute frame (AR2Noise).
// Each instance belongs to one stream and one thread at a time.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/json.h"
#include "common/numpy_random.h"

namespace velmora::v2u {

// What the head-motion model draws from, in this order within a token step: code (only on steps that draw
// a new code), u, x0.
class NoiseSource {
 public:
  virtual ~NoiseSource() = default;
  // A code in 0 .. K-1. `weights` is row 0 of the model's probability output (K non-negative weights).
  virtual std::int64_t code(std::span<const double> weights) = 0;
  // The one element of a float32 array of shape (1,).
  virtual float u() = 0;
  // A float32 array of shape (1, n), as its n values. Throws std::invalid_argument for a negative n.
  virtual std::vector<float> x0(std::int64_t n) = 0;
};

// Live noise: every call draws from one default_rng(seed), in call order.
class NumpyNoise final : public NoiseSource {
 public:
  // Throws std::invalid_argument("expected non-negative integer") for a negative seed. Seeds are not reduced:
  // 5 and 5 + 2**32 give different streams.
  explicit NumpyNoise(const SeedInt& seed);

  // choice(K, p = weights / sum(weights)), one uniform double. Throws std::invalid_argument with NumPy's
  // texts for no weights, negative or NaN weights, or a zero sum; nothing is drawn then.
  std::int64_t code(std::span<const double> weights) override;
  // random() rounded to float32 (can be 1.0f).
  float u() override;
  // n standard normals, each rounded to float32.
  std::vector<float> x0(std::int64_t n) override;

 private:
  Generator rng_;
  std::vector<double> q_;  // reused by code()
};

// A recorded draw list: one entry per call of each kind, in call order.
struct NoiseRecord {
  std::vector<std::int64_t> code;
  std::vector<std::vector<double>> u;   // each must hold exactly one value
  std::vector<std::vector<double>> x0;  // each must hold exactly the n values of its call
};

// Replays a NoiseRecord with one cursor per kind; each call advances only its own cursor, and only after its
// value was read and converted. The record is copied.
class RecNoise final : public NoiseSource {
 public:
  explicit RecNoise(NoiseRecord rec);

  // The next recorded code; `weights` is ignored. Past the end: std::out_of_range("list index out of range").
  std::int64_t code(std::span<const double> weights) override;
  // The next recorded uniform value as float32. Past the end: std::out_of_range; an entry not of exactly one
  // value: std::invalid_argument. The cursor stays then.
  float u() override;
  // The next recorded array as float32. Past the end: std::out_of_range; an entry not of exactly n values:
  // std::invalid_argument. The cursor stays then.
  std::vector<float> x0(std::int64_t n) override;

  std::size_t ic() const { return ic_; }
  std::size_t iu() const { return iu_; }
  std::size_t ix() const { return ix_; }

 private:
  NoiseRecord rec_;
  std::size_t ic_ = 0, iu_ = 0, ix_ = 0;
};

// One AR(2) channel: x[t] = a1 * x[t-1] + a2 * x[t-2] + sig * N(0, 1).
struct Ar2Channel {
  double a1 = 0.0;
  double a2 = 0.0;
  double sig = 0.0;
};

// M channels of AR(2) noise by absolute frame index. Channel j draws from default_rng([base, j]) with
// base = (seed XOR 0x5A5A5A5A) mod 2**32, so seeds equal modulo 2**32 give equal rows. Rows are made a block
// at a time and released once the reader is more than 4 blocks past them; a row never changes once made, and
// row t depends only on the channels, the seed and t.
class AR2Noise {
 public:
  static constexpr std::int64_t BLOCK = 1024;          // rows made per growth step
  static constexpr std::int64_t BURN = 200;            // normals drawn per channel before frame 0
  static constexpr std::int64_t KEEP = 4 * BLOCK;      // rows before t0 kept (more are released)
  static constexpr std::uint32_t SEED_XOR = 0x5A5A5A5Au;

  // `res` is a mapping whose "ar" entry lists the channels as mappings with "a1", "a2" and "sig" numbers.
  // Throws KeyError naming a missing key and std::invalid_argument
  // for a value that is not a number; no source is made then.
  AR2Noise(const json::Value& res, const SeedInt& seed);
  AR2Noise(std::vector<Ar2Channel> channels, const SeedInt& seed);

  std::size_t channels() const { return ar_.size(); }

  // The rows of frames t0 .. t1 - 1: shape (t1 - t0, channels()), row-major.
  // Throws std::out_of_range("AR2Noise: rows already released") when t0 lies before the first kept row, and
  // std::invalid_argument when t1 < t0; nothing changes then.
  std::vector<double> rows(std::int64_t t0, std::int64_t t1);

  // The absolute frame of the first kept row, and how many rows are kept.
  std::int64_t b0() const { return b0_; }
  std::int64_t kept_rows() const { return kept_; }

 private:
  struct Channel {
    Ar2Channel ar;
    Generator rng;
    double x1 = 0.0, x2 = 0.0;
  };
  void make_block(std::int64_t keep_from);

  std::vector<Channel> ar_;
  std::vector<double> buf_;  // kept_ rows x channels(), row-major; row r is frame b0_ + r
  std::int64_t kept_ = 0;
  std::int64_t b0_ = 0;
  std::vector<double> e_;  // one block of normals, reused
};

}  // namespace velmora::v2u
