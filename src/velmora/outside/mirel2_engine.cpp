#include "velmora/outside/mirel2_engine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "common/child_process.h"
#include "common/json.h"
#include "common/pytext.h"
#include "mirel2/ostrand/protocol.h"
#include "velmora/cache_detail.h"
#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/outside/bundled_host.h"
#include "velmora/session.hpp"

namespace velmora::detail {
namespace {

using ostrand::END_OF_FLUSH_INDEX;
using ostrand::MAX_STEP_SAMPLES;
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
constexpr auto STDERR_GRACE = std::chrono::seconds(2);

constexpr const char* NO_START = "could not start the renderer for that avatar";
constexpr const char* BAD_HELLO = "the renderer did not start as expected";
constexpr const char* STOPPED = "the renderer stopped in the middle of the render";

using Clock = std::chrono::steady_clock;

std::string status_text(int status) {
  return status < 0 ? "was killed by signal " + std::to_string(-status) : "exited with status " + std::to_string(status);
}

}  // namespace

// The conversation with one running host: the bytes queued for its input, the parser of its output and the
// lines of its standard error, served by one poll loop.
class HostLink {
 public:
  HostLink(const std::string& host, const std::string& source, const Mirel2Options& options)
      : options_(options), child_(ChildProcess::spawn({host, "render-stream", source})) {
    for (int fd : {child_.in(), child_.out(), child_.err()}) set_nonblocking(fd);
    ::fcntl(child_.out(), F_SETPIPE_SZ, PIPE_BYTES);  // fewer reads per frame; the default size works too
    options_.step_samples = std::clamp<std::size_t>(options_.step_samples, 1, MAX_STEP_SAMPLES);
    out_buf_.reserve(4 + CONVERT_BLOCK * 4);
    read_hello();
  }

  double fps() const { return fps_; }
  const std::optional<std::string>& stop_reason() const { return stop_reason_; }

  // A new stream: the host's stream state is reset before the first sample.
  void start_stream() {
    if (gone_) throw session::EngineFailed(STOPPED, gone_detail_);
    stop_reason_ = "unfinished";
    fed_samples_ = 0;
    keep_upto_.reset();
    queue_word(STEP_RESET);
  }

  void queue_chunk(Pcm chunk) {
    if (chunk.size() % 2 != 0) throw ValueError("buffer size must be a multiple of element size");
    chunk_ = std::move(chunk);
    chunk_at_ = 0;
    fed_samples_ += chunk_.size() / 2;
  }

  // The end of the stream's audio: the flush renders what is owed, and only the records up to the last frame
  // slot that holds audio are kept.
  void queue_flush() {
    const std::int64_t spf = sample_rate_ / fps_;
    const auto slots = static_cast<std::int64_t>((fed_samples_ + static_cast<std::uint64_t>(spf) - 1) /
                                                 static_cast<std::uint64_t>(spf));
    keep_upto_ = slots - 1 + FIRST_SLOT_RECORD;
    queue_word(STEP_FLUSH);
    ++markers_owed_;
  }

  bool writing() const { return out_at_ < out_buf_.size() || chunk_at_ < chunk_.size() || step_left_ > 0; }
  bool answer_owed() const { return markers_owed_ > 0; }

  std::optional<Frame> take_frame() {
    if (ready_.empty()) return std::nullopt;
    Frame f = std::move(ready_.front());
    ready_.pop_front();
    return f;
  }

  void stream_done() { stop_reason_ = "end-of-flush marker"; }

  // One round of the poll loop: writes what the host's input takes, reads what its outputs have.
  void pump() {
    refill();
    if (!serve_pipes(true, -1) || out_eof_) host_gone();
  }

  // Brings the host back to a clean stream, whatever it still owes; false when it has gone.
  bool recover() noexcept {
    try {
      if (gone_) return false;
      // A step cut short would swallow the requests that follow as samples: it is completed with silence.
      chunk_.clear();
      chunk_at_ = 0;
      discard_ = true;
      queue_word(STEP_RESET);
      queue_word(STEP_FLUSH);
      ++markers_owed_;
      while (writing() || answer_owed()) pump();
      ready_.clear();
      discard_ = false;
      queue_word(STEP_RESET);
      while (writing()) pump();
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

  // Closes the host's input (it ends at end of input) and waits a while for it; kills it after that.
  void finish() noexcept {
    try {
      child_.close_in();
      chunk_.clear();
      step_left_ = 0;
      out_buf_.clear();
      out_at_ = 0;
      discard_ = true;
      const auto deadline =
          Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.close_wait_s));
      while ((!out_eof_ || !err_eof_) && Clock::now() < deadline) {
        if (!poll_outputs(deadline)) break;
      }
      if (!child_.try_wait()) {
        child_.kill(SIGKILL);
        velmora_log().debug("velmora: the render host did not end when its input closed; killed");
      }
      const int status = child_.wait();
      if (status != 0) velmora_log().debug("velmora: the render host %s at close", {status_text(status)});
    } catch (...) {
    }
  }

 private:
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

  void write_some() {
    const long n = write_nosignal(child_.in(), out_buf_.data() + out_at_, out_buf_.size() - out_at_);
    if (n > 0) {
      out_at_ += static_cast<std::size_t>(n);
      return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    host_gone();  // EPIPE: the host no longer reads
  }

  void read_hello() {
    while (true) {
      if (out_eof_) refused_before_hello();
      const auto nl = hello_.find('\n');
      if (nl != std::string::npos) {
        std::string rest = hello_.substr(nl + 1);
        hello_.resize(nl);
        parse_hello();
        if (!rest.empty()) parse_records(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
        return;
      }
      if (hello_.size() > HELLO_MAX_BYTES) {
        throw session::EngineFailed(BAD_HELLO, "no hello line in the first " + std::to_string(HELLO_MAX_BYTES) +
                                                   " bytes of the render host's output");
      }
      poll_outputs(std::nullopt);
    }
  }

  // Reads what the host's outputs have (no writing), waiting until `deadline` at most; false when it passed.
  bool poll_outputs(std::optional<Clock::time_point> deadline) {
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long long>(left, 1000));
    }
    serve_pipes(false, timeout);
    return true;
  }

