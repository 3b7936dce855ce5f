#include "mirel2/ostrand/support/fake_renderer.h"

namespace velmora::ostrand::testing {

std::vector<std::uint8_t> fake_frame(std::int32_t index) {
  std::vector<std::uint8_t> f(FRAME_BYTES);
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(index * 7 + i % 251);
  return f;
}

void FakeRenderer::feed(std::span<const float> pcm) {
  calls += 'f';
  fed.insert(fed.end(), pcm.begin(), pcm.end());
  pending_ += pcm.size();
}

void FakeRenderer::render_chunk(const FrameSink& sink) {
  std::vector<std::vector<std::uint8_t>> bytes;
  std::vector<FramePair> frames;
  for (int k = 0; k < frames_per_chunk_; ++k) bytes.push_back(fake_frame(next_index_ + k));
  for (int k = 0; k < frames_per_chunk_; ++k) frames.push_back({next_index_ + k, bytes[k]});
  next_index_ += frames_per_chunk_;
  ++chunks_;
  seconds_ += seconds_per_chunk;
  rendered_any_ = true;
  sink(frames);
}

void FakeRenderer::ready_chunks(const FrameSink& sink) {
  calls += 'r';
  while (pending_ >= samples_per_chunk_) {
    pending_ -= samples_per_chunk_;
    render_chunk(sink);
  }
}

void FakeRenderer::flush_chunks(const FrameSink& sink) {
  calls += 'F';
  ready_chunks(sink);
  calls.pop_back();
  if (pending_ > 0 || !rendered_any_) {
    pending_ = 0;
    render_chunk(sink);
  }
}

void FakeRenderer::reset() {
  calls += 'R';
  pending_ = 0;
  rendered_any_ = false;
  chunks_ = 0;
  seconds_ = 0;
  next_index_ = 3;
}

}  // namespace velmora::ostrand::testing
