#pragma once
// The file a video is written to, safely: the video is written into a temporary file beside its target and
// takes the target's place only when it is complete.
//
// Nothing half-written, nothing left: where the file system allows it (O_TMPFILE) the video is written into a
// file that has no name while the render runs, held by its descriptor alone, so that a killed or crashed render
// leaves nothing and no other process can open or move it. Elsewhere it is written under a temporary name
// beside its target ("." + name + "." + pid + "." + n + ".part", made with O_EXCL, readable by its owner only,
// locked while it is written). Either is given a name only at the commit, once it is complete and synced, and
// takes the target's place then. Any failure, a cancelled render included, removes the video and leaves an
// existing target as it was; a stop counts up to the rename, and once the video is renamed (and found at the
// target) the write has succeeded. A writer that was killed cannot remove a named temporary: the next write
// into the same folder removes every such file of this user, with one link, that no writer holds locked (a
// free lock is enough: the id in its name may belong to another process since), and an empty private folder
// (below) left the same way.
//
// The commit goes through a private folder made beside the target (mode 0700, named as a temporary, held open
// and locked): the video is linked (or moved) into it, exchanged with the target, and what comes out of the
// target lands there, where it is compared with the file that was checked and removed only when it is that
// file. Anything else that comes out goes back, and the video with it; a file that cannot be put back keeps a
// name of its own beside the target (NAME.recovered-N), which the failure names. The commit succeeds only
// when the target's name holds the video after the rename. A failure says where the video and each file that
// moved are.
//
// What the target may be: a new file or an existing regular file. A symbolic link is followed to the end of
// its chain (a relative link from its own folder): that file gets the video, written beside it, and the link
// stays. A relative target is taken from the working folder of the moment the output is made, whatever
// changes the working folder later. The target is followed and checked again just before the rename, so a
// link made meanwhile stays too and where it points now gets the video (or the refusal). A free name is taken
// only while it is free (a file system without exchange and no-replace renames gets a plain rename, and a
// window of microseconds in which a file put there would be replaced). A file replaced passes its permission
// bits on to the video just before the rename; a new name gets the bits a new file gets there; until then the
// video is readable by its owner only.
//
// An MP4 is finished by seeking back into it, so an existing FIFO, device or socket is refused, never
// replaced, and so is a folder. Nor does the video ever replace a file the render reads: the audio file and
// the avatar's own file (the same file by device and inode, whatever the names) are refused before anything
// renders; so is any name inside a folder avatar, new or existing (found by the device and inode of the
// folder and of its parents, so any spelling of either path, and any file that a name inside it leads to).
// Each is known by what its path names and by what it was when the render started (the avatar: when it was
// opened), so moving it during the render and pointing the target at it is refused too.
//
// A temporary's name (and the private folder's) is the target's ("." + name + "." + pid + "." + n + ".part")
// with as much of the target's name as the file system's limit on a name leaves room for, cut at a UTF-8
// character.
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace velmora {
class HeldFile;
}

namespace velmora::detail {

// The message of every fault of a video's output (its file, and the encoding written into it); the detail
// says which.
inline constexpr const char* WRITE_FAILED = "could not write that video";

// Throws Failed WRITE_FAILED with `cause` as its detail.
[[noreturn]] void write_failed(const std::string& cause);

// A file that a video must never replace, and what it is to the render (for the error). It is kept both as
// what its path names at each check and as what it was when the render started (or the avatar was opened),
// wherever that has been moved since.
struct KeptFile {
  std::string path;
  std::string role;  // "the audio file of this render"
  // What `path` was at the start; when not given, the target takes it from `path` when it is made (or the file
  // is kept).
  std::shared_ptr<const HeldFile> held = {};
};

// The steps of VideoTarget::commit that a test may act at.
enum class CommitStep {
  synced,         // the file is complete and on disk
  before_rename,  // the target has been followed and checked (again at every look)
  exchanged,      // an existing target was just swapped with the video, and what came out is not looked at yet
};

// How a VideoTarget makes its temporary file: the best the folder allows (any), or, for tests of the roads a
// file system or a kernel may leave, an unnamed file linked through /proc/self/fd (as where linkat's
// AT_EMPTY_PATH needs a capability), or a named temporary (as where O_TMPFILE is refused).
enum class TemporaryRoad { any, unnamed_through_proc, named };
// For tests only: every VideoTarget made after the call takes `road`.
void force_temporary_road(TemporaryRoad road);

// The target of one video and its temporary file. Faults throw Failed WRITE_FAILED with the cause as detail,
// which names the target as given (never the temporary file); the target is spent then (destroy it, which
// removes the temporary file). Not thread-safe.
class VideoTarget {
 public:
  // Creates the temporary file beside `target` (beside the end of its link chain), after removing dead
  // writers' temporaries there. Fails when `target` may not be replaced (see the top of this header; `keep`
  // lists the files it must not be) or its folder cannot take a file.
  explicit VideoTarget(const std::string& target, std::vector<KeptFile> keep = {});
  // Removes the temporary file unless commit() has renamed it.
  ~VideoTarget();
  VideoTarget(const VideoTarget&) = delete;
  VideoTarget& operator=(const VideoTarget&) = delete;

  // The temporary file, open for reading, writing and seeking; it stays this target's, open until commit() has
  // renamed it.
  int fd() const;
  // How errors name the file: the target as given, and the end of its link chain when that differs.
  const std::string& shown() const;
  // The temporary's path; empty when it has no name.
  const std::string& temp_path() const;

  // Fails now when the target is `file` too, and keeps it for the check before the rename (for files met
  // while the video is written, such as the audio files of a stream).
  void keep(KeptFile file);

  // Syncs the temporary file and renames it onto the target, following and checking the target once more
  // first.
  //
  // A stop asked on `stop` up to the rename (it is looked at after the sync and just before the rename) throws
  // Cancelled: the target stays as it was and the temporary goes. Once the video is renamed, the commit has
  // succeeded, whatever the stop says.
  //
  // What the names hold is compared with the open file around every use (see the top of this header): when
  // another program has moved names so that the video cannot be put in place, the failure says what the
  // target's name holds, where the video is and under which name a file that could not be put back is.
  // `step` (for tests) is called at each CommitStep.
  void commit(std::stop_token stop = {}, const std::function<void(CommitStep)>& step = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::detail