  // One poll over the pipes still open (the host's input too, when `with_input` and bytes wait for it), then
  // serves those that are ready. False when no pipe was left to wait on.
  bool serve_pipes(bool with_input, int timeout_ms) {
    pollfd fds[3];
    int n = 0, in_at = -1, out_at = -1, err_at = -1;
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
    if (n == 0) return false;
    if (::poll(fds, static_cast<nfds_t>(n), timeout_ms) < 0) {
      if (errno == EINTR) return true;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (err_at >= 0 && fds[err_at].revents != 0) read_stderr();
    if (in_at >= 0 && fds[in_at].revents != 0) write_some();
    if (out_at >= 0 && fds[out_at].revents != 0) read_stdout();
    return true;
  }

  void read_stdout() {
    if (!hello_done_) {
      char buf[4096];
      const ssize_t n = ::read(child_.out(), buf, sizeof buf);
      if (n > 0) hello_.append(buf, static_cast<std::size_t>(n));
      else if (n == 0 || (errno != EAGAIN && errno != EINTR)) out_eof_ = true;
      return;
    }
    const std::span<std::uint8_t> room = record_room();
    const ssize_t n = ::read(child_.out(), room.data(), room.size());
    if (n > 0) {
      advance(static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      out_eof_ = true;
    }
  }

  // Takes bytes that arrived with the hello line through the same record parser.
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
      if (frame_bytes_ == 0) finish_record();
      return;
    }
    pixels_have_ += static_cast<std::int64_t>(n);
    if (static_cast<std::size_t>(pixels_have_) == frame_bytes_) finish_record();
  }

  void finish_record() {
    pixels_have_ = -1;
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

  // Waits for the host to end: its standard error read to the end (a little while at most), then its status.
  int reap() {
    const auto deadline = Clock::now() + STDERR_GRACE;
    while (!err_eof_ && Clock::now() < deadline) {
      if (!poll_outputs(deadline)) break;
      if (out_eof_ && err_eof_) break;
    }
    if (!child_.try_wait()) {
      const auto end = Clock::now() + STDERR_GRACE;
      while (!child_.try_wait() && Clock::now() < end) ::usleep(1000);
      if (!child_.try_wait()) child_.kill(SIGKILL);
    }
    return child_.wait();
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
    throw session::EngineFailed(NO_START, "tarnhost " + status_text(status) + " before its hello line:\n" + tail_text());
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

  // Input side.
  std::vector<std::uint8_t> out_buf_;  // bytes for the host's input; reused
  std::size_t out_at_ = 0;             // of out_buf_, written already
  Pcm chunk_;                          // the chunk being sent
  std::size_t chunk_at_ = 0;           // its bytes converted already
  std::size_t step_left_ = 0;          // samples of the current step not yet converted
  std::uint64_t fed_samples_ = 0;      // samples of this stream
  int markers_owed_ = 0;               // flushes whose end marker has not come yet

  // Output side.
  std::string hello_;
  bool hello_done_ = false;
  int fps_ = 0, width_ = 0, height_ = 0, sample_rate_ = 0;
  std::size_t frame_bytes_ = 0;
  std::uint8_t index_bytes_[4] = {};
  std::size_t index_have_ = 0;
  std::int64_t pixels_have_ = -1;  // -1: reading an index
  std::int32_t current_index_ = 0;
  bool keep_current_ = false;
  std::shared_ptr<std::byte[]> pixels_;
  std::vector<std::uint8_t> scratch_;  // where dropped frames are read
  std::deque<Frame> ready_;
  std::optional<std::int64_t> keep_upto_;
  bool discard_ = false;
  bool out_eof_ = false;

  // Standard error.
  std::string err_partial_;
  std::deque<std::string> tail_;
  bool err_eof_ = false;

  bool gone_ = false;
  std::string gone_detail_;
  std::optional<std::string> stop_reason_;
};

namespace {

Generator<Frame> host_frames(std::shared_ptr<HostLink> link, Generator<Pcm> chunks) {
  link->start_stream();
  while (std::optional<Pcm> chunk = chunks.next()) {
    link->queue_chunk(std::move(*chunk));
    while (link->writing()) {
      link->pump();
      while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
    }
  }
  link->queue_flush();
  while (link->writing() || link->answer_owed()) {
    link->pump();
    while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
  }
  while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
  link->stream_done();
}

}  // namespace

Mirel2Engine::Mirel2Engine(const std::string& source, Mirel2Options options) {
  const std::optional<std::string> host = options.host ? options.host : bundled_host();
  if (!host) {
    throw session::EngineUnavailable(CANNOT_RUN,
                                     "no tarnhost program beside the library, in its installation's bin folder or on PATH");
  }
  link_ = std::make_shared<HostLink>(*host, source, options);
}

Mirel2Engine::~Mirel2Engine() = default;

Generator<Frame> Mirel2Engine::frames(Generator<Pcm> chunks) { return host_frames(link_, std::move(chunks)); }

void Mirel2Engine::interrupt() { link_->recover(); }

void Mirel2Engine::close() { link_->finish(); }

std::optional<double> Mirel2Engine::frames_per_second() const { return link_->fps(); }

std::optional<std::string> Mirel2Engine::stop_reason() const { return link_->stop_reason(); }

}  // namespace velmora::detail
