#include "velmora/outside/host_link.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <utility>

#include "mirel2/litert/library.h"
#include "mirel2/ostrand/protocol.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/module.h"
#include "velmora/session.hpp"

namespace velmora::detail {
namespace {

using Clock = HostLink::Clock;
using Deadline = HostLink::Deadline;
using ostrand::FIRST_SLOT_RECORD;
using ostrand::HELLO_MAX_BYTES;
using ostrand::records_for_samples;
using ostrand::STEP_FLUSH;
using ostrand::STEP_RESET;

constexpr std::size_t TAIL_LINES = 20;       // lines of the host's standard error kept for details
constexpr int PIPE_BYTES = 1 << 20;          // room for a whole frame record in the host's output pipe
constexpr double LONGEST_LIMIT_S = 1e9;      // beyond this a time limit counts as none
// A host that ended by itself, or closed its output, gets this long to end (and its group), before it is
// ended; one being stopped gets no time of its own.
constexpr double STDERR_GRACE_S = 2.0;
constexpr double AT_ONCE = 0;

constexpr const char* NO_START = "could not start the renderer for that avatar";
constexpr const char* NOT_OURS = "this avatar renders only in the process that opened it";

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

}  // namespace

// ---- StderrTail -------------------------------------------------------------------------------------------

bool StderrTail::read_from(int fd) {
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) {
    if (!partial_.empty()) keep(std::exchange(partial_, {}));
    return false;
  }
  partial_.append(buf, static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    keep(partial_.substr(start, nl - start));
  }
  partial_.erase(0, start);
  if (partial_.size() > HELLO_MAX_BYTES) keep(std::exchange(partial_, {}));
  return true;
}

const std::string* StderrTail::last_with(std::string_view what) const {
  for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
    if (it->find(what) != std::string::npos) return &*it;
  }
  return nullptr;
}

std::string StderrTail::text() const {
  std::string out;
  for (const auto& line : lines_) out += (out.empty() ? "" : "\n") + line;
  return out.empty() ? "(nothing on its standard error)" : out;
}

void StderrTail::keep(std::string line) {
  velmora_log().debug("%s", {line});
  lines_.push_back(std::move(line));
  if (lines_.size() > TAIL_LINES) lines_.pop_front();
}

// ---- HostLink: start, streams -----------------------------------------------------------------------------

HostLink::HostLink(const std::string& host, const std::string& source, const Mirel2Options& options,
                   std::stop_token stop)
    : options_(options),
      // Out of our process group, so a terminal's Ctrl-C is ours to handle (by interrupting it); a host whose
      // parent died still ends, as its input closes.
      child_(ChildProcess::spawn({host, "render-stream", as_argument(source)}, {.own_process_group = true})),
      to_host_(options.step_samples) {
  try {
    for (int fd : {child_.in(), child_.out(), child_.err()}) set_nonblocking(fd);
    ::fcntl(child_.out(), F_SETPIPE_SZ, PIPE_BYTES);  // fewer reads per frame; the default size works too
    const std::stop_callback wake_on_stop(stop, [this] { wake(); });
    read_hello(stop);
  } catch (...) {
    // Whatever failed, the host is ended as every host is, with time for its clean-up (its staged copies).
    end_host(AT_ONCE);
    throw;
  }
}

HostLink::~HostLink() {
  try {
    end_host(AT_ONCE);
  } catch (...) {
  }
}

bool HostLink::usable() {
  if (gone_) return false;
  if (!child_.try_wait()) return true;
  const int status = end_host(STDERR_GRACE_S);
  gone_ = true;
  velmora_log().warning("velmora: the render host %s since the last render; a new one is started", {status_text(status)});
  return false;
}

void HostLink::start_stream() {
  if (!ours()) not_ours();
  if (gone_) throw session::EngineFailed(STOPPED, gone_detail_);
  stop_reason_ = "unfinished";
  to_host_.start_stream();
  from_host_.start_stream();
  to_host_.queue_request(STEP_RESET);
}

void HostLink::queue_flush() {
  const std::uint64_t fed = to_host_.samples();
  if (fed == 0) return;
  const auto spf = static_cast<std::uint64_t>(from_host_.hello().sample_rate / from_host_.hello().fps);
  const auto slots = static_cast<std::int64_t>((fed + spf - 1) / spf);
  from_host_.keep_upto(slots - 1 + FIRST_SLOT_RECORD);
  to_host_.queue_request(STEP_FLUSH);
  from_host_.expect_marker();
}

bool HostLink::frames_owed() const { return from_host_.records_seen() < records_for_samples(to_host_.samples()); }

