#pragma once
// The audio encoder: one block of video frames of 16 kHz speech becomes three 768-wide float16 feature rows
// per frame. One trunk run covers a standardised window of SWIN samples ending R frames after the block; each
// frame samples the trunk's output at its own fractional step; one head run turns those samples into 12 rows
// per frame, folded into the three group means.
#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ndarray.h"
#include "v2u/host/ort_session.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {

// The stream's audio as the encoder reads it.
class AudioWindow {
 public:
  virtual ~AudioWindow() = default;
  // The SWIN samples at stream positions win_start .. win_end - 1 as a one-axis array of any real element type,
  // the first element being position win_start (negative for the first blocks of a stream). How positions
  // before the stream or beyond the audio received so far are filled is the implementation's choice.
  virtual NdArray window(std::int64_t win_start, std::int64_t win_end) = 0;
};

// A private pair of encoder sessions for one stream, with a thread count of its own.
class EncPair {
 public:
  // Opens the pack's "enc_trunk" graph and then its "enc_head" graph with `threads` intra-op threads, and copies
  // the trunk's tensor names. Throws KeyError for a missing graph entry and the runtime's error for a graph it
  // cannot open; nothing is kept then. Keeps no reference to `pk`.
  explicit EncPair(const Pack& pk, int threads = 1);

  Session s_trunk, s_head;
  std::string trunk_in, trunk_out;
};

// What the encoder runs: the shared Pack, an EncPair, or anything else with these four members.
template <class P>
concept EncoderGraphs = requires(const P& p) {
  { p.s_trunk } -> std::convertible_to<const Session&>;
  { p.s_head } -> std::convertible_to<const Session&>;
  { p.trunk_in } -> std::convertible_to<const std::string&>;
  { p.trunk_out } -> std::convertible_to<const std::string&>;
};

namespace detail {
// Where frame `gi` samples the trunk of a window starting at sample `win_start`, in trunk steps of 80 samples:
// the anchor frame f0 (0 below frame TW, else the multiple of TW / 2 that lies TW / 2 to TW - 1 frames back) at
// its exact position, the frames after it SP8 steps apart. i0 = floor(p), al = p - i0.
struct TrunkPosition {
  double p;
  std::int64_t i0;
  double al;
};
TrunkPosition trunk_position(std::int64_t gi, std::int64_t win_start);
}  // namespace detail

// The encoder of one stream. Holds no state that changes between blocks: any block may be encoded in any
// order, and the same audio gives the same features. Used from one thread at a time (it keeps scratch buffers).
class Enc {
 public:
  // Keeps a reference to `pk`'s sessions and names, which must outlive the encoder.
  template <EncoderGraphs P>
  explicit Enc(const P& pk) : trunk_(&pk.s_trunk), head_(&pk.s_head), trunk_in_(&pk.trunk_in), trunk_out_(&pk.trunk_out) {}
  template <EncoderGraphs P>
  explicit Enc(const P&& pk) = delete;  // the sessions must outlive the encoder

  // The features of frames b0 .. b0 + B - 1: float16 (B, 3, 768). The audio window ends (b0 + B + R) * HOP; the
  // caller keeps B + R at most SWIN / HOP = 50, so that every frame samples inside the trunk's output. Throws
  // std::invalid_argument for B < 1, a window that is not SWIN samples on one axis, and graph outputs of other
  // shapes than (1, 640, LT) and (B, >= 12, 768); std::out_of_range naming the frame when a frame would sample
  // before the trunk's first step or past its last; errors of `aud` and of the runs pass unchanged.
  NdArray block(AudioWindow& aud, std::int64_t b0, std::int64_t B, std::int64_t R);

 private:
  const Session* trunk_;
  const Session* head_;
  const std::string* trunk_in_;
  const std::string* trunk_out_;
  struct Column {
    std::int64_t i0, i1;  // the trunk columns a frame interpolates between
    double al;            // the weight of i1
  };
  NdArray z_;  // the standardised window, (1, SWIN) float32
  std::vector<Column> cols_;  // per frame of the block
  NdArray x_;  // the head's input, (B, 640) float32, remade when B changes
  std::vector<float> rows_;  // one frame's head rows rounded through float16
};

}  // namespace velmora::v2u
