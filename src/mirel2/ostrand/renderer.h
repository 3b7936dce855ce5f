#pragma once
// The streaming chunk renderer: one stream of 16 kHz mono float32 speech, fed in pieces of any size, becomes
// numbered RGB888 frames, chunk by chunk, as soon as each chunk's audio window is complete.
//
// Chunk schedule (k = chunk index since the last reset; s0 = window start):
//   k = 0:   6 latents, token rows 0-5,  s0 = 0, audio 0..25,599 at most then zeros, due at 25,600 samples,
//            21 frames decoded, 22 records 3..24 (the stream's first frame twice, under 3 and 4)
//   k >= 1:  8 latents, token rows 6-13, s0 = (k - 1) x 25,600 (0 for k = 1), audio s0..s0 + 43,999,
//            due at s0 + 44,000 samples, 32 frames, records 32k - 7 .. 32k + 24
// A chunk: window cut, tempo stretch (x 3.0 gain), encoder, tokenizer, one step per latent, decoder rows,
// decoders, RGB888 conversion on the pool. After chunk k the audio before k x 25,600 is dropped.
//
// Frames go to the sink chunk by chunk, as views of one RGB buffer that the next chunk reuses: memory stays
// bounded whatever the size of one feed. Every buffer of a chunk (window, stretch, tokens, latents, decoder
// rows, RGB) is kept across chunks, so a steady stream allocates nothing; decoded frames are converted straight
// from the decoder's output, batch by batch.
//
// Single-threaded: one thread (the stream server's) calls every method. An error inside a chunk propagates
// unchanged; the chunk is not counted (chunk index, frame numbering and timing stay), but the history has been
// stepped and the previous latent may be replaced: only reset() restores a consistent state.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/reusable_buffer.h"
#include "mirel2/litert/tensor.h"
#include "mirel2/ostrand/color_correct.h"
#include "mirel2/ostrand/dec_inputs.h"
#include "mirel2/ostrand/litert_chain.h"
#include "mirel2/ostrand/protocol.h"
#include "mirel2/ostrand/renderer_api.h"
#include "mirel2/ostrand/sliding_pcm.h"
#include "mirel2/ostrand/wsola.h"

namespace velmora::ostrand {

class Renderer : public StreamRenderer {
 public:
  // Keeps `chain` (which must outlive the renderer) and `cc` (null: frames are the raw model output), takes the
  // RGB worker count from rgb_threads() once, and starts a stream.
  Renderer(LitertChain& chain, std::shared_ptr<const ColorCorrect> cc);

  void feed(std::span<const float> pcm) override;
  void ready_chunks(const FrameSink& sink) override;
  void flush_chunks(const FrameSink& sink) override;
  void reset() override;
  std::optional<double> rtf() const override;
  long chunks_rendered() const override { return c_n_; }
  double render_seconds() const override { return c_wall_; }
  std::optional<ColorDescriptor> color() const override { return color_descriptor(cc_.get()); }

  // Fed samples a chunk needs before it is rendered: min((ci + 1) x 25,600, s0 + 44,000).
  static std::int64_t need(std::int64_t ci);
  // The chunk's audio window (WIN_SAMPLES) into `out`: fed samples s0 .. min(s0 + 44,000, (ci + 1) x 25,600,
  // fed) - 1, zeros after them. Throws std::runtime_error("consumed audio context requested") when those
  // samples have been dropped already.
  void window(std::int64_t ci, std::span<float> out) const;

  const ColorCorrect* cc() const { return cc_.get(); }
  int rgb_threads() const { return rgb_threads_; }
  // Index of the next chunk to render; the next frame's index; the stream's audio positions.
  std::int64_t chunk_index() const { return ci_; }
  std::int64_t next_frame_index() const { return px_frame_; }
  std::int64_t buf_base() const { return pcm_.base(); }
  std::int64_t fed_samples() const { return pcm_.fed(); }
  std::int64_t live_samples() const { return static_cast<std::int64_t>(pcm_.live().size()); }

 private:
  // Renders chunk ci_ into frames_ and counts it.
  void process_chunk();
  // Advances to the next chunk, drops the audio no later window reads, and hands the chunk's frames over.
  void finish_chunk(const FrameSink& sink);

  LitertChain& chain_;
  std::shared_ptr<const ColorCorrect> cc_;
  int rgb_threads_;

  // Stream state.
  detail::SlidingPcm pcm_;
  std::int64_t ci_ = 0;
  std::vector<float> hist_;
  bool has_prev_ = false;
  std::vector<float> prev_lat_;
  std::int64_t px_frame_ = FIRST_FRAME_INDEX;
  double c_wall_ = 0.0;
  long c_n_ = 0;

  // A chunk's buffers, reused.
  std::vector<float> window_;
  std::vector<float> tempo_;
  WsolaScratch wsola_;
  litert::Tensor feats_;
  litert::Tensor tok_;
  std::vector<float> lats_;  // STEADY_LAT latents, one after another
  std::vector<LatentView> lat_views_;
  ReusableBuffer<float> xs_;
  std::vector<std::span<const float>> frame_views_;
  ReusableBuffer<std::uint8_t> rgb_;
  std::vector<FramePair> frames_;
};

}  // namespace velmora::ostrand