std::optional<Frame> HostLink::take_frame() {
  if (!ours()) not_ours();
  return from_host_.take_frame();
}

bool HostLink::pump(Deadline until) {
  if (!ours()) not_ours();
  to_host_.refill();
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

bool HostLink::recover() noexcept {
  try {
    if (gone_ || !ours()) return false;
    velmora_log().debug("velmora: resetting the render host's stream after an unfinished render");
    const Clock::time_point until = wait_until(options_.interrupt_wait_s);
    to_host_.silence_rest();
    from_host_.drop_records(true);
    to_host_.queue_request(STEP_RESET);
    to_host_.queue_request(STEP_FLUSH);
    from_host_.expect_marker();
    while (writing() || answer_owed()) {
      if (!pump(until)) return abandon();
    }
    from_host_.drop_frames();
    from_host_.drop_records(false);
    to_host_.queue_request(STEP_RESET);
    while (writing()) {
      if (!pump(until)) return abandon();
    }
    return true;
  } catch (...) {
    from_host_.drop_records(false);
    from_host_.drop_frames();
    if (!gone_) {
      gone_ = true;
      gone_detail_ = "the render host could not be brought back to a clean stream";
    }
    return false;
  }
}

void HostLink::finish() noexcept {
  try {
    to_host_.drop_unwritten();
    ending_ = true;  // what it still writes is read and dropped, so a full pipe never keeps it from ending
    const Ending how = child_.end(end_waits(options_.close_wait_s), serve_while_ending());
    if (gone_) return;  // its end was reported when it came
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
      case Ending::unsignalled:
        say_left_running(how);
        return;
      case Ending::not_ours:
        return;
    }
  } catch (...) {
  }
}

// ---- HostLink: the poll loop ------------------------------------------------------------------------------

void HostLink::read_hello(const std::stop_token& stop) {
  const Deadline deadline = deadline_after(options_.start_timeout_s);
  bool exited = false;
  while (true) {
    if (stop.stop_requested()) cancelled_start();
    if (from_host_.take_hello()) return;
    if (out_eof_ || exited) refused_before_hello();
    if (from_host_.hello_too_long()) {
      throw session::EngineFailed(BAD_HELLO, "no hello line in the first " + std::to_string(HELLO_MAX_BYTES) +
                                                 " bytes of the render host's output");
    }
    const Served s = serve_pipes(false, deadline);
    exited = s.exited;
    if (!s.any) refused_before_hello();
    if (s.timed_out && !from_host_.take_hello()) no_hello_in_time();
  }
}

HostLink::Served HostLink::serve_pipes(bool with_input, Deadline deadline) {
  pollfd fds[5];
  int n = 0, to_host_at = -1, from_host_at = -1, err_at = -1, exit_at = -1;
  if (with_input && !to_host_.unwritten().empty() && child_.in() >= 0) {
    to_host_at = n;
    fds[n++] = {child_.in(), POLLOUT, 0};
  }
  if (!out_eof_) {
    from_host_at = n;
    fds[n++] = {child_.out(), POLLIN, 0};
  }
  if (!err_eof_) {
    err_at = n;
    fds[n++] = {child_.err(), POLLIN, 0};
  }
  if (n == 0) return Served{.any = false};
  const int wake_at = n;
  fds[n++] = {wake_.fd(), POLLIN, 0};
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
    wake_.drain();
    s.woken = true;
  }
  s.exited = exit_at >= 0 && fds[exit_at].revents != 0;
  if (err_at >= 0 && fds[err_at].revents != 0) err_eof_ = !tail_.read_from(child_.err());
  if (to_host_at >= 0 && fds[to_host_at].revents != 0) s.progress = write_some() || s.progress;
  if (from_host_at >= 0 && fds[from_host_at].revents != 0) s.progress = read_output() || s.progress;
  s.timed_out = deadline && Clock::now() >= *deadline;
  return s;
}

