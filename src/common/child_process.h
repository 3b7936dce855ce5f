#pragma once
// A child process whose standard streams are pipes of ours, for callers that talk to it while it runs and
// serve every pipe together (poll), so that neither side can block the other.
//
// Every descriptor of ours is close-on-exec, so a child never inherits another child's pipes. The child starts
// with default handling of SIGPIPE, SIGXFSZ and SIGCHLD (and of every signal its parent handles), and an empty
// signal mask.
//
// A child's id, and its process group's, stay ours while the child is unreaped (a zombie holds its id), so this
// class never reaps a child behind its owner's back: try_wait and group_running only look, and wait() and end()
// reap. Once the child is reaped no signal goes to its id or its group's again. The child comes with a pidfd
// where the system has pidfds, which names that one process (and the group it leads) and no other, ever:
// signals go through it, and it keeps the child's exit status where the system keeps that (Linux 6.15), so an
// application that lets the system reap its children (SIGCHLD ignored) or reaps them itself loses neither the
// status nor the means to end the child. Without that, the status is STATUS_UNKNOWN. Nothing goes by an id
// that may be given away any moment: where the system cannot signal a group through a pidfd (before Linux
// 6.9), or has no pidfds, the child's group (or the child, without a pidfd) is signalled by its id only while
// SIGCHLD is at its default (not ignored, no SA_NOCLDWAIT, no handler, any of which may reap the child), and
// otherwise the child alone through its pidfd, or nothing. A thread of the application's that reaps every
// child (waitpid(-1)) cannot be seen, and may take the id in between.
//
// A child belongs to the process that started it. In a copy of that process made by fork() (without exec),
// the descriptors to the child (its pipes, its pidfd) are replaced by /dev/null at the fork, so the copy
// neither holds the child's pipes open nor talks to it, and the copy never signals, waits for or reaps it.
#include <sys/types.h>

#include <chrono>
#include <climits>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/fd.h"

namespace velmora {

struct ChildStreams {
  bool pipe_stdin = true;   // false: the child reads /dev/null, or `stdin_fd`
  // With pipe_stdin false: a descriptor of ours (a file, say) that the child gets as its standard input in
  // place of /dev/null; -1 for none. It stays ours: the child gets a copy.
  int stdin_fd = -1;
  bool pipe_stderr = true;  // false: the child writes to our standard error
  // true: the child leads a process group of its own, so the signals a terminal sends to our group (Ctrl-C)
  // do not reach it; it is ended through its pipes or end() instead.
  bool own_process_group = false;
};

// A child's end as ChildProcess reports it: its exit status (0 to 255), minus the signal that ended it, or
// STATUS_UNKNOWN when it could not be known (someone else reaped it, and the system kept no status).
inline constexpr int STATUS_UNKNOWN = INT_MIN;
// "exited with status N", "was killed by signal N", or "ended with an exit status that could not be known".
std::string status_text(int status);

// Whether a process with that id exists (signal 0; a refusal for lack of permission counts as alive). An id
// outside the range of process ids is not alive.
bool pid_alive(long long pid);

// The waits of ChildProcess::end, in seconds (0 or less, or NaN: none; at most a billion). The defaults are
// the library's own, wherever it ends a child.
struct EndWaits {
  double self_s = 0;     // from the close of its input, for the child to end by itself
  double term_s = 0.3;   // from SIGCONT and SIGTERM to its group, for their clean-up, before SIGKILL
  double kill_s = 1.0;   // from SIGKILL, for the group to go; a group that is still there then is left running
  double pipes_s = 0.1;  // once the group has gone, for the end of its output, which a process that left the
                         // group (a helper in a session of its own) may still hold open
};

// How ChildProcess::end ended the child.
enum class Ending {
  itself,        // it ended by itself within self_s of its input's close, or before (what it left running in its
                 // group may have needed the signals)
  sigterm,       // SIGTERM ended it and its group
  sigkill,       // it or its group needed SIGKILL
  left_running,  // its group was still there kill_s after SIGKILL (a process that no signal ends): it is left
                 // unreaped, and nothing waits for it
  unsignalled,   // it was still there self_s + term_s after the close of its input, and no signal could be sent to it
                 // safely (no pidfds, and the application may reap children): it is left as left_running is
  not_ours,      // this process did not start it (a forked copy): its descriptors were closed, nothing else
};

// Serves a child's output pipes until `until` at the most, or until something came or ended: reads what they
// hold, kept or dropped as the caller wants. Returns false when none of them is open any more.
using ServePipes = std::function<bool(std::chrono::steady_clock::time_point until)>;

class ChildProcess {
 public:
  // Starts argv[0] (looked up on PATH when it holds no "/") with `argv`. Its standard output is always a pipe.
  // Throws std::system_error when it cannot be started (ENOENT when it is not found).
  static ChildProcess spawn(const std::vector<std::string>& argv, ChildStreams streams = {});

