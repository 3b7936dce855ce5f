#pragma once
// The package's video writer: renders an avatar speaking an audio into an MP4 file of H.264 video (libx264,
// yuv420p) and AAC audio (FFmpeg's own encoder, 16 kHz mono), encoding each frame as it arrives. Frames never
// pile up: with a stream of audio, memory stays the same for any length. A whole clip is held by the render
// (it is converted completely before the engine starts), and its PCM waits in the writer's audio queue until
// the video reaches its time, so that case grows by twice the clip's PCM (64 kB per second of audio).
//
// Nothing half-written: the file is written under a temporary name beside its target ("." + name + "." +
// pid + "." + n + ".part", made with O_EXCL) and renamed onto the target only when it is complete and synced.
// Any failure, a cancelled render included, removes the temporary file and leaves an existing target as it
// was; a stop counts up to the rename, and once the video is renamed the write has succeeded. A writer that was killed cannot remove its temporary: the next write into the same folder removes the
// temporaries whose process no longer exists and that no writer holds locked (each writer holds a lock on its
// own until it is renamed, for writers on other machines or in other pid namespaces sharing the folder).
//
// What the target may be: a new file or an existing regular file. A symbolic link is followed to the end of
// its chain (a relative link from its own folder): that file gets the video, written beside it, and the link
// stays. A relative target is taken from the working folder of the moment the output is made, whatever
// changes the working folder later. The target is followed and checked again just before the rename, so a
// link made meanwhile stays too and where it points now gets the video (or the refusal). The rename replaces
// nothing but what that check saw: an existing file is swapped with the video and swapped back when it is not
// that file any more, a free name is taken only while it is free (a file system without these two gets a
// plain rename, and a window of microseconds in which a link made there would be replaced). A file replaced
// passes its permission bits on to the video.
//
// An MP4 is finished by seeking back into it, so an existing FIFO, device or socket is refused, never
// replaced, and so is a folder. Nor does the video ever replace a file the render reads: the audio file and
// the avatar's own file (the same file by device and inode, whatever the names) are refused before anything
// renders; so is any name inside a folder avatar, new or existing (found by the device and inode of the
// folder and of its parents, so any spelling of either path, and any file that a name inside it leads to).
// Each is known by what its path names and by what it was when the render started (the avatar: when it was
// opened), so moving it during the render and pointing the target at it is refused too.
//
// The temporary's name is the target's ("." + name + "." + pid + "." + n + ".part") with as much of the
// target's name as the file system's limit on a name leaves room for, cut at a UTF-8 character.
//
// Frame size: yuv420p needs an even width and height, so an odd width loses its last column and an odd
// height its last row. Frames are 8-bit RGB (grey and RGBA are taken too; alpha is dropped) and must all have
// the size of the first.
//
// A file-size limit (RLIMIT_FSIZE): the writer's own writes run with SIGXFSZ blocked in the writing thread,
// so crossing the limit fails the write with EFBIG (reported as Failed) instead of ending the process. The
// signal those writes raise is taken back only while its disposition is the default (which would end the
// process); the application's signal dispositions and the signal masks of its other threads are never
// changed, and a handler of its own still gets the signal.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "velmora/audio.hpp"
#include "velmora/avatar.hpp"
#include "velmora/frame.hpp"

namespace velmora {
class HeldFile;
}

