#pragma once
// The engine contract: what an Avatar requires of the engine that renders its frames. Every engine family
// (session, fixture, mirel-2, unified) offers it through an adapter; the Avatar owns the adapter and is the
// only one that drives it.
//
// For writers of engines: an application never needs this header (velmora/velmora.hpp does not include it).
// An engine is handed to an Avatar (its constructor) and failures are reported with the errors of
// velmora/session.hpp.
//
// Thread safety: an engine is driven by one thread at a time, the one that pulls its avatar's frames; it need
// not guard itself against concurrent calls. Only a render's stop token reaches it from other threads: a stop
// callback it registers runs on the thread that asks for the stop.
#include <optional>
#include <stop_token>
#include <string>

#include "velmora/audio.hpp"
#include "velmora/export.hpp"
#include "velmora/frame.hpp"
#include "velmora/generator.hpp"

namespace velmora {

class VELMORA_API Engine {
 public:
  // Must not call close(): the Avatar does that, exactly once.
  virtual ~Engine() = default;

  // One render: the frames for the PCM chunks of `chunks` (16 kHz mono s16; a whole clip comes as one chunk,
  // a stream as one chunk per item). Called once per render, when the consumer asks for the first frame.
  // The engine pulls chunks at its own pace and ends once the input is used up and its last frame is out.
  // A chunk may end inside a sample (stream items split their bytes anywhere): the engine keeps the odd byte
  // for the next chunk, and drops one left over at the end.
  // Its own failures are session::EngineUnavailable or session::EngineFailed; errors of `chunks` (a stream
  // item that cannot be converted) come out of its pulls and must pass through. Frames go to the consumer
  // unchanged.
  //
  // The returned generator may be closed before its end (the consumer stopped); interrupt() then comes
  // first, while it is still suspended. A generator still suspended when the engine is closed is never
  // resumed again, only closed. So is one still suspended when the next render starts: interrupt() comes
  // first, then the next frames() call, and the earlier generator is closed whenever its stream ends, perhaps
  // while the next one runs, so its clean-up must leave the engine alone.
  virtual Generator<Frame> frames(Generator<Pcm> chunks) = 0;

  // The same render with its stop token, which may be asked to stop from any thread; this is what the Avatar
  // calls. An engine that can block inside a render (waiting for a child process, a device, the network)
  // overrides it: once `stop` is asked to stop, a wait wakes up and its generator throws Cancelled; the
  // Avatar then interrupts it, once. The default ignores the token (the Avatar checks it between frames).
  virtual Generator<Frame> frames(Generator<Pcm> chunks, std::stop_token stop) {
    (void)stop;
    return frames(std::move(chunks));
  }

  // Resets the stream after a render that did not run through to its last frame, so the next render starts
  // clean. Must not throw (an exception would replace the render's own error).
  virtual void interrupt() = 0;

  // Releases the engine. Called once, when the avatar is released; its exception reaches that caller.
  virtual void close() = 0;

  // The engine's output frame rate, when it has one: the frame count a whole clip implies is checked
  // against it at the end of each render.
  virtual std::optional<double> frames_per_second() const { return std::nullopt; }

  // Why the latest render ended, when the engine records it (quoted when a render falls short).
  virtual std::optional<std::string> stop_reason() const { return std::nullopt; }
};

}  // namespace velmora
