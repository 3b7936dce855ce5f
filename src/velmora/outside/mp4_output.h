#pragma once
// One MP4 being written: the encoding (mp4_encoder.h) into the temporary file of its target (video_target.h),
// and the commit that puts the finished video in the target's place.
#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "velmora/frame.hpp"
#include "velmora/outside/mp4_encoder.h"
#include "velmora/outside/video_target.h"

namespace velmora::detail {

// Faults throw Failed WRITE_FAILED with the cause as detail, which names `target` as given (never the
// temporary file); the output is spent then (destroy it, which removes the temporary file). Not thread-safe.
class Mp4Output {
 public:
  // Creates the temporary file beside `target` (see VideoTarget); nothing is encoded before the first frame.
  explicit Mp4Output(const std::string& target, Mp4Settings settings = {}, std::vector<KeptFile> keep = {});

  // See Mp4Encoder::add_pcm and add_frame.
  void add_pcm(std::span<const std::uint8_t> pcm) { encoder_.add_pcm(pcm); }
  void add_frame(const Frame& frame, double fps) { encoder_.add_frame(frame, fps); }

  // See VideoTarget::keep.
  void keep(KeptFile file) { target_.keep(std::move(file)); }

  // Encodes the audio still queued, ends both streams and the container, syncs the file and renames it onto
  // the target, following and checking the target once more first. Fails when no frame was added.
  //
  // A stop asked on `stop` up to the rename (it is looked at after each of these steps and just before the
  // rename) throws Cancelled: the target stays as it was and the temporary goes. Once the video is renamed, the
  // commit has succeeded, whatever the stop says. The names are checked as VideoTarget::commit says; `step`
  // (for tests) is called at each CommitStep.
  void commit(std::stop_token stop = {}, const std::function<void(CommitStep)>& step = {});

  std::int64_t frames() const { return encoder_.frames(); }
  // Seconds of video encoded so far.
  double seconds() const { return encoder_.seconds(); }
  // The video's temporary file (see VideoTarget).
  int fd() const { return target_.fd(); }
  const std::string& temp_path() const { return target_.temp_path(); }

 private:
  VideoTarget target_;
  Mp4Encoder encoder_;  // writes into target_'s file, so it is made after it and goes before it
};

}  // namespace velmora::detail
