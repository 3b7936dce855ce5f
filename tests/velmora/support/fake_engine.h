#pragma once
// A scriptable engine for tests of the Avatar: it makes small numbered frames from the chunks it pulls, fails
// at chosen points, and records every call in a log the test keeps (the Avatar owns the engine itself).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/engine.hpp"

namespace velmora::testing {

struct EngineScript {
  // Without frame_count: one frame for every `bytes_per_frame` bytes of each chunk, made right after that
  // chunk is pulled (the session rate by default, so a clip gets the frames it implies).
  std::size_t bytes_per_frame = 1280;
  // With frame_count: every chunk is pulled first, then exactly this many frames come.
  std::optional<std::int64_t> frame_count;
  std::optional<double> fps;
  std::optional<std::string> stop_reason;
  std::exception_ptr on_call;       // thrown by frames() itself, before any generator exists
  std::exception_ptr on_frame;      // thrown by the iteration when frame number `fail_after` is due
  std::int64_t fail_after = 0;
  std::exception_ptr on_interrupt;  // thrown by interrupt()
  std::exception_ptr on_close;      // thrown by close()
};

// What the engine did, in order. Events: "frames", "pull", "frame", "end" (its generator ran out), "exit"
// (its generator was closed early), "interrupt", "close".
struct EngineLog {
  std::vector<std::string> events;
  std::vector<Pcm> chunks;   // every chunk pulled
  std::vector<Frame> made;   // every frame yielded; index = its position here
  int count(const std::string& event) const;
  // The events after the first `event` (all of them when it never happened).
  std::vector<std::string> after(const std::string& event) const;
};

class FakeEngine : public Engine {
 public:
  explicit FakeEngine(EngineScript script = {}, std::shared_ptr<EngineLog> log = std::make_shared<EngineLog>())
      : script_(std::move(script)), log_(std::move(log)) {}

  Generator<Frame> frames(Generator<Pcm> chunks) override;
  void interrupt() override;
  void close() override;
  std::optional<double> frames_per_second() const override { return script_.fps; }
  std::optional<std::string> stop_reason() const override { return script_.stop_reason; }

  const std::shared_ptr<EngineLog>& log() const { return log_; }

 private:
  EngineScript script_;
  std::shared_ptr<EngineLog> log_;
};

// A clock for renders that reads `readings` in turn and then repeats the last one; counts its readings.
class ScriptedClock {
 public:
  explicit ScriptedClock(std::vector<double> readings) : state_(std::make_shared<State>(State{std::move(readings)})) {}
  std::function<double()> fn() const;
  int reads() const { return state_->reads; }

 private:
  struct State {
    std::vector<double> readings;
    int reads = 0;
  };
  std::shared_ptr<State> state_;
};

}  // namespace velmora::testing