  ChildProcess(ChildProcess&& o) noexcept;
  ChildProcess& operator=(ChildProcess&& o) noexcept;
  // A child not reaped yet is ended at once: SIGKILL to its whole group (when it leads one), and reaped within
  // EndWaits::kill_s, or left running. In a process that did not start it, its descriptors are only closed.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Whether this process started the child; false in a copy made by fork().
  bool ours() const;
  // The pipe ends of ours: into its standard input, from its standard output and standard error (each -1 when
  // it is not a pipe or has been closed). The caller may make them non-blocking.
  int in() const { return in_.get(); }
  int out() const { return out_.get(); }
  int err() const { return err_.get(); }
  // Readable (poll) once the child has ended, until it is reaped; -1 where the system has no pidfds.
  int exit_fd() const { return pidfd_.get(); }
  void close_in() { drop(in_); }
  void close_out() { drop(out_); }
  void close_err() { drop(err_); }

  // Its exit status, or minus the signal number that ended it, or STATUS_UNKNOWN: try_wait only looks
  // (nothing while it runs) and leaves an ended child unreaped; wait() waits for its end and reaps it. Once
  // known, the status is kept and returned again; an unknown one is asked for again at the next call, as the
  // system may store it a moment after the child is seen to have ended (each ask waits for it 0.1 s at most).
  // Both give STATUS_UNKNOWN in a process that did not start it.
  int wait();
  std::optional<int> try_wait();
  // Sends `signal` to the child until it is reaped (never in a process that did not start it). False when no
  // signal could be sent safely.
  bool kill(int signal);

  // For a child that leads a process group of its own, the group stands for every process the child started
  // (a wrapper script's programs, say), also after the child itself has ended; otherwise it is the child alone.
  // signal_group sends `signal` to each of them that is left, until the child is reaped (false when no signal
  // could be sent safely); group_running says whether any of them still runs (a zombie counts as ended).
  bool signal_group(int signal);
  bool group_running();

  // The one way a child is ended: its input is closed and it has waits.self_s to end by itself; then SIGCONT
  // and SIGTERM go to its group, which has waits.term_s for its clean-up; then SIGKILL, and waits.kill_s (a
  // group that no signal can reach safely is left after waits.term_s: Ending::unsignalled). All
  // the while `serve` (by default: read and drop) keeps its output pipes flowing, so that a full pipe never
  // holds up its end. Once the group has gone, its output is served for waits.pipes_s at most more, until the
  // ends of the pipes come, and the child is reaped. A group still there after SIGKILL is left running (a
  // warning for the caller to give), never waited for without bound. Never throws but what `serve` throws.
  Ending end(const EndWaits& waits, const ServePipes& serve = {});

 private:
  ChildProcess() = default;
  // Whether the child is ours to signal by its id: not reaped, by us or another. Records its status once it
  // has ended.
  bool held();
  bool wait_for(int options);
  // Records the status the child's pidfd kept, once another has reaped it, when it has one by now.
  void ask_kept_status();
  // The child itself has ended (reaped by another, maybe with its status unknown).
  bool ended() const;
  bool signal_group_by_id(int signal);
  // Closes `fd`, which a fork no longer needs to neutralise.
  static void drop(Fd& fd);
  // Reads and drops what the output pipes hold, until `until` at most; false when none is open.
  bool discard_output(std::chrono::steady_clock::time_point until);
  // Serves the pipes until the group has gone or `until` has passed; true when it has gone.
  bool group_gone_by(std::chrono::steady_clock::time_point until, const ServePipes& serve);

  pid_t pid_ = -1;
  pid_t owner_ = -1;  // the process that started it
  bool own_group_ = false;
  bool reaped_ = false;  // by wait() or end(): nothing is sent to it again
  bool taken_ = false;   // reaped by another: its id is not ours; its pidfd, if any, still names it
  bool left_ = false;    // end() left it running: nothing waits for it again
  std::optional<int> status_;  // once known; an ended child's may never be
  // The child itself (pollable, readable once it has ended) until we reap it; -1 where the system has no
  // pidfds, and then its id stands for it, which it keeps until it is reaped.
  Fd pidfd_;
  Fd in_, out_, err_;
};

}  // namespace velmora