// True when bytes went out.
bool HostLink::write_some() {
  const std::span<const std::uint8_t> bytes = to_host_.unwritten();
  const long n = write_nosignal(child_.in(), bytes.data(), bytes.size());
  if (n > 0) {
    to_host_.wrote(static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  host_gone();  // EPIPE: the host no longer reads
}

// True when something came (or the end). A host being ended: what it still sends is dropped.
bool HostLink::read_output() {
  const RecordReader::Read r = ending_ ? from_host_.drop_from(child_.out()) : from_host_.read_from(child_.out());
  if (r == RecordReader::Read::end) out_eof_ = true;
  return r != RecordReader::Read::nothing;
}

// ---- HostLink: the end of the host ------------------------------------------------------------------------

// The waits of the host's end, `self_s` first for it to end by itself.
EndWaits HostLink::end_waits(double self_s) const {
  EndWaits waits;
  waits.self_s = self_s;
  waits.term_s = options_.term_wait_s;
  return waits;
}

// While the host is ended: its output is read and dropped, its standard error kept for the details.
ServePipes HostLink::serve_while_ending() {
  return [this](Clock::time_point until) {
    ending_ = true;
    return serve_pipes(false, until).any;
  };
}

int HostLink::end_host(double self_s) {
  const Ending how = child_.end(end_waits(self_s), serve_while_ending());
  if (how == Ending::left_running || how == Ending::unsignalled) say_left_running(how);
  return child_.try_wait().value_or(STATUS_UNKNOWN);
}

// After an interrupt the host did not answer in time: it is ended, and the next stream starts a new one.
bool HostLink::abandon() {
  end_host(AT_ONCE);
  gone_ = true;
  from_host_.drop_records(false);
  from_host_.drop_frames();
  gone_detail_ = "tarnhost did not come back to a clean stream within " + seconds_text(options_.interrupt_wait_s) +
                 " s of an interrupt, so it was stopped:\n" + tail_.text();
  velmora_log().warning(
      "velmora: the render host did not answer an interrupt within %s s; it was stopped, and the next render starts "
      "a new one",
      {seconds_text(options_.interrupt_wait_s)});
  return false;
}

void HostLink::say_left_running(Ending how) {
  if (std::exchange(said_left_, true)) return;
  const auto pid = static_cast<long long>(child_.pid());
  if (how == Ending::unsignalled) {
    velmora_log().warning(
        "velmora: the render host (process %d) did not end, and no signal could be sent to it safely (this system "
        "has no pidfds, and the application may reap its children); it is left running",
        {pid});
    return;
  }
  velmora_log().warning("velmora: the render host (process %d) was still running %s s after SIGKILL; it is left running",
                        {pid, seconds_text(EndWaits{}.kill_s)});
}

// ---- HostLink: the texts of its failures ------------------------------------------------------------------

// The message for a host that ended before its hello line. A LiteRT C library it could not load (what a new
// installation most often lacks) is named there, not only in the detail.
std::string HostLink::start_failure() const {
  if (const std::string* line = tail_.last_with(litert::LOAD_FAILURE)) {
    return std::string(NO_START) + ": " + line->substr(line->find(litert::LOAD_FAILURE));
  }
  return NO_START;
}

// A host refuses its avatar with one FATAL line and status 3. Where its status could not be known (another
// reaped it and the system kept no status), the FATAL line, which it writes for that alone, stands for it.
void HostLink::refused_before_hello() {
  const int status = end_host(STDERR_GRACE_S);
  const std::string* fatal = tail_.last_with("FATAL: ");
  if (status == 3 || (status == STATUS_UNKNOWN && fatal)) {
    throw refuse<InvalidAvatar>(NOT_USABLE, fatal ? *fatal : tail_.text());
  }
  throw session::EngineFailed(start_failure(), "tarnhost " + status_text(status) + " before its hello line:\n" + tail_.text());
}

void HostLink::cancelled_start() {
  velmora_log().debug("velmora: a stop came while the render host started; it is ended");
  end_host(AT_ONCE);
  throw Cancelled();
}

void HostLink::no_hello_in_time() {
  end_host(AT_ONCE);
  throw session::EngineFailed(NO_START, "tarnhost sent no hello line within " + seconds_text(options_.start_timeout_s) +
                                            " s (the limit " + START_TIMEOUT_ENV + " sets), so it was stopped:\n" +
                                            tail_.text());
}

void HostLink::stalled() {
  end_host(AT_ONCE);
  gone_ = true;
  stop_reason_ = "render host stalled";
  gone_detail_ = "tarnhost sent no frame and took no audio for " + seconds_text(options_.stall_timeout_s) +
                 " s (the limit " + STALL_TIMEOUT_ENV + " sets), so it was stopped:\n" + tail_.text();
  throw session::EngineFailed(STOPPED, gone_detail_);
}

void HostLink::not_ours() {
  throw session::EngineFailed(NOT_OURS, "this process was forked from the one that opened the avatar, whose render "
                                        "host it is: open the avatar again to render here");
}

void HostLink::host_gone() {
  if (!gone_) {
    const int status = end_host(STDERR_GRACE_S);
    gone_ = true;
    stop_reason_ = "render host " + status_text(status);
    gone_detail_ = "tarnhost " + status_text(status) + " during the stream:\n" + tail_.text();
  }
  throw session::EngineFailed(STOPPED, gone_detail_);
}

}  // namespace velmora::detail
