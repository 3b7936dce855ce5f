#include "v2u/host/noise.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/json_convert.h"
#include "common/numpy_sum.h"
#include "common/py_float.h"
#include "common/pytext.h"

namespace velmora::v2u {

namespace {

void check_count(std::int64_t n) {
  if (n < 0) throw std::invalid_argument("negative dimensions are not allowed");
}

std::string reshape_error(std::size_t size, const std::string& shape) {
  return "cannot reshape array of size " + std::to_string(size) + " into shape " + shape;
}

std::vector<Ar2Channel> read_channels(const json::Value& res) {
  const json::Value& ar = json::at(res, "ar");
  if (!ar.is_array()) throw std::invalid_argument(std::string("'") + ar.type_name() + "' object is not iterable");
  std::vector<Ar2Channel> out;
  for (const json::Value& a : ar.as_array()) {
    Ar2Channel c;
    c.a1 = json::py_float(json::at(a, "a1"));
    c.a2 = json::py_float(json::at(a, "a2"));
    c.sig = json::py_float(json::at(a, "sig"));
    out.push_back(c);
  }
  return out;
}

}  // namespace

// ---- NumpyNoise ----

NumpyNoise::NumpyNoise(const SeedInt& seed) : rng_(default_rng(seed)) {}

std::int64_t NumpyNoise::code(std::span<const double> weights) {
  const double s = numpy_sum<double>(weights);
  q_.resize(weights.size());
  for (std::size_t i = 0; i < weights.size(); ++i) q_[i] = weights[i] / s;
  return rng_.choice(q_);
}

float NumpyNoise::u() { return static_cast<float>(rng_.random()); }

std::vector<float> NumpyNoise::x0(std::int64_t n) {
  check_count(n);
  std::vector<float> out(static_cast<std::size_t>(n));
  for (float& f : out) f = static_cast<float>(rng_.standard_normal());
  return out;
}

// ---- RecNoise ----

RecNoise::RecNoise(NoiseRecord rec) : rec_(std::move(rec)) {}

std::int64_t RecNoise::code(std::span<const double>) {
  if (ic_ >= rec_.code.size()) throw std::out_of_range("list index out of range");
  return rec_.code[ic_++];
}

float RecNoise::u() {
  if (iu_ >= rec_.u.size()) throw std::out_of_range("list index out of range");
  const std::vector<double>& v = rec_.u[iu_];
  if (v.size() != 1) throw std::invalid_argument(reshape_error(v.size(), "(1,)"));
  ++iu_;
  return static_cast<float>(v[0]);
}

std::vector<float> RecNoise::x0(std::int64_t n) {
  check_count(n);
  if (ix_ >= rec_.x0.size()) throw std::out_of_range("list index out of range");
  const std::vector<double>& v = rec_.x0[ix_];
  if (v.size() != static_cast<std::size_t>(n))
    throw std::invalid_argument(reshape_error(v.size(), "(1," + std::to_string(n) + ")"));
  ++ix_;
  return std::vector<float>(v.begin(), v.end());
}

// ---- AR2Noise ----

AR2Noise::AR2Noise(const json::Value& res, const SeedInt& seed) : AR2Noise(read_channels(res), seed) {}

AR2Noise::AR2Noise(std::vector<Ar2Channel> channels, const SeedInt& seed) {
  const std::uint32_t base = seed.mod_2_32() ^ SEED_XOR;
  ar_.reserve(channels.size());
  for (std::size_t j = 0; j < channels.size(); ++j)
    ar_.push_back(Channel{channels[j], default_rng({base, j}), 0.0, 0.0});
  e_.resize(static_cast<std::size_t>(std::max(BLOCK, BURN)));
  for (Channel& c : ar_) {
    const std::span<double> e(e_.data(), static_cast<std::size_t>(BURN));
    c.rng.standard_normal(e);
    // The first two draws only advance the generator.
    for (std::int64_t t = 2; t < BURN; ++t) {
      const double x = ((c.ar.a1 * c.x1) + (c.ar.a2 * c.x2)) + e[t] * c.ar.sig;
      c.x2 = c.x1;
      c.x1 = x;
    }
  }
}

// Makes the next block of rows and keeps those of frames >= keep_from.
void AR2Noise::make_block(std::int64_t keep_from) {
  const std::int64_t first = b0_ + kept_;  // frame of the block's first row
  const std::int64_t skip = std::clamp<std::int64_t>(keep_from - first, 0, BLOCK);
  const std::size_t m = ar_.size();
  const std::size_t at = buf_.size();
  buf_.resize(at + static_cast<std::size_t>(BLOCK - skip) * m);
  const std::span<double> e(e_.data(), static_cast<std::size_t>(BLOCK));
  for (std::size_t j = 0; j < m; ++j) {
    Channel& c = ar_[j];
    c.rng.standard_normal(e);
    double* col = buf_.data() + at + j;
    for (std::int64_t t = 0; t < BLOCK; ++t) {
      const double x = ((c.ar.a1 * c.x1) + (c.ar.a2 * c.x2)) + e[t] * c.ar.sig;
      c.x2 = c.x1;
      c.x1 = x;
      if (t >= skip) col[static_cast<std::size_t>(t - skip) * m] = x;
    }
  }
  if (skip == 0) {
    kept_ += BLOCK;
  } else {
    // Only a call that releases everything before keep_from skips rows, and it has already emptied the buffer.
    b0_ = first + skip;
    kept_ = BLOCK - skip;
  }
}

std::vector<double> AR2Noise::rows(std::int64_t t0, std::int64_t t1) {
  if (t0 < b0_) throw std::out_of_range("AR2Noise: rows already released");
  if (t1 < t0) throw std::invalid_argument("AR2Noise: rows(" + std::to_string(t0) + ", " + std::to_string(t1) + ") ends before it starts");
  const std::size_t m = ar_.size();
  const bool release = t0 - b0_ > KEEP;
  if (release) {
    // This call releases every row before t0: drop the kept ones now and never store the ones it makes, so a
    // long jump forward holds no more rows than it returns.
    const std::int64_t drop = std::min(t0 - b0_, kept_);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(drop) * m));
    b0_ += drop;
    kept_ -= drop;
  }
  while (b0_ + kept_ < t1) make_block(release ? t0 : b0_);
  const auto from = static_cast<std::size_t>(t0 - b0_) * m;
  return std::vector<double>(buf_.begin() + static_cast<std::ptrdiff_t>(from),
                             buf_.begin() + static_cast<std::ptrdiff_t>(from + static_cast<std::size_t>(t1 - t0) * m));
}

}  // namespace velmora::v2u
