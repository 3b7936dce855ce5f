#include "mirel2/ostrand/stream_server.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/protocol.h"

namespace velmora::ostrand {
namespace {

static_assert(std::endian::native == std::endian::little, "the protocol's samples and indices are little-endian");

constexpr double STATS_INTERVAL_SECONDS = 5.0;

std::span<const std::byte> as_bytes_of(const std::int32_t& v) {
  return {reinterpret_cast<const std::byte*>(&v), sizeof v};
}

// Writes each chunk's frame records as the renderer hands them over, all of a chunk in one gathering write;
// flushes once at the end if any frame went out.
class Emitter {
 public:
  explicit Emitter(OutStream& out) : out_(out) {}
  FrameSink sink() {
    return [this](std::span<const FramePair> frames) {
      pieces_.clear();
      for (const auto& f : frames) {
        pieces_.push_back(as_bytes_of(f.index));
        pieces_.push_back(std::as_bytes(f.rgb));
      }
      out_.write(pieces_);
      wrote_ = wrote_ || !frames.empty();
    };
  }
  void finish() {
    if (wrote_) out_.flush();
  }

 private:
  OutStream& out_;
  std::vector<std::span<const std::byte>> pieces_;  // index and frame bytes of each record
  bool wrote_ = false;
};

std::string format(const char* fmt, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

}  // namespace

double monotonic_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string hello_line(const std::optional<ColorDescriptor>& color) {
  // Built by hand: the members' order is part of the protocol, and every value here is plain ASCII.
  std::string line = std::string(HELLO_PREFIX) + "{\"fps\":" + std::to_string(FPS) + ",\"width\":" + std::to_string(FW) +
                     ",\"height\":" + std::to_string(FH) + ",\"sample_rate\":" + std::to_string(SR) + ",\"color\":";
  if (color)
    line += "{\"kind\":\"" + color->kind + "\",\"sha256\":\"" + color->sha256 + "\"}";
  else
    line += "null";
  line += "}\n";
  return line;
}

std::string stats_line(double rtf, long chunks, double seconds) {
  const double per_chunk = seconds / static_cast<double>(std::max(1L, chunks));
  // A chunk that took no measurable time divides by zero: that is an infinite rate, not a failure.
  const double fps = per_chunk > 0 ? STEADY_PX / per_chunk : HUGE_VAL;
  return "rtf=" + format("%.3f", rtf) + " chunks=" + std::to_string(chunks) + " fps=" + format("%.1f", fps);
}

int serve(StreamRenderer& renderer, std::string_view model_label, ServerIo io) {
  const std::string hello = hello_line(renderer.color());
  io.out.write(std::as_bytes(std::span(hello.data(), hello.size())));
  io.out.flush();
  elog({"ready " + std::to_string(FW) + "x" + std::to_string(FH) + " @" + std::to_string(FPS) + "fps  model=" +
        std::string(model_label)});
  double last_stats = io.clock();
  std::vector<float> pcm;
  while (true) {
    std::uint32_t word = 0;
    if (!io.in.read_exact(std::as_writable_bytes(std::span(&word, 1)))) break;
    if (word == STEP_FLUSH) {
      Emitter emit(io.out);
      renderer.flush_chunks(emit.sink());
      emit.finish();
      io.out.write(as_bytes_of(END_OF_FLUSH_INDEX));
      io.out.flush();
      continue;
    }
    if (word == STEP_RESET) {
      renderer.reset();
      continue;
    }
    if (word > MAX_STEP_SAMPLES) {
      elog({"bad step size " + std::to_string(word) + " \u2014 protocol desync"});
      return 1;
    }
    pcm.resize(word);
    if (word > 0 && !io.in.read_exact(std::as_writable_bytes(std::span(pcm)))) break;
    renderer.feed(pcm);
    Emitter emit(io.out);
    renderer.ready_chunks(emit.sink());
    emit.finish();
    const double now = io.clock();
    if (now - last_stats > STATS_INTERVAL_SECONDS) {
      if (const auto rtf = renderer.rtf()) {
        elog({stats_line(*rtf, renderer.chunks_rendered(), renderer.render_seconds())});
        last_stats = now;
      }
    }
  }
  elog({"stdin closed \u2014 exiting"});
  return 0;
}

}  // namespace velmora::ostrand
