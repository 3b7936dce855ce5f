#include "velmora/outside/mirel2_engine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/child_process.h"
#include "common/json.h"
#include "common/pytext.h"
#include "mirel2/litert/library.h"
#include "mirel2/ostrand/protocol.h"
#include "velmora/audio_input.h"
#include "velmora/cache_detail.h"
#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/module.h"
#include "velmora/outside/bundled_host.h"
#include "velmora/session.hpp"

namespace velmora::detail {
namespace {

using ostrand::END_OF_FLUSH_INDEX;
using ostrand::MAX_STEP_SAMPLES;
using ostrand::records_for_samples;
using ostrand::STEP_FLUSH;
using ostrand::STEP_RESET;

constexpr std::string_view HELLO_PREFIX = "READY ";
constexpr std::size_t HELLO_MAX_BYTES = 65536;
constexpr int HOST_SAMPLE_RATE = 16000;
// The host numbers a stream's frames from 3 and sends the first frame twice, so frame slot s (800 samples
// each) is record s + 4.
constexpr std::int64_t FIRST_SLOT_RECORD = 4;
constexpr std::size_t TAIL_LINES = 20;            // lines of the host's standard error kept for details
constexpr std::size_t CONVERT_BLOCK = 16384;      // samples converted to float32 at a time
constexpr int PIPE_BYTES = 1 << 20;               // room for a whole frame record in the host's output pipe
constexpr std::size_t READ_BYTES = 1 << 20;       // one read of the host's output takes a whole record and more
constexpr double LONGEST_LIMIT_S = 1e9;           // beyond this a time limit counts as none
// A host that ended by itself, or closed its output, gets this long to end (and its group), before it is
// ended; and its pipes this long after its group has gone, which only a process outside the group can hold.
constexpr double STDERR_GRACE_S = 2.0;
constexpr double PIPES_AFTER_END_S = 0.1;
// From SIGKILL, for the host's group to go; a group that is still there then is left running.
constexpr double KILL_WAIT_S = 1.0;

constexpr const char* NO_START = "could not start the renderer for that avatar";
constexpr const char* BAD_HELLO = "the renderer did not start as expected";
constexpr const char* STOPPED = "the renderer stopped in the middle of the render";
constexpr const char* NOT_OURS = "this avatar renders only in the process that opened it";

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// A path as an argument of the host, which never reads it as an option.
std::string as_argument(const std::string& path) { return path.starts_with('-') ? "./" + path : path; }

std::string seconds_text(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", seconds);
  return buf;
}

// `seconds` from now; nothing for a limit of 0 or less (none).
Deadline deadline_after(double seconds) {
  if (!(seconds > 0) || seconds > LONGEST_LIMIT_S) return std::nullopt;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// `seconds` from now for a wait that must end: 0 or less (or NaN) is none, and a wait beyond LONGEST_LIMIT_S
// waits that long.
Clock::time_point wait_until(double seconds) {
  return deadline_after(std::min(seconds, LONGEST_LIMIT_S)).value_or(Clock::now());
}

// poll()'s timeout for `deadline`: -1 for none, else the milliseconds left, rounded up.
int timeout_ms(Deadline deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// What one round of the poll loop saw.
struct Served {
  bool any = true;         // there was a pipe to wait on
  bool progress = false;   // the host took input or sent output
  bool woken = false;      // a stop request woke the wait
  bool exited = false;     // the host itself has ended (its output may still be held open by others)
  bool timed_out = false;  // the deadline has passed
};

}  // namespace

// The conversation with one running host: the bytes queued for its input, the parser of its output and the
// lines of its standard error, served by one poll loop.
class HostLink {
 public:
  // Starts the host and reads its hello line; a stop asked meanwhile ends the host (end_host) and throws
  // Cancelled.
  HostLink(const std::string& host, const std::string& source, const Mirel2Options& options, std::stop_token stop)
      : options_(options),
        // Out of our process group, so a terminal's Ctrl-C is ours to handle (by interrupting it); a host whose
        // parent died still ends, as its input closes.
        child_(ChildProcess::spawn({host, "render-stream", as_argument(source)}, {.own_process_group = true})),
        stage_(new std::uint8_t[READ_BYTES]) {
    try {
      for (int fd : {child_.in(), child_.out(), child_.err()}) set_nonblocking(fd);
      ::fcntl(child_.out(), F_SETPIPE_SZ, PIPE_BYTES);  // fewer reads per frame; the default size works too
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
      wake_in_ = Fd(ends[0]);
      wake_out_ = Fd(ends[1]);
      options_.step_samples = std::clamp<std::size_t>(options_.step_samples, 1, MAX_STEP_SAMPLES);
      out_buf_.reserve(4 + CONVERT_BLOCK * 4);
      const std::stop_callback wake_on_stop(stop, [this] { wake(); });
      read_hello(stop);
    } catch (...) {
      // Whatever failed, the host is ended as every host is, with time for its clean-up (its staged copies).
      end_host();
      throw;
    }
  }

  double fps() const { return fps_; }
  const std::optional<std::string>& stop_reason() const { return stop_reason_; }

  // Wakes the wait for the host at once; safe from any thread.
  void wake() noexcept {
    const char byte = 1;
    if (::write(wake_out_.get(), &byte, 1) < 0) {
      // A full pipe wakes the wait already.
    }
  }

  // Whether this process started the host: a copy made by fork() never talks to it.
  bool ours() const { return child_.ours(); }

  // Whether the host can take a stream: it has not ended, or been ended. One that ended since the last stream
  // is reaped here, and said so.
  bool usable() {
    if (gone_) return false;
    if (!child_.try_wait()) return true;
    const int status = reap();
    gone_ = true;
    velmora_log().warning("velmora: the render host %s since the last render; a new one is started",
                          {status_text(status)});
    return false;
  }

  // A new stream: the host's stream state is reset before the first sample.
  void start_stream() {
    if (!ours()) throw session::EngineFailed(NOT_OURS, not_ours_detail());
    if (gone_) throw session::EngineFailed(STOPPED, gone_detail_);
    stop_reason_ = "unfinished";
    fed_samples_ = 0;
    records_seen_ = 0;
    carry_.reset();
    keep_upto_.reset();
    queue_word(STEP_RESET);
  }

  // A chunk may end inside a sample: its odd byte waits for the next chunk.
  void queue_chunk(Pcm chunk) {
    whole_samples(chunk, carry_);
    chunk_ = std::move(chunk);
    chunk_at_ = 0;
    fed_samples_ += chunk_.size() / 2;
  }

  // The end of the stream's audio: the flush renders what is owed, and only the records up to the last frame
  // slot that holds audio are kept. A stream without samples needs no flush: it gives no frame.
  void queue_flush() {
    if (fed_samples_ == 0) return;
    const std::int64_t spf = sample_rate_ / fps_;
    const auto slots = static_cast<std::int64_t>((fed_samples_ + static_cast<std::uint64_t>(spf) - 1) /
                                                 static_cast<std::uint64_t>(spf));
    keep_upto_ = slots - 1 + FIRST_SLOT_RECORD;
    queue_word(STEP_FLUSH);
    ++markers_owed_;
  }

  bool writing() const { return out_at_ < out_buf_.size() || chunk_at_ < chunk_.size() || step_left_ > 0; }
  bool answer_owed() const { return markers_owed_ > 0; }
  // The host still owes records for the chunks that the samples sent so far complete.
  bool frames_owed() const { return records_seen_ < records_for_samples(fed_samples_); }

  std::optional<Frame> take_frame() {
    if (ready_.empty()) return std::nullopt;
    Frame f = std::move(ready_.front());
    ready_.pop_front();
    return f;
  }

  void stream_done() { stop_reason_ = fed_samples_ == 0 ? "no audio" : "end-of-flush marker"; }

  // Waits until the host takes input or sends output (serving every pipe), or a stop request wakes the wait.
  // EngineFailed when the host has ended, or did neither within the stall limit (it is then ended). False
  // when `until` came first.
  bool pump(Deadline until = std::nullopt) {
    refill();
    const Deadline stall = deadline_after(options_.stall_timeout_s);
    const Deadline deadline = !until ? stall : !stall ? until : std::min(*stall, *until);
    while (true) {
      const Served s = serve_pipes(true, deadline);
      if (!s.any || out_eof_ || s.exited) host_gone();
      if (s.progress || s.woken) return true;
      if (s.timed_out) {
        if (until && Clock::now() >= *until) return false;
        stalled();
      }
    }
  }

  // Brings the host back to a clean stream, whatever it still owes, within interrupt_wait_s; false when it has
  // gone, or did not answer in time and was ended (the next stream then starts a new host).
  bool recover() noexcept {
    try {
      if (gone_ || !ours()) return false;
      velmora_log().debug("velmora: resetting the render host's stream after an unfinished render");
      const Clock::time_point until = wait_until(options_.interrupt_wait_s);
      // A step cut short would swallow the requests that follow as samples: it is completed with silence.
      chunk_.clear();
      chunk_at_ = 0;
      discard_ = true;
      queue_word(STEP_RESET);
      queue_word(STEP_FLUSH);
      ++markers_owed_;
      while (writing() || answer_owed()) {
        if (!pump(until)) return abandon();
      }
      ready_.clear();
      discard_ = false;
      queue_word(STEP_RESET);
      while (writing()) {
        if (!pump(until)) return abandon();
      }
      return true;
    } catch (...) {
      discard_ = false;
      ready_.clear();
      if (!gone_) {
        gone_ = true;
        gone_detail_ = "the render host could not be brought back to a clean stream";
      }
      return false;
    }
  }

  // Closes the host's input (it ends at end of input) and gives it close_wait_s to exit by itself, then ends
  // it (end_host); logs which of them ended it.
  void finish() noexcept {
    try {
      chunk_.clear();
      step_left_ = 0;
      out_buf_.clear();
      out_at_ = 0;
      ending_ = true;  // what it still writes is read and dropped, so a full pipe never keeps it from ending
      const Ending how = child_.end(end_waits(options_.close_wait_s), serve_while_ending());
      if (gone_ || how == Ending::not_ours) return;  // its end was reported when it came
      switch (how) {
        case Ending::itself:
          velmora_log().debug("velmora: the render host %s after its input closed", {status_text(child_.wait())});
          return;
        case Ending::sigterm:
          velmora_log().warning("velmora: the render host was still running %s s after its input closed; SIGTERM ended it",
                                {seconds_text(options_.close_wait_s)});
          return;
        case Ending::sigkill:
          velmora_log().warning(
              "velmora: the render host was still running %s s after its input closed and %s s after SIGTERM; killed "
              "with SIGKILL",
              {seconds_text(options_.close_wait_s), seconds_text(options_.term_wait_s)});
          return;
        case Ending::left_running:
          say_left_running();
          return;
        case Ending::not_ours:
          return;
      }
    } catch (...) {
    }
  }

  ~HostLink() {
    try {
      end_host();
    } catch (...) {
    }
  }

 private:
  // The waits of the host's end, `self_s` first for it to end by itself.
  EndWaits end_waits(double self_s) const {
    return {.self_s = self_s, .term_s = options_.term_wait_s, .kill_s = KILL_WAIT_S, .pipes_s = PIPES_AFTER_END_S};
  }

  // While the host is ended: its output is read and dropped, its standard error kept for the details.
  ServePipes serve_while_ending() {
    return [this](Clock::time_point until) {
      ending_ = true;
      return serve_pipes(false, until).any;
    };
  }

  // Ends the host and every process of its group: its input closed, SIGCONT and SIGTERM, then term_wait_s for
  // their clean-up (a host deletes its staged model copies) while what they still write is read, so that a full
  // pipe never holds one up; then SIGKILL to whatever is left (ChildProcess::end).
  void end_host() {
    if (child_.end(end_waits(0), serve_while_ending()) == Ending::left_running) say_left_running();
  }

  void say_left_running() {
    if (std::exchange(said_left_, true)) return;
    velmora_log().warning("velmora: the render host (process %d) was still running %s s after SIGKILL; it is left running",
                          {static_cast<long long>(child_.pid()), seconds_text(KILL_WAIT_S)});
  }

  static std::string not_ours_detail() {
    return "this process was forked from the one that opened the avatar, whose render host it is: open the avatar "
           "again to render here";
  }

  // After an interrupt the host did not answer in time: it is ended, and the next stream starts a new one.
  bool abandon() {
    end_host();
    reap();
    gone_ = true;
    discard_ = false;
    ready_.clear();
    gone_detail_ = "tarnhost did not come back to a clean stream within " + seconds_text(options_.interrupt_wait_s) +
                   " s of an interrupt, so it was stopped:\n" + tail_text();
    velmora_log().warning(
        "velmora: the render host did not answer an interrupt within %s s; it was stopped, and the next render starts "
        "a new one",
        {seconds_text(options_.interrupt_wait_s)});
    return false;
  }

  void queue_word(std::uint32_t word) {
    // Requests go after everything already queued.
    while (chunk_at_ < chunk_.size() || step_left_ > 0) refill_force();
    if (out_at_ == out_buf_.size()) {
      out_buf_.clear();
      out_at_ = 0;
    }
    append_le(word);
  }

  void append_le(std::uint32_t word) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                               static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
    out_buf_.insert(out_buf_.end(), b, b + 4);
  }

  // Next bytes of the current chunk into the input buffer, once the buffer has gone out.
  void refill() {
    if (out_at_ < out_buf_.size()) return;
    out_buf_.clear();
    out_at_ = 0;
    refill_force();
  }

  // Appends the next block of the current chunk (a step header first where a step starts); while the stream
  // is being recovered, the rest of a step is silence.
  void refill_force() {
    if (step_left_ == 0) {
      const std::size_t left = (chunk_.size() - chunk_at_) / 2;
      if (left == 0) return;
      step_left_ = std::min(left, options_.step_samples);
      append_le(static_cast<std::uint32_t>(step_left_));
    }
    const std::size_t n = std::min(step_left_, CONVERT_BLOCK);
    const std::size_t at = out_buf_.size();
    out_buf_.resize(at + n * 4);
    std::uint8_t* dst = out_buf_.data() + at;
    const bool silence = chunk_at_ >= chunk_.size();
    for (std::size_t i = 0; i < n; ++i) {
      float v = 0.0f;
      if (!silence) {
        std::int16_t s;
        std::memcpy(&s, chunk_.data() + chunk_at_ + 2 * i, 2);
        v = static_cast<float>(s) / 32768.0f;
      }
      std::memcpy(dst + 4 * i, &v, 4);
    }
    if (!silence) chunk_at_ += 2 * n;
    step_left_ -= n;
  }

  // True when bytes went out.
  bool write_some() {
    const long n = write_nosignal(child_.in(), out_buf_.data() + out_at_, out_buf_.size() - out_at_);
    if (n > 0) {
      out_at_ += static_cast<std::size_t>(n);
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    host_gone();  // EPIPE: the host no longer reads
  }

  void read_hello(const std::stop_token& stop) {
    const Deadline deadline = deadline_after(options_.start_timeout_s);
    bool exited = false;
    while (true) {
      if (stop.stop_requested()) cancelled_start();
      const auto nl = hello_.find('\n');
      if (nl != std::string::npos) {
        std::string rest = hello_.substr(nl + 1);
        hello_.resize(nl);
        parse_hello();
        if (!rest.empty()) parse_records(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
        return;
      }
      if (out_eof_ || exited) refused_before_hello();
      if (hello_.size() > HELLO_MAX_BYTES) {
        throw session::EngineFailed(BAD_HELLO, "no hello line in the first " + std::to_string(HELLO_MAX_BYTES) +
                                                   " bytes of the render host's output");
      }
      const Served s = serve_pipes(false, deadline);
      exited = s.exited;
      if (!s.any) refused_before_hello();
      if (s.timed_out && hello_.find('\n') == std::string::npos) no_hello_in_time();
    }
  }

  // One poll over the pipes still open (the host's input too, when `with_input` and bytes wait for it) and the
  // wake pipe, until `deadline` at most; then serves those that are ready.
  Served serve_pipes(bool with_input, Deadline deadline) {
    pollfd fds[5];
    int n = 0, in_at = -1, out_at = -1, err_at = -1, exit_at = -1;
    if (with_input && out_at_ < out_buf_.size() && child_.in() >= 0) {
      in_at = n;
      fds[n++] = {child_.in(), POLLOUT, 0};
    }
    if (!out_eof_) {
      out_at = n;
      fds[n++] = {child_.out(), POLLIN, 0};
    }
    if (!err_eof_) {
      err_at = n;
      fds[n++] = {child_.err(), POLLIN, 0};
    }
    if (n == 0) return Served{.any = false};
    const int wake_at = n;
    fds[n++] = {wake_in_.get(), POLLIN, 0};
    // The host's own end, which the end of its output does not tell when another process holds that open.
    // Not while it is being ended, which looks for its end itself.
    if (!ending_ && child_.exit_fd() >= 0) {
      exit_at = n;
      fds[n++] = {child_.exit_fd(), POLLIN, 0};
    }
    Served s;
    if (::poll(fds, static_cast<nfds_t>(n), timeout_ms(deadline)) < 0) {
      if (errno == EINTR) return s;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (fds[wake_at].revents != 0) {
      char drain[64];
      while (::read(wake_in_.get(), drain, sizeof drain) > 0) {
      }
      s.woken = true;
    }
    s.exited = exit_at >= 0 && fds[exit_at].revents != 0;
    if (err_at >= 0 && fds[err_at].revents != 0) read_stderr();
    if (in_at >= 0 && fds[in_at].revents != 0) s.progress = write_some() || s.progress;
    if (out_at >= 0 && fds[out_at].revents != 0) s.progress = read_stdout() || s.progress;
    s.timed_out = deadline && Clock::now() >= *deadline;
    return s;
  }

  // One large read: the rest of the record in hand goes straight into its frame, what follows into the
  // staging buffer and through the parser. True when something came (or the end).
  bool read_stdout() {
    if (ending_) {  // a host being ended: what it still sends is dropped
      const ssize_t r = ::read(child_.out(), stage_.get(), READ_BYTES);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) return false;
      if (r <= 0) out_eof_ = true;
      return true;
    }
    iovec iov[2];
    int n = 0;
    std::size_t direct = 0;
    if (hello_done_ && pixels_have_ >= 0) {
      direct = frame_bytes_ - static_cast<std::size_t>(pixels_have_);
      iov[n++] = {target() + pixels_have_, direct};
    }
    iov[n++] = {stage_.get(), READ_BYTES};
    const ssize_t r = ::readv(child_.out(), iov, n);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (r <= 0) {
      out_eof_ = true;
      return true;
    }
    std::size_t got = static_cast<std::size_t>(r);
    const std::size_t into_frame = std::min(got, direct);
    if (into_frame > 0) advance(into_frame);
    got -= into_frame;
    if (got == 0) return true;
    if (!hello_done_) {
      hello_.append(reinterpret_cast<const char*>(stage_.get()), got);
    } else {
      parse_records(stage_.get(), got);
    }
    return true;
  }

  // Takes bytes that are not in their place yet through the record parser.
  void parse_records(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const std::span<std::uint8_t> room = record_room();
      const std::size_t take = std::min(room.size(), size);
      std::memcpy(room.data(), data, take);
      data += take;
      size -= take;
      advance(take);
    }
  }

  // Where the next bytes of the output go: the rest of a record's index, or the rest of its pixels.
  std::span<std::uint8_t> record_room() {
    if (pixels_have_ < 0) return {index_bytes_ + index_have_, 4 - index_have_};
    return {target() + pixels_have_, frame_bytes_ - static_cast<std::size_t>(pixels_have_)};
  }

  // Where the pixels of the current record go: a buffer of its own for a frame to hand out, else scratch.
  std::uint8_t* target() {
    if (keep_current_) return reinterpret_cast<std::uint8_t*>(pixels_.get());
    if (scratch_.size() != frame_bytes_) scratch_.resize(frame_bytes_);
    return scratch_.data();
  }

  void advance(std::size_t n) {
    if (pixels_have_ < 0) {
      index_have_ += n;
      if (index_have_ < 4) return;
      index_have_ = 0;
      std::int32_t index;
      std::memcpy(&index, index_bytes_, 4);
      if (index == END_OF_FLUSH_INDEX) {
        if (markers_owed_ > 0) --markers_owed_;
        return;
      }
      if (index < 0) throw session::EngineFailed(STOPPED, "the render host sent the frame index " + std::to_string(index));
      current_index_ = index;
      keep_current_ = !discard_ && (!keep_upto_ || index <= *keep_upto_);
      if (keep_current_) pixels_.reset(new std::byte[frame_bytes_]);
      pixels_have_ = 0;
      return;
    }
    pixels_have_ += static_cast<std::int64_t>(n);
    if (static_cast<std::size_t>(pixels_have_) == frame_bytes_) finish_record();
  }

  void finish_record() {
    pixels_have_ = -1;
    ++records_seen_;
    if (!keep_current_) return;
    Frame f;
    f.data = std::shared_ptr<const std::byte>(pixels_, pixels_.get());
    f.bytes = frame_bytes_;
    f.shape = {static_cast<std::size_t>(height_), static_cast<std::size_t>(width_), 3};
    f.type = ElementType::u8;
    f.index = current_index_;
    ready_.push_back(std::move(f));
    pixels_.reset();
  }

  void read_stderr() {
    char buf[4096];
    const ssize_t n = ::read(child_.err(), buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      err_eof_ = true;
      if (!err_partial_.empty()) keep_line(std::exchange(err_partial_, {}));
      return;
    }
    err_partial_.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = err_partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
      keep_line(err_partial_.substr(start, nl - start));
    }
    err_partial_.erase(0, start);
    if (err_partial_.size() > HELLO_MAX_BYTES) keep_line(std::exchange(err_partial_, {}));
  }

  void keep_line(std::string line) {
    velmora_log().debug("%s", {line});
    tail_.push_back(std::move(line));
    if (tail_.size() > TAIL_LINES) tail_.pop_front();
  }

  // Lets the host end by itself (it has closed its output, or ended): STDERR_GRACE_S for it and its group,
  // with its output read meanwhile, before it is ended. Returns its status.
  int reap() {
    if (child_.end(end_waits(STDERR_GRACE_S), serve_while_ending()) == Ending::left_running) say_left_running();
    return child_.try_wait().value_or(STATUS_UNKNOWN);
  }

  std::string tail_text() const {
    std::string out;
    for (const auto& line : tail_) out += (out.empty() ? "" : "\n") + line;
    return out.empty() ? "(nothing on its standard error)" : out;
  }

  [[noreturn]] void refused_before_hello() {
    const int status = reap();
    if (status == 3) {
      for (auto it = tail_.rbegin(); it != tail_.rend(); ++it) {
        if (it->find("FATAL: ") != std::string::npos) throw refuse<InvalidAvatar>(NOT_USABLE, *it);
      }
      throw refuse<InvalidAvatar>(NOT_USABLE, tail_text());
    }
    throw session::EngineFailed(start_failure(), "tarnhost " + status_text(status) + " before its hello line:\n" + tail_text());
  }

  // The message for a host that ended before its hello line. A LiteRT C library it could not load (what a new
  // installation most often lacks) is named there, not only in the detail.
  std::string start_failure() const {
    for (auto it = tail_.rbegin(); it != tail_.rend(); ++it) {
      const auto at = it->find(litert::LOAD_FAILURE);
      if (at != std::string::npos) return std::string(NO_START) + ": " + it->substr(at);
    }
    return NO_START;
  }

  [[noreturn]] void cancelled_start() {
    velmora_log().debug("velmora: a stop came while the render host started; it is ended");
    end_host();
    reap();
    throw Cancelled();
  }

  [[noreturn]] void no_hello_in_time() {
    end_host();
    reap();
    throw session::EngineFailed(NO_START, "tarnhost sent no hello line within " +
                                              seconds_text(options_.start_timeout_s) + " s (the limit " +
                                              START_TIMEOUT_ENV + " sets), so it was stopped:\n" + tail_text());
  }

  [[noreturn]] void stalled() {
    end_host();
    reap();
    gone_ = true;
    stop_reason_ = "render host stalled";
    gone_detail_ = "tarnhost sent no frame and took no audio for " + seconds_text(options_.stall_timeout_s) +
                   " s (the limit " + STALL_TIMEOUT_ENV + " sets), so it was stopped:\n" + tail_text();
    throw session::EngineFailed(STOPPED, gone_detail_);
  }

  [[noreturn]] void host_gone() {
    if (!gone_) {
      const int status = reap();
      gone_ = true;
      stop_reason_ = "render host " + status_text(status);
      gone_detail_ = "tarnhost " + status_text(status) + " during the stream:\n" + tail_text();
    }
    throw session::EngineFailed(STOPPED, gone_detail_);
  }

  void parse_hello() {
    hello_done_ = true;
    const std::string line = hello_;
    auto bad = [&](const std::string& why) {
      return session::EngineFailed(BAD_HELLO, why + " in the render host's hello line " + py_repr(line.substr(0, 200)));
    };
    if (line.compare(0, HELLO_PREFIX.size(), HELLO_PREFIX) != 0) throw bad("no \"READY \"");
    json::Value hello;
    try {
      hello = json::parse(std::string_view(line).substr(HELLO_PREFIX.size()));
    } catch (const json::Error& e) {
      throw bad(std::string("JSON error (") + e.what() + ")");
    }
    auto positive = [&](const char* key) -> std::int64_t {
      const json::Value* v = hello.find(key);
      if (!v || !v->int_fits() || v->as_int() <= 0 || v->as_int() > 100000) throw bad(std::string("no usable \"") + key + "\"");
      return v->as_int();
    };
    fps_ = static_cast<int>(positive("fps"));
    width_ = static_cast<int>(positive("width"));
    height_ = static_cast<int>(positive("height"));
    sample_rate_ = static_cast<int>(positive("sample_rate"));
    if (sample_rate_ != HOST_SAMPLE_RATE || sample_rate_ % fps_ != 0) throw bad("a sample rate this adapter cannot feed");
    frame_bytes_ = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 3;
  }

  Mirel2Options options_;
  ChildProcess child_;
  Fd wake_in_, wake_out_;  // the wake pipe: a stop request writes, the poll loop watches

  // Input side.
  std::vector<std::uint8_t> out_buf_;  // bytes for the host's input; reused
  std::size_t out_at_ = 0;             // of out_buf_, written already
  Pcm chunk_;                          // the chunk being sent
  std::size_t chunk_at_ = 0;           // its bytes converted already
  std::size_t step_left_ = 0;          // samples of the current step not yet converted
  std::optional<std::uint8_t> carry_;  // a chunk's odd last byte, the first of the next chunk's first sample
  std::uint64_t fed_samples_ = 0;      // samples of this stream
  int markers_owed_ = 0;               // flushes whose end marker has not come yet

  // Output side.
  std::unique_ptr<std::uint8_t[]> stage_;  // READ_BYTES for what a read brings beyond the record in hand
  std::string hello_;
  bool hello_done_ = false;
  int fps_ = 0, width_ = 0, height_ = 0, sample_rate_ = 0;
  std::size_t frame_bytes_ = 0;
  std::uint8_t index_bytes_[4] = {};
  std::size_t index_have_ = 0;
  std::int64_t pixels_have_ = -1;  // -1: reading an index
  std::int32_t current_index_ = 0;
  std::uint64_t records_seen_ = 0;  // frame records of this stream read whole so far
  bool keep_current_ = false;
  std::shared_ptr<std::byte[]> pixels_;
  std::vector<std::uint8_t> scratch_;  // where dropped frames are read
  std::deque<Frame> ready_;
  std::optional<std::int64_t> keep_upto_;
  bool discard_ = false;
  bool ending_ = false;  // the host is being ended: its output is no longer parsed
  bool out_eof_ = false;

  // Standard error.
  std::string err_partial_;
  std::deque<std::string> tail_;
  bool err_eof_ = false;

  bool gone_ = false;
  bool said_left_ = false;  // the warning that it was left running has been given
  std::string gone_detail_;
  std::optional<std::string> stop_reason_;
};

// The host of one engine, and what it takes to start another.
struct HostSlot {
  std::string host;
  std::string source;
  Mirel2Options options;
  std::shared_ptr<HostLink> link;

