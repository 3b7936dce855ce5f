#pragma once
// What the stream server drives: the streaming renderer, seen through the operations the server calls.
// The real renderer (audio in, RGB888 frames out) implements this; tests use scripted fakes.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace velmora::ostrand {

// One frame of a stream: its index (numbered from 3 after construction and after each reset) and a view of its
// FRAME_BYTES of RGB888, valid only during the FrameSink call that carries it.
struct FramePair {
  std::int32_t index;
  std::span<const std::uint8_t> rgb;
};

// Receives the frames of one rendered chunk, in frame order, as soon as the chunk is rendered; a render step
// that completes several chunks calls it once per chunk, so no step ever holds all its frames at once.
using FrameSink = std::function<void(std::span<const FramePair>)>;

// The hello line's description of the colour correction: kind ("lut" or "gain_bias") and the SHA-256 of its
// table or of its gain and bias bytes.
struct ColorDescriptor {
  std::string kind;
  std::string sha256;
};

class StreamRenderer {
 public:
  virtual ~StreamRenderer() = default;

  // Appends float32 mono samples at 16 kHz after those fed before; renders nothing.
  virtual void feed(std::span<const float> pcm) = 0;
  // Renders every chunk whose audio window is now complete, in order, handing each chunk's frames to `sink`.
  virtual void ready_chunks(const FrameSink& sink) = 0;
  // Renders the chunks still owed at the end of the audio fed so far (missing audio is silence). Does not reset.
  virtual void flush_chunks(const FrameSink& sink) = 0;
  // Starts a new stream.
  virtual void reset() = 0;

  // Mean wall seconds per chunk over the 1.6 s a steady chunk plays; nothing before the first chunk since reset.
  virtual std::optional<double> rtf() const = 0;
  // Chunks rendered since the last reset, and the wall seconds spent rendering them.
  virtual long chunks_rendered() const = 0;
  virtual double render_seconds() const = 0;

  // The colour correction's descriptor, or nothing when frames are the raw model output.
  virtual std::optional<ColorDescriptor> color() const = 0;
};

}  // namespace velmora::ostrand
