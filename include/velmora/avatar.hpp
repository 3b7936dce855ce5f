#pragma once
// An open avatar and its renders.
//
// An Avatar owns one engine and turns audio into frames through it. render() is lazy: it returns a
// FrameStream, and nothing happens until the first frame is asked for. The Avatar and its live streams share
// one state, so a stream keeps the avatar's engine alive after the Avatar handle is gone.
//
// Releasing: Avatar::close() closes the engine (once; its error reaches the caller). When the last owner (the
// handle or a live stream) goes away without close(), the engine is closed then and errors are swallowed.
//
// Thread safety: one avatar, together with its streams, is used by one thread at a time (no two of render(),
// close(), the accessors and its streams' next() run at once); distinct avatars may be used from distinct
// threads at once, and velmora::open may be called from several threads. A render runs on the thread that
// pulls its frames. Any thread may ask a render to stop through the std::stop_source whose token the render
// was given.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "velmora/audio.hpp"
#include "velmora/export.hpp"
#include "velmora/frame.hpp"
#include "velmora/generator.hpp"

namespace velmora {

class Engine;  // velmora/engine.hpp, for writers of engines

namespace detail {
struct AvatarState;
struct AvatarAccess;
}  // namespace detail

// The outcome of a render whose engine ran through to its last frame: frames that arrived from the engine,
// seconds from the engine's first chunk pull to the last frame (never below 1e-9), and their ratio. A value.
struct RenderStats {
  std::int64_t frames = 0;
  double render_seconds = 0;
  double render_fps = 0;
  friend auto operator<=>(const RenderStats&, const RenderStats&) = default;
};

// How far a render into a video file has come, reported after every frame written.
struct WriteProgress {
  std::int64_t frames = 0;              // frames written so far
  double seconds = 0;                   // seconds of video they make (frames / frame rate), at most total_seconds
  std::optional<double> total_seconds;  // the audio's length when it is one whole clip; nothing for a stream
  double elapsed_seconds = 0;           // since the render began (opening the output and converting audio included)
};
using ProgressFn = std::function<void(const WriteProgress&)>;

// The frames of one render, pulled one at a time (or with range-for). The errors of the render come out of
// next(): every engine failure as an AvatarError (NotSupported or Failed); an audio file that cannot be read
// and a failure to start the engine as they are (the first next()); Cancelled once the render's stop token
// has been asked to stop.
//
// Thread safety: a FrameStream is used by one thread at a time: next(), close() and its destruction are never
// called concurrently, so a stream may not be closed from another thread while next() waits; between calls it
// may move to another thread. To stop a render from another thread, ask the std::stop_source whose token was
// given to Avatar::render to stop: a next() waiting inside the engine wakes up (for engines that wait on
// something outside, such as the mirel-2 render host), the engine is interrupted once, and next() throws
// Cancelled.
class FrameStream {
 public:
  FrameStream() = default;  // an empty stream
  FrameStream(FrameStream&&) noexcept = default;
  FrameStream& operator=(FrameStream&&) noexcept = default;

  // The next frame, or nothing once the render has ended (and on every later call).
  std::optional<Frame> next() { return frames_.next(); }

  // Stops the render: an engine that has not delivered its last frame is interrupted. Its error (an
  // interrupt that throws) comes out as Failed. A stream that has ended or never started just ends, and so
  // does one that a later render of its avatar has interrupted.
  void close() { frames_.close(); }

  // Closes the stream, swallowing its errors.
  ~FrameStream() = default;

  using iterator = Generator<Frame>::iterator;
  using sentinel = Generator<Frame>::sentinel;
  // Leaving a range-for early leaves the render suspended; it stops when the stream is closed or destroyed.
  iterator begin() { return frames_.begin(); }
  sentinel end() { return frames_.end(); }