  // The host for a new stream: one that has ended (it crashed, or was ended at a time limit or when it did not
  // answer an interrupt) is replaced by a new one, Cancelled when `stop` is asked while it starts. Refused in
  // a process that did not start the host.
  std::shared_ptr<HostLink> for_stream(const std::stop_token& stop) {
    if (!link->ours()) link->start_stream();  // refuses
    if (!link->usable()) {
      if (stop.stop_requested()) throw Cancelled();
      velmora_log().debug("velmora: starting a new render host in place of the one that ended");
      link = std::make_shared<HostLink>(host, source, options, stop);
    }
    return link;
  }
};

namespace {

Generator<Frame> host_frames(std::shared_ptr<HostSlot> slot, Generator<Pcm> chunks, std::stop_token stop) {
  const std::shared_ptr<HostLink> link = slot->for_stream(stop);
  // A stop asked from another thread wakes a wait for the host; the stream then ends with Cancelled.
  std::stop_callback wake_on_stop(stop, [raw = link.get()] { raw->wake(); });
  link->start_stream();
  while (std::optional<Pcm> chunk = chunks.next()) {
    link->queue_chunk(std::move(*chunk));
    // Every frame the host owes for the audio so far comes out before the next chunk is pulled: a live source
    // is never read ahead, and no finished frame waits in the pipe for the source's next item.
    while (link->writing() || link->frames_owed()) {
      if (stop.stop_requested()) throw Cancelled();
      link->pump();
      while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
    }
  }
  link->queue_flush();
  while (link->writing() || link->answer_owed()) {
    if (stop.stop_requested()) throw Cancelled();
    link->pump();
    while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
  }
  while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
  link->stream_done();
}

}  // namespace

Mirel2Options mirel2_options_from_env() {
  static const Mirel2Options from_env = [] {
    Mirel2Options o;
    o.start_timeout_s = env_seconds(START_TIMEOUT_ENV, o.start_timeout_s);
    o.stall_timeout_s = env_seconds(STALL_TIMEOUT_ENV, o.stall_timeout_s);
    return o;
  }();
  return from_env;
}

Mirel2Engine::Mirel2Engine(const std::string& source, Mirel2Options options, std::stop_token stop) {
  const std::optional<std::string> host = options.host ? options.host : bundled_host();
  if (!host) {
    throw session::EngineUnavailable(CANNOT_RUN,
                                     "no tarnhost program beside the library, in its installation's bin folder or on PATH");
  }
  if (stop.stop_requested()) throw Cancelled();
  slot_ = std::make_shared<HostSlot>(HostSlot{*host, source, options, nullptr});
  slot_->link = std::make_shared<HostLink>(*host, source, options, stop);
}

Mirel2Engine::~Mirel2Engine() = default;

Generator<Frame> Mirel2Engine::frames(Generator<Pcm> chunks) { return host_frames(slot_, std::move(chunks), {}); }

Generator<Frame> Mirel2Engine::frames(Generator<Pcm> chunks, std::stop_token stop) {
  return host_frames(slot_, std::move(chunks), std::move(stop));
}

void Mirel2Engine::interrupt() { slot_->link->recover(); }

void Mirel2Engine::close() { slot_->link->finish(); }

std::optional<double> Mirel2Engine::frames_per_second() const { return slot_->link->fps(); }

std::optional<std::string> Mirel2Engine::stop_reason() const { return slot_->link->stop_reason(); }

}  // namespace velmora::detail
