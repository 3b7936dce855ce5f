#pragma once
// Reading an MP4 back with libavformat: its streams, every picture and sound decoded, the pictures counted,
// and the luma of the first ones kept.
#include <cstdint>
#include <string>
#include <vector>

#include "velmora/frame.hpp"

namespace velmora::testing {

struct Mp4Probe {
  std::string container;       // the demuxer's name list ("mov,mp4,m4a,3gp,3g2,mj2")
  std::string video_codec;     // "h264"
  std::string pixel_format;    // "yuv420p"
  int width = 0, height = 0;
  double fps = 0;              // the stream's average frame rate
  std::int64_t frames = 0;     // pictures decoded
  double video_start = -1;     // seconds
  std::string audio_codec;     // "aac"
  int sample_rate = 0, channels = 0;
  double audio_seconds = 0;    // the audio stream's duration as the container states it
  double audio_start = -1;     // seconds
  std::vector<std::vector<std::uint8_t>> lumas;  // of the first decoded pictures, width x height
};

// Reads `path` to its end, keeping the first `keep` pictures. Throws std::runtime_error when it cannot.
Mp4Probe probe_mp4(const std::string& path, int keep = 3);

// PSNR in dB of a decoded luma plane of `width` x `height` against the luma (BT.601, limited range) of the
// top-left part of `frame` (8-bit RGB). Luma, because yuv420p halves the colour resolution by design.
double luma_psnr(const Frame& frame, const std::vector<std::uint8_t>& luma, int width, int height);

}  // namespace velmora::testing
