#pragma once
// The mirel-2 engine adapter: renders a mirel-2 avatar through the render host program, started as a child
// process on the avatar and spoken to through its stream protocol (hello line, sample steps, flush and reset
// requests in; frame records and end-of-flush markers out), all pipes served together by one poll loop.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "velmora/engine.hpp"
#include "velmora/generator.hpp"

namespace velmora::detail {

struct Mirel2Options {
  std::optional<std::string> host;   // the render host program; unset: bundled_host()
  std::size_t step_samples = 16000;  // samples per sample step (at most the protocol's limit)
  double close_wait_s = 5.0;         // how long close() lets the host end by itself before it is killed
};

class HostLink;

class Mirel2Engine : public Engine {
 public:
  // Starts the host on `source` and reads its hello line. Throws EngineUnavailable (with the cannot-run
  // message) when there is no host program; std::system_error when it cannot be started; InvalidAvatar "that
  // is not a usable avatar" (detail: its FATAL line) when it refuses the avatar (status 3 before its hello);
  // EngineFailed (detail: its status and last lines of standard error) when it ends otherwise before its hello
  // line or its hello does not describe a frame stream at 16 kHz.
  explicit Mirel2Engine(const std::string& source, Mirel2Options options = {});
  // Kills a host still running (close() lets it end by itself first).
  ~Mirel2Engine() override;

  // One stream: a reset, each chunk as float32 sample steps (s16 / 32768) while the frame records are read,
  // then a flush, read to its end marker. Frames are 8-bit RGB, height x width x 3, with the host's index;
  // those the flush renders beyond the audio's last frame are dropped. EngineFailed when the host ends during
  // the stream; ValueError for a chunk of odd length.
  Generator<Frame> frames(Generator<Pcm> chunks) override;
  // Leaves the host with a clean stream: the step being written is completed with silence, then a reset, a
  // flush read to its end marker (every frame owed dropped), and a reset. Never throws; a host that has gone is
  // remembered, and the next stream fails.
  void interrupt() override;
  // Ends the host: its input is closed and it is given close_wait_s to exit, then killed. Never throws.
  void close() override;

  // The hello line's frame rate.
  std::optional<double> frames_per_second() const override;
  // "unfinished", "end-of-flush marker", or "render host exited with status N".
  std::optional<std::string> stop_reason() const override;

 private:
  std::shared_ptr<HostLink> link_;
};

}  // namespace velmora::detail
