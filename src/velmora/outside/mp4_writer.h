#pragma once
// The package's video writer: renders an avatar speaking an audio into an MP4 file of H.264 video (libx264,
// yuv420p) and AAC audio (FFmpeg's own encoder, 16 kHz mono), encoding each frame as it arrives. Frames never
// pile up: with a stream of audio, memory stays the same for any length. A whole clip is held by the render
// (it is converted completely before the engine starts), and its PCM waits in the writer's audio queue until
// the video reaches its time, so that case grows by twice the clip's PCM (64 kB per second of audio).
//
// How the file takes its target's place, and what a target may be: video_target.h. The encoding, the frame
// sizes it takes and a file-size limit: mp4_encoder.h.
#include <cstdint>
#include <stop_token>
#include <string>

#include "velmora/audio.hpp"
#include "velmora/avatar.hpp"
#include "velmora/outside/mp4_encoder.h"

namespace velmora::detail {

// The registry's mp4_writer: renders `audio` through `avatar` (passing `stop` on), tees the PCM the render
// consumes into the audio track, and writes `out_path`, which must not be the audio's file (of a whole clip,
// refused before the render; of a stream item, before that item is read) nor the file `avatar` was opened
// from. Returns the frames written. The render's errors (InvalidAvatar, NotSupported, Failed, audio errors,
// Cancelled) come out unchanged, the output's as Failed WRITE_FAILED (video_target.h); `progress` is called
// after every frame and its exceptions pass unchanged. A stop asked after the last frame still cancels up to
// the rename (see Mp4Output::commit); after it, the count is returned.
std::int64_t write_mp4(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                       const ProgressFn& progress, const Mp4Settings& settings);
// write_mp4 with the default settings.
std::int64_t default_mp4_writer(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                                const ProgressFn& progress);

}  // namespace velmora::detail
