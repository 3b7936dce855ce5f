#pragma once
// The session engine: the session-based avatar families rendered through one session of the session runtime,
// which lies outside the API and is reached through the outside-module registry (its `session_runtime`).
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "velmora/engine.hpp"
#include "velmora/generator.hpp"
#include "velmora/render_clock.h"
#include "velmora/session.hpp"

namespace velmora::detail {

struct SessionOptions {
  double quiet = quiet_default();                  // seconds to wait for a frame once the input has ended
  std::function<double()> now = steady_seconds;    // monotonic seconds
  std::function<void(double)> sleep = sleep_for;  // between empty pulls after the input has ended

  static double quiet_default();
  static void sleep_for(double seconds);
};

// The stop text of a drain that waited `quiet` seconds for a frame in vain.
std::string quiet_stop_text(double quiet);

class SessionEngine : public Engine {
 public:
  // A session on the avatar `source`, unpacked into the cache when it is a file (`stop` ends the unpack with
  // Cancelled), built from the folder and its manifest.json. Nothing is caught: ImportError when no session
  // runtime is installed, what the cache throws, std::system_error when the manifest cannot be read,
  // ValueError when it is not JSON, and the runtime's EngineUnavailable, EngineFailed or AvatarOutdated.
  explicit SessionEngine(const std::string& source, SessionOptions options = {}, std::stop_token stop = {});
  // On a ready session; no file is touched.
  explicit SessionEngine(std::unique_ptr<session::Session> session, SessionOptions options = {});

  // One run: the frames from the first speech frame on while the chunks are fed; once they have ended, the
  // frames still to come until the avatar returns to rest or no frame has come for the quiet time.
  Generator<Frame> frames(Generator<Pcm> chunks) override;
  // The same run; a stop asked while it waits for frames after the input has ended ends that wait within
  // one pause between pulls, with Cancelled.
  Generator<Frame> frames(Generator<Pcm> chunks, std::stop_token stop) override;
  // Resets the session; never throws.
  void interrupt() override;
  // Closes the session; its error reaches the caller.
  void close() override;

  std::optional<double> frames_per_second() const override { return session::FPS; }
  // Nothing before the first run; "unfinished" while a run goes on or when it never ended by itself.
  std::optional<std::string> stop_reason() const override { return run_->stop_reason; }

 private:
  struct RunState {
    std::optional<std::string> stop_reason;
  };
  std::shared_ptr<session::Session> s_;
  SessionOptions options_;
  std::shared_ptr<RunState> run_ = std::make_shared<RunState>();

  static Generator<Frame> run(std::shared_ptr<session::Session> s, std::shared_ptr<RunState> state,
                              Generator<Pcm> chunks, SessionOptions options, std::stop_token stop);
};

}  // namespace velmora::detail
