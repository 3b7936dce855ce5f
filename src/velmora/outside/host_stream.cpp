#include "velmora/outside/host_stream.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/json.h"
#include "common/pytext.h"
#include "mirel2/ostrand/protocol.h"
#include "velmora/audio_input.h"
#include "velmora/session.hpp"

namespace velmora::detail {
namespace {

using ostrand::END_OF_FLUSH_INDEX;
using ostrand::HELLO_MAX_BYTES;
using ostrand::HELLO_PREFIX;
using ostrand::MAX_STEP_SAMPLES;

constexpr int HOST_SAMPLE_RATE = 16000;
constexpr std::size_t CONVERT_BLOCK = 16384;  // samples converted to float32 at a time
constexpr std::size_t READ_BYTES = 1 << 20;   // one read of the host's output takes a whole record and more

}  // namespace

// ---- StepWriter -------------------------------------------------------------------------------------------

StepWriter::StepWriter(std::size_t step_samples)
    : step_samples_(std::clamp<std::size_t>(step_samples, 1, MAX_STEP_SAMPLES)) {
  bytes_.reserve(4 + CONVERT_BLOCK * 4);
}

void StepWriter::start_stream() {
  samples_ = 0;
  carry_.reset();
}

void StepWriter::queue_chunk(Pcm chunk) {
  whole_samples(chunk, carry_);
  chunk_ = std::move(chunk);
  chunk_at_ = 0;
  samples_ += chunk_.size() / 2;
}

void StepWriter::queue_request(std::uint32_t word) {
  while (chunk_at_ < chunk_.size() || step_left_ > 0) make_block();
  if (written_ == bytes_.size()) {
    bytes_.clear();
    written_ = 0;
  }
  append_le(word);
}

void StepWriter::silence_rest() {
  chunk_.clear();
  chunk_at_ = 0;
}

void StepWriter::drop_unwritten() {
  chunk_.clear();
  chunk_at_ = 0;
  step_left_ = 0;
  bytes_.clear();
  written_ = 0;
}

void StepWriter::refill() {
  if (written_ < bytes_.size()) return;
  bytes_.clear();
  written_ = 0;
  make_block();
}

void StepWriter::append_le(std::uint32_t word) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                             static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
  bytes_.insert(bytes_.end(), b, b + 4);
}

// Once the chunk is used up (or dropped), the rest of a step is silence.
void StepWriter::make_block() {
  if (step_left_ == 0) {
    const std::size_t left = (chunk_.size() - chunk_at_) / 2;
    if (left == 0) return;
    step_left_ = std::min(left, step_samples_);
    append_le(static_cast<std::uint32_t>(step_left_));
  }
  const std::size_t n = std::min(step_left_, CONVERT_BLOCK);
  const std::size_t at = bytes_.size();
  bytes_.resize(at + n * 4);
  std::uint8_t* dst = bytes_.data() + at;
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

// ---- RecordReader -----------------------------------------------------------------------------------------

RecordReader::RecordReader() : stage_(new std::uint8_t[READ_BYTES]) {}

RecordReader::Read RecordReader::read_from(int fd) {
  iovec iov[2];
  int n = 0;
  std::size_t direct = 0;
  if (hello_done_ && pixels_have_ >= 0) {
    direct = hello_.frame_bytes() - static_cast<std::size_t>(pixels_have_);
    iov[n++] = {target() + pixels_have_, direct};
  }
  iov[n++] = {stage_.get(), READ_BYTES};
  const ssize_t r = ::readv(fd, iov, n);
  if (r < 0 && (errno == EAGAIN || errno == EINTR)) return Read::nothing;
  if (r <= 0) return Read::end;
  std::size_t got = static_cast<std::size_t>(r);
  const std::size_t into_frame = std::min(got, direct);
  if (into_frame > 0) advance(into_frame);
  got -= into_frame;
  if (got == 0) return Read::bytes;
  if (!hello_done_) {
    hello_text_.append(reinterpret_cast<const char*>(stage_.get()), got);
  } else {
    parse(stage_.get(), got);
  }
  return Read::bytes;
}

RecordReader::Read RecordReader::drop_from(int fd) {
  const ssize_t r = ::read(fd, stage_.get(), READ_BYTES);
  if (r < 0 && (errno == EAGAIN || errno == EINTR)) return Read::nothing;
  return r <= 0 ? Read::end : Read::bytes;
}

bool RecordReader::take_hello() {
  if (hello_done_) return true;
  const auto nl = hello_text_.find('\n');
  if (nl == std::string::npos) return false;
  const std::string rest = hello_text_.substr(nl + 1);
  hello_text_.resize(nl);
  parse_hello(hello_text_);
  hello_done_ = true;
  if (!rest.empty()) parse(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
  return true;
}

bool RecordReader::hello_too_long() const { return !hello_done_ && hello_text_.size() > HELLO_MAX_BYTES; }

void RecordReader::start_stream() {
  records_seen_ = 0;
  keep_upto_.reset();
}

std::optional<Frame> RecordReader::take_frame() {
  if (ready_.empty()) return std::nullopt;
  Frame f = std::move(ready_.front());
  ready_.pop_front();
  return f;
}

void RecordReader::parse(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const std::span<std::uint8_t> into = room();
    const std::size_t take = std::min(into.size(), size);
    std::memcpy(into.data(), data, take);
    data += take;
    size -= take;
    advance(take);
  }
}

std::span<std::uint8_t> RecordReader::room() {
  if (pixels_have_ < 0) return {index_bytes_ + index_have_, 4 - index_have_};
  return {target() + pixels_have_, hello_.frame_bytes() - static_cast<std::size_t>(pixels_have_)};
}

std::uint8_t* RecordReader::target() {
  if (keep_current_) return reinterpret_cast<std::uint8_t*>(pixels_.get());
  if (scratch_.size() != hello_.frame_bytes()) scratch_.resize(hello_.frame_bytes());
  return scratch_.data();
}

void RecordReader::advance(std::size_t n) {
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
    if (keep_current_) pixels_.reset(new std::byte[hello_.frame_bytes()]);
    pixels_have_ = 0;
    return;
  }
  pixels_have_ += static_cast<std::int64_t>(n);
  if (static_cast<std::size_t>(pixels_have_) == hello_.frame_bytes()) finish_record();
}

void RecordReader::finish_record() {
  pixels_have_ = -1;
  ++records_seen_;
  if (!keep_current_) return;
  Frame f;
  f.data = std::shared_ptr<const std::byte>(pixels_, pixels_.get());
  f.bytes = hello_.frame_bytes();
  f.shape = {static_cast<std::size_t>(hello_.height), static_cast<std::size_t>(hello_.width), 3};
  f.type = ElementType::u8;
  f.index = current_index_;
  ready_.push_back(std::move(f));
  pixels_.reset();
}

void RecordReader::parse_hello(const std::string& line) {
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
  hello_.fps = static_cast<int>(positive("fps"));
  hello_.width = static_cast<int>(positive("width"));
  hello_.height = static_cast<int>(positive("height"));
  hello_.sample_rate = static_cast<int>(positive("sample_rate"));
  if (hello_.sample_rate != HOST_SAMPLE_RATE || hello_.sample_rate % hello_.fps != 0) {
    throw bad("a sample rate this adapter cannot feed");
  }
}

}  // namespace velmora::detail
