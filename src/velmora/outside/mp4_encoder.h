#pragma once
// The encoding of a video: an MP4 container of H.264 video (libx264, yuv420p) and AAC audio (FFmpeg's own
// encoder, 16 kHz mono), each frame encoded as it arrives and written into a VideoTarget's temporary file.
//
// Frame size: yuv420p needs an even width and height, so an odd width loses its last column and an odd
// height its last row. Frames are 8-bit RGB (grey and RGBA are taken too; alpha is dropped) and must all have
// the size of the first.
//
// A file-size limit (RLIMIT_FSIZE): the writes into the file run with SIGXFSZ blocked in the writing thread,
// so crossing the limit fails the write with EFBIG (reported as Failed) instead of ending the process. The
// signal those writes raise is taken back only while its disposition is the default (which would end the
// process); the application's signal dispositions and the signal masks of its other threads are never
// changed, and a handler of its own still gets the signal.
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string>

#include "velmora/frame.hpp"

namespace velmora::detail {

class VideoTarget;

struct Mp4Settings {
  int crf = 20;                       // H.264 constant rate factor: lower is better and larger (0 lossless)
  std::string preset = "veryfast";    // libx264 speed preset
  int threads = 0;                    // encoder threads; 0 lets the encoder choose (about 1.5 per core)
  std::int64_t audio_bit_rate = 64000;  // AAC bits per second
  double default_fps = 25;            // the video's rate when the engine states none
};

// One MP4 being encoded into a target's file. Nothing is written before the first frame. Faults throw Failed
// WRITE_FAILED (video_target.h) with the cause as detail, which names the target as given; the encoder is
// spent then. Not thread-safe.
class Mp4Encoder {
 public:
  // Writes into `file`'s temporary file; `file` outlives the encoder.
  explicit Mp4Encoder(const VideoTarget& file, Mp4Settings settings = {});
  ~Mp4Encoder();
  Mp4Encoder(const Mp4Encoder&) = delete;
  Mp4Encoder& operator=(const Mp4Encoder&) = delete;

  // Queues 16 kHz mono s16 PCM (machine byte order) for the audio track; it is encoded as the video reaches
  // its time, so it may arrive ahead of the frames. Bytes of a sample split between two calls are joined.
  void add_pcm(std::span<const std::uint8_t> pcm);

  // Encodes one frame. The first frame fixes the size and starts the file at `fps` frames a second (a rate
  // that is not finite and positive gives the settings' default); later rates are ignored.
  void add_frame(const Frame& frame, double fps);

  // Encodes the audio still queued and ends both streams and the container: the file is complete (it is not
  // synced). Fails when no frame was added. A stop asked on `stop` is looked at once the streams have ended
  // and once the container has, and throws Cancelled.
  void finish(const std::stop_token& stop);

  std::int64_t frames() const;
  // Seconds of video encoded so far.
  double seconds() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::detail
