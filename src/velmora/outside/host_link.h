#pragma once
// The link to one running render host: the child process, and one poll loop that serves its three pipes (the
// steps and requests going in, frame records and its standard error coming out) and a wake pipe for stops,
// with the time limits and the texts of every way the host can fail. The bytes themselves are host_stream.h's;
// how a host is ended is ChildProcess::end's.
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/child_process.h"
#include "common/wake_pipe.h"
#include "velmora/outside/host_stream.h"
#include "velmora/outside/mirel2_engine.h"

namespace velmora::detail {

// The end of a host's standard error: its last lines, kept for the details of its failures, each logged at
// DEBUG as it comes.
class StderrTail {
 public:
  // One read from the non-blocking `fd`; false at its end.
  bool read_from(int fd);
  // The last line that holds `what`; null when none does.
  const std::string* last_with(std::string_view what) const;
  // The lines kept, or "(nothing on its standard error)".
  std::string text() const;

 private:
  void keep(std::string line);

  std::string partial_;
  std::deque<std::string> lines_;
};

// One running host, from its start to its end. A stream runs as start_stream, queue_chunk and pump until no
// frame is owed, queue_flush and pump until the answer has come; take_frame hands the frames out as they come.
// Not thread-safe, but for wake().
class HostLink {
 public:
  using Clock = std::chrono::steady_clock;
  using Deadline = std::optional<Clock::time_point>;

  // Starts `host` on `source` and reads its hello line; fails as Mirel2Engine's constructor says. Whatever
  // fails once the host runs ends it (ChildProcess::end, with time for its clean-up).
  HostLink(const std::string& host, const std::string& source, const Mirel2Options& options, std::stop_token stop);
  // Ends a host still running (end_host).
  ~HostLink();
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  double fps() const { return from_host_.hello().fps; }
  const std::optional<std::string>& stop_reason() const { return stop_reason_; }

  // Wakes the wait for the host at once; safe from any thread.
  void wake() noexcept { wake_.wake(); }
  // Whether this process started the host: a copy made by fork() never talks to it.
  bool ours() const { return child_.ours(); }
  // Whether the host can take a stream: it has not ended, or been ended. One that ended since the last stream
  // is reaped here, and said so (a warning).
  bool usable();

  // A new stream: the host's stream state is reset before the first sample. EngineFailed once the host has
  // gone. This and each step of a stream (pump, take_frame) fail with EngineFailed "this avatar renders only
  // in the process that opened it" in a process that did not start the host (a copy made by fork(), also of a
  // stream that was running then).
  void start_stream();
  // A chunk may end inside a sample: its odd byte waits for the next chunk.
  void queue_chunk(Pcm chunk) { to_host_.queue_chunk(std::move(chunk)); }
  // The end of the stream's audio: the flush renders what is owed, and only the records up to the last frame
  // slot that holds audio are kept. A stream without samples needs no flush: it gives no frame.
  void queue_flush();
  // Bytes or samples still wait to go to the host.
  bool writing() const { return to_host_.pending(); }
  // The answer to a flush has not come whole.
  bool answer_owed() const { return from_host_.marker_owed(); }
  // The host still owes records for the chunks that the samples sent so far complete.
  bool frames_owed() const;
  std::optional<Frame> take_frame();
  void stream_done() { stop_reason_ = to_host_.samples() == 0 ? "no audio" : "end-of-flush marker"; }

  // Waits until the host takes input or sends output (serving every pipe), or a stop request wakes the wait.
  // EngineFailed when the host has ended, or did neither within the stall limit (it is then ended). False
  // when `until` came first.
  bool pump(Deadline until = std::nullopt);
  // Brings the host back to a clean stream, whatever it still owes, within interrupt_wait_s; false when it has
  // gone, or did not answer in time and was ended (the next stream then starts a new host). Never throws.
  bool recover() noexcept;
  // Closes the host's input (it ends at end of input) and gives it close_wait_s to exit by itself, then ends
  // it; logs which of them ended it. Never throws.
  void finish() noexcept;

 private:
  // What one round of the poll loop saw.
  struct Served {
    bool any = true;         // there was a pipe to wait on
    bool progress = false;   // the host took input or sent output
    bool woken = false;      // a stop request woke the wait
    bool exited = false;     // the host itself has ended (its output may still be held open by others)
    bool timed_out = false;  // the deadline has passed
  };

  void read_hello(const std::stop_token& stop);
  // One poll over the pipes still open (the host's input too, when `with_input` and bytes wait for it) and the
  // wake pipe, until `deadline` at most; then serves those that are ready.
  Served serve_pipes(bool with_input, Deadline deadline);
  bool write_some();
  bool read_output();

  EndWaits end_waits(double self_s) const;
  ServePipes serve_while_ending();
  // Ends the host and every process of its group (ChildProcess::end): its input closed and `self_s` for it
  // to end by itself (it has ended, or closed its output), then SIGCONT and SIGTERM and term_wait_s for their
  // clean-up (a host deletes its staged model copies), then SIGKILL; what they still write is read meanwhile,
  // so that a full pipe never holds one up. Says so when it is left running; returns its status.
  int end_host(double self_s);
  bool abandon();
  void say_left_running(Ending how);

  std::string start_failure() const;
  [[noreturn]] void refused_before_hello();
  [[noreturn]] void cancelled_start();
  [[noreturn]] void no_hello_in_time();
  [[noreturn]] void stalled();
  [[noreturn]] static void not_ours();
  [[noreturn]] void host_gone();

  Mirel2Options options_;
  WakePipe wake_;  // a stop request wakes the poll loop; made before the host starts
  ChildProcess child_;
  StepWriter to_host_;
  RecordReader from_host_;
  StderrTail tail_;
  bool out_eof_ = false;
  bool err_eof_ = false;
  bool ending_ = false;  // the host is being ended: its output is no longer parsed

  bool gone_ = false;
  bool said_left_ = false;  // the warning that it was left running has been given
  std::string gone_detail_;
  std::optional<std::string> stop_reason_;
};

}  // namespace velmora::detail