 private:
  friend struct detail::AvatarAccess;
  explicit FrameStream(Generator<Frame> frames) : frames_(std::move(frames)) {}
  Generator<Frame> frames_;
};

// An open avatar. Get one from velmora::open. Move-only; a moved-from Avatar counts as closed. Thread safety:
// see the top of this header.
class VELMORA_API Avatar {
 public:
  // Takes ownership of `engine` (not null), which renders every frame of this avatar; `engine_id` names its
  // family and is used only in error details. For writers of engines (velmora/engine.hpp); applications get
  // their avatars from velmora::open.
  Avatar(std::unique_ptr<Engine> engine, std::string engine_id);
  Avatar(Avatar&&) noexcept;
  Avatar& operator=(Avatar&&) noexcept;
  Avatar(const Avatar&) = delete;
  Avatar& operator=(const Avatar&) = delete;
  // Releases the avatar when no stream of it is alive any more (errors swallowed).
  ~Avatar();

  // How many frames a whole clip of N samples (16 kHz) gives, by family:
  //   "mirel2"   ceil(N / 800) + 1 for N above 0: one frame per 800 samples (20 a second), a partial last
  //              one included, and the first frame twice: the render host sends a stream's first frame
  //              twice, so the first two frames are one picture. 4.00 s give 81 frames, 600 s 12,001.
  //   "vantor2-light", "vantor2-golden"  one frame per 640 samples (25 a second), a partial last one left out,
  //              and none before the first frame with speech: floor(N / 640) for speech from the start.
  //   "vantor1"  floor(N / 640) (the fixture runtime's stand-in of this build).
  // A whole clip's render falls short (below) when it gives fewer than floor(N x fps / 16,000) less 2% of that
  // (at least 2 frames), or no frame at all (so an empty clip, and for the 25 fps families one under 640
  // samples, fails with Failed "no frames came out of that render ..."); a stream's only when it gives none.
  //
  // When the frames of a stream (AudioInput::stream) come: as the engine completes them. The next item is
  // pulled once the frames that the audio so far completes are out, so the frames wait for the engine's own
  // units of audio, not for items:
  //   "mirel2"   in bursts: 22 frames (21 pictures) once 25,600 samples (1.6 s) are in, 32 once 44,000
  //              (2.75 s) are in, then 32 for every further 25,600 (1.6 s), and the rest after the stream
  //              ends. On the LiteRT stand-in (Release build) a burst's last frame came 50 to 110 ms after the
  //              item that completed its audio; the real models add their time per chunk.
  //   "vantor2-light", "vantor2-golden"  one frame per 640 samples, 4 frames behind: the first once 3,200
  //              samples (0.2 s) are in, then one with each item that completes the next 640.
  //   "vantor1"  one frame per 640 samples, with the item that completes it.
  // Any item size works; an item delays the frames it completes by at most its own length, so items of 20 to
  // 100 ms (320 to 1,600 samples) suit a live source (smaller ones cost nothing measurable).
  //
  // The frames for `audio`, rendered lazily. On a closed avatar the stream's first next() throws Failed
  // "this avatar is closed"; a stream whose avatar is closed while it runs throws that at its next next().
  // A render falls short when it gives fewer frames than the audio implies (or none at all): Failed, after
  // the statistics are stored.
  //
  // The engine renders one audio at a time, so renders of one avatar take turns: a render takes the engine
  // at its first next(). A stream of the same avatar still live then (started, and not run to its end nor
  // closed) is interrupted on its behalf, so the new render starts from a clean stream and gets only its own
  // frames; the earlier stream's next next() throws Failed "this render was interrupted by a later render of
  // the same avatar", and neither it nor its close() drives the engine again. The same holds for a render
  // into a video file. A render whose first next() comes from inside the engine's work for another render
  // of the avatar (from that render's audio source) throws Failed at once.
  //
  // `stop` may be asked to stop from any thread: the engine is then interrupted and next() throws Cancelled,
  // within a second for the engines of this library (a mirel-2 render host that does not answer the interrupt
  // in time is stopped, and the next render starts a new one).
  FrameStream render(AudioInput audio, std::stop_token stop = {});

