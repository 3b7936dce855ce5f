#pragma once
// The command line `velmora`: `velmora render <avatar> <audio> [-o OUT.mp4] [--quiet]` renders an avatar
// speaking an audio file into an MP4 through the Avatar API (public headers only). main() only wires the
// process to run(); everything else lives here, where the tests reach it.
#include <cstdio>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "velmora/avatar.hpp"

namespace velmora::cli {

// Exit statuses.
inline constexpr int OK = 0;
inline constexpr int FAILED = 1;  // the render (or opening the avatar) failed, or was cancelled
inline constexpr int USAGE = 2;   // the command line is wrong

struct Io {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool err_is_terminal = false;  // progress is shown only then
};

// Runs the command line `args` (without the program's name) and returns its exit status. Every error is one
// line on `err`, and so is each warning the library logs meanwhile (none with --quiet, none once a stop was
// asked); --help goes to `out`. A stop asked on `stop` cancels a render in progress up to the moment its
// video is renamed onto its name; after that the render has succeeded (OK, and the line that says so).
int run(const std::vector<std::string>& args, const Io& io, std::stop_token stop = {});

// The video's name when -o is not given: the audio's file name with its extension replaced by ".mp4", in the
// working folder.
std::string default_output(const std::string& audio);

// The progress line for `p`: frames, seconds of audio done (of the total when known), frames a second, and,
// when the total is known, an estimate of the time left at the pace since `since` (an earlier report of the
// same render; by default its start). The estimate is left out until that pace is measured over 2 s of
// rendering or a tenth of the audio.
std::string progress_line(const WriteProgress& p, const WriteProgress& since = {});

// While it lives, SIGINT, SIGTERM and SIGHUP ask `source` to stop instead of ending the process, so an
// interrupted render removes its unfinished file. Only the first one counts: any later one, of the same kind
// or another, is part of the same stop and changes nothing, so the clean-up always runs to its end. The
// signals are taken by its own thread alone, one at a time (held off in the thread that makes it, and so in the
// threads that one starts later; make it before any), so the first taken is the first handled. The handlers
// it replaced and the thread's signal mask are put back when it is destroyed, unless a signal came (the
// process is then ending, and a later signal must not end it in the first one's place). At most one lives at
// a time.
class SignalStop {
 public:
  explicit SignalStop(std::stop_source source);
  ~SignalStop();
  SignalStop(const SignalStop&) = delete;
  SignalStop& operator=(const SignalStop&) = delete;

  // The signal that asked to stop; 0 when none came.
  int caught() const;

  // When a signal came: restores that signal's default action and sends it to this thread again, so the caller
  // of the program sees it ended by the first signal, whatever came after it. Returns only when no signal
  // came. (A command whose video was
  // written does not call it: the signal came too late to cancel anything.)
  void reraise();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmora::cli
