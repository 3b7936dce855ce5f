#pragma once
// A stand-in for the session runtime (the real one is not part of this system): a synthetic session that turns
// audio into small frames with speech gating. Every 640 samples (1280 bytes, one frame at 25 fps) make a frame;
// frames before the first voiced one are of a non-speech kind, every later one is a speech frame. Frames come
// out LAG frames behind the audio; after end() the rest comes, then one rest frame, then nothing. A chunk that
// ends inside a sample keeps its odd byte for the next one.
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/json.h"
#include "velmora/session.hpp"

namespace velmora::detail {

class StandinSession : public session::Session {
 public:
  static constexpr int LAG = 4;                 // frames held back until more audio (or the end) comes
  static constexpr int KIND_LISTENING = 0;      // a frame before the first voiced one
  static constexpr double VOICED_LEVEL = 328;   // mean absolute sample (1% of full scale) of a voiced frame
  static constexpr int DEFAULT_SIDE = 64;

  // `manifest` may set "width" and "height" (positive integers up to 4096) of the frames; EngineFailed when it
  // sets them otherwise. A manifest with "outdated": "<code>" is refused as AvatarOutdated with that code.
  StandinSession(const std::string& folder, const json::Value& manifest);

  void reset() override;
  void push(std::span<const std::uint8_t> chunk) override;
  std::optional<session::Pulled> pull() override;
  void end() override;
  void check_render() override {}
  void close() override;

  // Frames are RGB: red and green the frame number's low and high byte, blue the frame's loudness.
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  struct Pending {
    std::int64_t index;
    int kind;
    std::uint8_t level;
  };
  void add_sample(const std::uint8_t* bytes);  // two bytes, s16 in the machine's order
  Frame make_frame(const Pending& p) const;
  void need_open() const;

  int width_ = DEFAULT_SIDE, height_ = DEFAULT_SIDE;
  std::vector<std::int16_t> partial_;  // samples of a frame not complete yet
  std::optional<std::uint8_t> odd_byte_;  // the first byte of a sample split between two chunks
  std::deque<Pending> made_;
  std::int64_t next_index_ = 0;
  bool voiced_ = false;
  bool ended_ = false;
  bool rested_ = false;
  bool closed_ = false;
};

}  // namespace velmora::detail
