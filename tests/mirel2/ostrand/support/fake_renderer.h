#pragma once
// A scripted stand-in for the streaming renderer: every `samples_per_chunk` samples fed complete one chunk of
// `frames_per_chunk` frames; a flush renders one more chunk when audio is left over (or when nothing was ever
// rendered). Frame bytes are a pattern of the frame index, so a reader can check each record.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/renderer_api.h"

namespace velmora::ostrand::testing {

// The bytes of frame `index` as FakeRenderer renders it.
std::vector<std::uint8_t> fake_frame(std::int32_t index);

class FakeRenderer : public StreamRenderer {
 public:
  FakeRenderer(std::size_t samples_per_chunk, int frames_per_chunk)
      : samples_per_chunk_(samples_per_chunk), frames_per_chunk_(frames_per_chunk) {}

  void feed(std::span<const float> pcm) override;
  void ready_chunks(const FrameSink& sink) override;
  void flush_chunks(const FrameSink& sink) override;
  void reset() override;
  std::optional<double> rtf() const override { return chunks_ ? rtf_ : std::nullopt; }
  long chunks_rendered() const override { return chunks_; }
  double render_seconds() const override { return seconds_; }
  std::optional<ColorDescriptor> color() const override { return color_; }

  // Scripted values.
  std::optional<double> rtf_ = 0.4;
  double seconds_per_chunk = 0.64;
  std::optional<ColorDescriptor> color_;

  // Recorded calls, one letter each: f(eed) r(eady) F(lush) R(eset); and every sample fed.
  std::string calls;
  std::vector<float> fed;

 private:
  void render_chunk(const FrameSink& sink);
  std::size_t samples_per_chunk_;
  int frames_per_chunk_;
  std::size_t pending_ = 0;    // samples fed since the last chunk
  bool rendered_any_ = false;  // since the last reset
  long chunks_ = 0;
  double seconds_ = 0;
  std::int32_t next_index_ = 3;
};

}  // namespace velmora::ostrand::testing
