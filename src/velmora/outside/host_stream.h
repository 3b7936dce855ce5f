#pragma once
// The stream protocol of the render host (mirel2/ostrand/protocol.h) as the engine adapter speaks it:
// StepWriter makes the bytes for the host's input, RecordReader takes the host's output apart. The host link's
// poll loop moves the bytes; these two only know what they mean.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmora/audio.hpp"
#include "velmora/frame.hpp"

namespace velmora::detail {

// The messages of the host's failures that the protocol shows.
inline constexpr const char* BAD_HELLO = "the renderer did not start as expected";
inline constexpr const char* STOPPED = "the renderer stopped in the middle of the render";

// The bytes for the host's input: a stream's chunks as sample steps of float32 samples (s16 / 32768), and the
// requests (flush, reset) in the order they are queued. Bytes are made a block at a time, as the pipe takes
// them, so a long chunk is never converted whole. Not thread-safe.
class StepWriter {
 public:
  // Steps of at most `step_samples` samples (1 to the protocol's limit).
  explicit StepWriter(std::size_t step_samples);

  // A new stream: no samples sent yet, no byte carried over.
  void start_stream();
  // Queues a chunk. A chunk may end inside a sample: its odd byte waits for the next chunk.
  void queue_chunk(Pcm chunk);
  // Queues a request after everything queued already (the step in progress is made whole first).
  void queue_request(std::uint32_t word);
  // Drops the rest of the chunk in progress; the step being sent is completed with silence, as a step cut
  // short would swallow the requests that follow as samples.
  void silence_rest();
  // Drops everything not written yet (the host's input is being closed).
  void drop_unwritten();

  // Makes the next block of bytes once those made before have gone out.
  void refill();
  // The bytes made and not written yet.
  std::span<const std::uint8_t> unwritten() const { return {bytes_.data() + written_, bytes_.size() - written_}; }
  void wrote(std::size_t n) { written_ += n; }

  // Bytes or samples still wait to be written.
  bool pending() const { return written_ < bytes_.size() || chunk_at_ < chunk_.size() || step_left_ > 0; }
  // Samples of this stream queued so far.
  std::uint64_t samples() const { return samples_; }

 private:
  void append_le(std::uint32_t word);
  // Appends the next block of the chunk in progress (its step header first where a step starts).
  void make_block();

  std::size_t step_samples_;
  std::vector<std::uint8_t> bytes_;    // made for the host's input; reused
  std::size_t written_ = 0;            // of bytes_, written already
  Pcm chunk_;                          // the chunk being sent
  std::size_t chunk_at_ = 0;           // its bytes converted already
  std::size_t step_left_ = 0;          // samples of the current step not converted yet
  std::optional<std::uint8_t> carry_;  // a chunk's odd last byte, the first of the next chunk's first sample
  std::uint64_t samples_ = 0;
};

// What the host's hello line says.
struct Hello {
  int fps = 0, width = 0, height = 0, sample_rate = 0;
  std::size_t frame_bytes() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3; }
};

// The host's output: its hello line, then frame records and end-of-flush markers. The frames to keep come out
// whole (take_frame), each in a buffer of its own; the others are read into scratch space and dropped. Not
// thread-safe.
class RecordReader {
 public:
  RecordReader();

  enum class Read { nothing, bytes, end };
  // One read from the non-blocking `fd`: the rest of the record in hand goes straight into its frame, what
  // follows into a staging buffer and through the parser. EngineFailed for a record the protocol does not
  // allow (a negative frame index) or a hello line that says no stream of 16 kHz (take_hello).
  Read read_from(int fd);
  // One read from `fd` whose bytes are dropped (a host being ended).
  Read drop_from(int fd);

  // Parses the hello line once its end has come; what followed it goes through the record parser. False while
  // it has not come whole. EngineFailed "the renderer did not start as expected" when it is no hello line of a
  // frame stream this adapter can feed.
  bool take_hello();
  // More than HELLO_MAX_BYTES came without a line's end.
  bool hello_too_long() const;
  const Hello& hello() const { return hello_; }

  // A new stream: its records counted from 0, all of them kept.
  void start_stream();
  // Only records up to `last` (a record index) are kept from now on.
  void keep_upto(std::int64_t last) { keep_upto_ = last; }
  // While set, every record is dropped (an interrupt drains what the host still owes).
  void drop_records(bool on) { discard_ = on; }
  // A flush was sent: its end marker is owed.
  void expect_marker() { ++markers_owed_; }
  bool marker_owed() const { return markers_owed_ > 0; }
  // Frame records of this stream read whole so far.
  std::uint64_t records_seen() const { return records_seen_; }

  std::optional<Frame> take_frame();
  void drop_frames() { ready_.clear(); }

 private:
  // Takes bytes that are not in their place yet through the record parser.
  void parse(const std::uint8_t* data, std::size_t size);
  // Where the next bytes go: the rest of a record's index, or the rest of its pixels.
  std::span<std::uint8_t> room();
  // Where the pixels of the current record go: a buffer of its own for a frame to hand out, else scratch.
  std::uint8_t* target();
  void advance(std::size_t n);
  void finish_record();
  void parse_hello(const std::string& line);

  std::unique_ptr<std::uint8_t[]> stage_;  // what a read brings beyond the record in hand
  std::string hello_text_;
  bool hello_done_ = false;
  Hello hello_;
  std::uint8_t index_bytes_[4] = {};
  std::size_t index_have_ = 0;
  std::int64_t pixels_have_ = -1;  // -1: reading an index
  std::int32_t current_index_ = 0;
  std::uint64_t records_seen_ = 0;
  bool keep_current_ = false;
  std::shared_ptr<std::byte[]> pixels_;
  std::vector<std::uint8_t> scratch_;  // where dropped frames are read
  std::deque<Frame> ready_;
  std::optional<std::int64_t> keep_upto_;
  bool discard_ = false;
  int markers_owed_ = 0;  // flushes whose end marker has not come yet
};

}  // namespace velmora::detail
