#pragma once
// What the Avatar API relies on from the session runtime that renders the session-based avatar families.
// The runtime itself lies outside the API; the API reaches it through the outside-module registry and needs
// only the names below. For writers of engines and runtimes: velmora/velmora.hpp does not include it. Its
// errors are also what any engine reports its failures with.
//
// Thread safety: a Session is driven by one thread at a time; the errors are immutable values.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "velmora/errors.hpp"
#include "velmora/export.hpp"
#include "velmora/frame.hpp"

namespace velmora::session {

inline constexpr int FPS = 25;               // frames per second of a session render
inline constexpr int BYTES_PER_FRAME = 1280;  // 16 kHz mono s16 PCM per frame
static_assert(FPS * BYTES_PER_FRAME == 32000, "one second of 16 kHz mono s16 PCM");

// Kinds of a pulled frame; compared for equality only.
inline constexpr int LE_UTT_SPEECH = 1;  // a speech frame
inline constexpr int LE_UTT_IDLE = 2;    // the rest frame after an utterance

struct Pulled {
  Frame frame;  // handed to the caller unchanged
  int kind = 0;
};

// One render session on an avatar folder. Not thread-safe; one caller drives it.
class VELMORA_API Session {
 public:
  virtual ~Session() = default;
  // Starts over: nothing pushed or rendered before survives it. Called first in every run.
  virtual void reset() = 0;
  // Takes one chunk of 16 kHz mono s16 PCM. A chunk may end inside a sample: its odd last byte is the
  // first byte of the next chunk's first sample.
  virtual void push(std::span<const std::uint8_t> chunk) = 0;
  // Returns at once: nothing when no frame is ready.
  virtual std::optional<Pulled> pull() = 0;
  // Marks the end of the input; later pulls drain what is left.
  virtual void end() = 0;
  // Returns while rendering is sound; throws EngineUnavailable or EngineFailed once it has failed.
  virtual void check_render() = 0;
  // Releases the session; called once.
  virtual void close() = 0;
};

// Base of the runtime's errors: the user-facing message (what()) and a technical detail.
class VELMORA_API Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, Detail detail = {})
      : std::runtime_error(message), detail_(std::make_shared<const Detail>(std::move(detail))) {}
  std::string message() const { return what(); }
  const Detail& detail() const { return *detail_; }

 private:
  std::shared_ptr<const Detail> detail_;
};

// The machine cannot run this engine (mapped to NotSupported).
class VELMORA_API EngineUnavailable : public Error {
 public:
  using Error::Error;
};

// The engine failed (mapped to Failed).
class VELMORA_API EngineFailed : public Error {
 public:
  using Error::Error;
};

// The avatar is too old for this runtime (mapped to Outdated with the same code).
class VELMORA_API AvatarOutdated : public Error {
 public:
  AvatarOutdated(const std::string& message, std::string code, Detail detail = {})
      : Error(message, std::move(detail)), code_(std::make_shared<const std::string>(std::move(code))) {}
  const std::string& code() const { return *code_; }

 private:
  std::shared_ptr<const std::string> code_;
};

}  // namespace velmora::session