namespace velmora::detail {

struct Mp4Settings {
  int crf = 20;                       // H.264 constant rate factor: lower is better and larger (0 lossless)
  std::string preset = "veryfast";    // libx264 speed preset
  int threads = 0;                    // encoder threads; 0 lets the encoder choose (about 1.5 per core)
  std::int64_t audio_bit_rate = 64000;  // AAC bits per second
  double default_fps = 25;            // the video's rate when the engine states none
};

// The message of every fault of the output itself (encoder, container, file, disk); the detail says which.
inline constexpr const char* WRITE_FAILED = "could not write that video";

// A file that a video must never replace, and what it is to the render (for the error). It is kept both as
// what its path names at each check and as what it was when the render started (or the avatar was opened),
// wherever that has been moved since.
struct KeptFile {
  std::string path;
  std::string role;  // "the audio file of this render"
  // What `path` was at the start; when not given, Mp4Output takes it from `path` when it is made (or the file
  // is kept).
  std::shared_ptr<const HeldFile> held = {};
};

// The steps of Mp4Output::commit that a test may act at.
enum class CommitStep {
  synced,         // the file is complete and on disk
  before_rename,  // the target has been followed and checked (again at every look)
  exchanged,      // an existing target was just swapped with the video, and what came out is not looked at yet
};

// One MP4 being written. Faults throw Failed WRITE_FAILED with the cause as detail, which names `target` as
// given (never the temporary file); the output is spent then (destroy it, which removes the temporary file).
// Not thread-safe.
class Mp4Output {
 public:
  // Creates the temporary file beside `target` (beside the end of its link chain), after removing dead
  // writers' temporaries there. Fails when `target` may not be replaced (see the top of this header; `keep`
  // lists the files it must not be) or its folder cannot take a file.
  explicit Mp4Output(const std::string& target, Mp4Settings settings = {}, std::vector<KeptFile> keep = {});
  // Removes the temporary file unless commit() has renamed it.
  ~Mp4Output();
  Mp4Output(const Mp4Output&) = delete;
  Mp4Output& operator=(const Mp4Output&) = delete;

  // Queues 16 kHz mono s16 PCM (machine byte order) for the audio track; it is encoded as the video reaches
  // its time, so it may arrive ahead of the frames. Bytes of a sample split between two calls are joined.
  void add_pcm(std::span<const std::uint8_t> pcm);

  // Encodes one frame. The first frame fixes the size and starts the file at `fps` frames a second (a rate
  // that is not finite and positive gives the settings' default); later rates are ignored.
  void add_frame(const Frame& frame, double fps);

  // Fails now when the target is `file` too, and keeps it for the check before the rename (for files met
  // while the video is written, such as the audio files of a stream).
  void keep(KeptFile file);

  // Encodes the audio still queued, ends both streams and the container, syncs the file and renames it onto
  // the target, following and checking the target once more first. Fails when no frame was added.
  //
  // A stop asked on `stop` up to the rename (it is looked at after each of these steps and just before the
  // rename) throws Cancelled: the target stays as it was and the temporary goes. Once the video is renamed, the
  // commit has succeeded, whatever the stop says.
  //
  // The temporary's name is compared with the open file before every use (the rename, the removal of the file
  // it replaced, the destructor's removal): when another program has moved names so that it holds anything
  // else, or the video is no longer where it was put, nothing more is renamed or removed and the failure says
  // what the target's name and the temporary's hold. `step` (for tests) is called at each CommitStep.
  void commit(std::stop_token stop = {}, const std::function<void(CommitStep)>& step = {});

  std::int64_t frames() const;
  // Seconds of video encoded so far.
  double seconds() const;
  const std::string& temp_path() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The registry's mp4_writer: renders `audio` through `avatar` (passing `stop` on), tees the PCM the render
// consumes into the audio track, and writes `out_path`, which must not be the audio's file (of a whole clip,
// refused before the render; of a stream item, before that item is read) nor the file `avatar` was opened
// from. Returns the frames written. The render's errors
// (InvalidAvatar, NotSupported, Failed, audio errors, Cancelled) come out unchanged, the output's as Failed
// WRITE_FAILED; `progress` is called after every frame and its exceptions pass unchanged. A stop asked after
// the last frame still cancels up to the rename (see Mp4Output::commit); after it, the count is returned.
std::int64_t write_mp4(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                       const ProgressFn& progress, const Mp4Settings& settings);
// write_mp4 with the default settings.
std::int64_t default_mp4_writer(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                                const ProgressFn& progress);

}  // namespace velmora::detail