  // Writes the frames for `audio` to the video file `out_mp4` through the installed video writer and returns
  // the number of frames written. ImportError when no writer is installed; the writer's errors unchanged;
  // Cancelled when `stop` is asked to stop before the file is complete. `progress`, when given, is called on
  // this thread after every frame written; an exception from it stops the render and reaches the caller.
  //
  // The package's writer takes a stop up to the moment its finished video is renamed onto `out_mp4` (it looks
  // at the stop after the encoders' last packets, after the container's end, after the sync to disk and right
  // before the rename): until then the render ends with Cancelled, an existing file is left as it was and no
  // temporary stays. Once the video is renamed, the render has succeeded and returns its count, whatever the
  // stop says.
  //
  // The package's writer makes an MP4 of H.264 video (libx264, yuv420p, constant rate factor 20, at the
  // engine's frame rate or 25 frames a second when it states none; an odd width or height loses its last
  // column or row) and the audio the render consumed as AAC, both starting at zero. Frame k is shown from
  // k / rate seconds, and neither stream is trimmed or shifted: a mirel-2 video is one frame longer than its
  // speech (81 frames, 4.05 s, for 4.00 s) and, as its first two frames are one picture, its picture runs one
  // frame (50 ms) behind the sound; a session avatar's video starts with its first speech frame, so speech
  // after a silence gets its picture that much early. The count of frames is render()'s. It writes a temporary
  // file beside `out_mp4` (one without a name where the file system has them, else one readable by its owner
  // only) and puts it in place of `out_mp4` only once the video is complete: a render that fails or is
  // cancelled leaves neither, and an existing file is left as it was (a file replaced passes its permission
  // bits on to the video at that moment). A relative `out_mp4` names a file of the working folder of the call,
  // whatever changes the working folder meanwhile. A symbolic link `out_mp4` is followed: the file it points
  // to gets the video, and the link stays (one made while the render runs too, as the target is followed and
  // checked again before the rename). An MP4 needs a regular file it can seek in, so an existing FIFO, device
  // or socket is refused (Failed), never replaced; so are the audio file and the avatar's own file (the same
  // file by device and inode), and any name inside a folder avatar (the folder found by device and inode, so
  // however the path is spelled), before anything renders (an audio file in a stream: before it is read), and
  // again before the rename, both as their paths name them then and as they were when the render started (the
  // avatar: when it was opened), so moving one meanwhile does not make it the video's target. When another
  // program moves the names under the rename so that they no longer hold what was checked, the writer removes
  // no file but the one it checked (and that one only once the video is at `out_mp4`), puts back what it can,
  // gives a file it cannot put back a name of its own (NAME.recovered-N) and fails saying where the video and
  // that file are; it returns only once it found the video at `out_mp4`. The render's
  // errors come out unchanged; the output's own faults (encoder, container, disk, a file-size limit) and these
  // refusals as Failed "could not write that video" with the cause as detail.
  std::int64_t render(AudioInput audio, const std::filesystem::path& out_mp4, std::stop_token stop = {},
                      ProgressFn progress = {});

  // Releases the avatar (leaving a `with` block): closes the engine the first time, and does nothing after.
  // The engine's close error reaches the caller; the engine is never closed a second time.
  void close();
  // True from the start of the first close() on (and for a moved-from Avatar). Unlike the other members, it
  // may be asked from any thread at any time, also while close() runs in another.
  bool closed() const;

  // The statistics of the latest render whose engine ran through to its last frame; nothing before the
  // first one, and nothing when that render's clock held no complete span.
  std::optional<RenderStats> render_stats() const;

  const std::string& engine_id() const;

 private:
  friend struct detail::AvatarAccess;
  std::shared_ptr<detail::AvatarState> state_;
};

}  // namespace velmora
