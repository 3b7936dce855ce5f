#pragma once
// The motion stages' fixture packs and NumPy references (tests/fixtures/v2u/gen_motion.py), and the inputs the
// generator makes by formula: stream audio, token features and detector hidden outputs.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/ndarray.h"
#include "common/npy.h"
#include "v2u/host/encoder.h"
#include "v2u/host/pack.h"

namespace velmora::v2u::motion_fixture {

// The directory of fixture pack `name` (main, f64, noflow, head2, enc16, bad).
std::string pack_dir(const std::string& name);
// Fixture pack `name`, loaded once per test program.
const Pack& pack(const std::string& name);
// motion_ref.npz.
const NpzFile& ref();

// Same element type, shape and bytes.
void expect_same(const NdArray& got, const NdArray& want);
// SHA-256 of the array's bytes, as the generator stores digests (hex digits as uint8).
std::string digest(const NdArray& a);
std::string text_of(const NdArray& hex_bytes);

// Token k's features: ((i * 31 + k * 977) mod 211) / 16 - 6.5, float16 (4, 3, 768).
NdArray token_feat(std::int64_t k);
// A stand-in detector output for token k: ((i * 13 + k * 101) mod 37) / 8 - 2, float32 (1, n).
NdArray token_hidden(std::int64_t k, std::int64_t n);

// Stream audio at any position p (negative ones too): (p * 7919 + 13) mod 20011 - 10005 as int16, or that
// divided by 32768 as float32. Records the windows asked for.
class RampAudio : public AudioWindow {
 public:
  explicit RampAudio(bool as_float) : as_float_(as_float) {}
  NdArray window(std::int64_t win_start, std::int64_t win_end) override;
  std::vector<std::pair<std::int64_t, std::int64_t>> asked;

 private:
  bool as_float_;
};

}  // namespace velmora::v2u::motion_fixture
