#include "mirel2/ostrand/renderer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/dec_inputs.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/rgb888.h"

namespace velmora::ostrand {
namespace {

constexpr float AUDIO_GAIN = 3.0f;
// Every chunk after the first steps the last eight of the fourteen tokens.
constexpr int STEADY_TOKEN_ROW = 6;
// A flush renders chunks until the stream's last record index (32 x chunks - 8) is at least the last frame slot
// holding audio + 4: ceil((slot + 12) / 32) chunks.
constexpr std::int64_t FLUSH_MARGIN_FRAMES = 12;

// Absolute sample where chunk `ci`'s window starts.
std::int64_t window_start(std::int64_t ci) { return (ci <= 1 ? 0 : (ci - 1) * STEADY_PX) * SPF; }

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Renderer::Renderer(LitertChain& chain, std::shared_ptr<const ColorCorrect> cc)
    : chain_(chain),
      cc_(std::move(cc)),
      rgb_threads_(ostrand::rgb_threads()),
      hist_(HIST_VALUES),
      prev_lat_(CANON_SIZE),
      window_(WIN_SAMPLES),
      tempo_(TEMPO_SAMPLES),
      lats_(std::size_t{STEADY_LAT} * CANON_SIZE) {
  lat_views_.reserve(STEADY_LAT);
  frame_views_.reserve(STEADY_PX);
  frames_.reserve(STEADY_PX + PRESENT_DELAY_FRAMES);
  // Sized for a steady chunk from the start (untouched until used), so that chunk 1 does not replace what
  // chunk 0 made.
  rgb_.resize(std::size_t{STEADY_PX} * FRAME_BYTES);
  xs_.resize(std::size_t{STEADY_PX} * DEC_ROW_VALUES);
  reset();
}

void Renderer::reset() {
  pcm_.reset();
  ci_ = 0;
  chain_.fill_hist(hist_);
  has_prev_ = false;
  px_frame_ = FIRST_FRAME_INDEX;
  c_wall_ = 0.0;
  c_n_ = 0;
}

void Renderer::feed(std::span<const float> pcm) { pcm_.append(pcm); }

std::int64_t Renderer::need(std::int64_t ci) { return std::min((ci + 1) * SPC, window_start(ci) + WIN_SAMPLES); }

void Renderer::window(std::int64_t ci, std::span<float> out) const {
  if (out.size() != static_cast<std::size_t>(WIN_SAMPLES))
    throw std::invalid_argument("an audio window holds " + std::to_string(WIN_SAMPLES) + " samples, not " +
                                std::to_string(out.size()));
  // Chunk 0 never reads past its own 25,600 samples, however much more has arrived.
  pcm_.read(window_start(ci), out, (ci + 1) * SPC);
}

void Renderer::ready_chunks(const FrameSink& sink) {
  while (pcm_.fed() >= need(ci_)) {
    process_chunk();
    finish_chunk(sink);
  }
}

void Renderer::flush_chunks(const FrameSink& sink) {
  // The last 800-sample frame slot holding fed audio (-1 for none), and the chunks the stream owes in all.
  const std::int64_t end_fi = (pcm_.fed() + SPF - 1) / SPF - 1;
  const std::int64_t n_chunks = std::max<std::int64_t>(1, (end_fi + FLUSH_MARGIN_FRAMES + STEADY_PX - 1) / STEADY_PX);
  while (ci_ < n_chunks) {
    process_chunk();
    finish_chunk(sink);
  }
}

std::optional<double> Renderer::rtf() const {
  if (c_n_ == 0) return std::nullopt;
  return (c_wall_ / static_cast<double>(c_n_)) / (static_cast<double>(STEADY_PX) / FPS);
}

void Renderer::process_chunk() {
  const double t0 = seconds_now();
  const int blk = ci_ == 0 ? CHUNK0_LAT : STEADY_LAT;
  const int row_base = ci_ == 0 ? 0 : STEADY_TOKEN_ROW;

  window(ci_, window_);
  tempo_wsola(window_, tempo_, wsola_);
  for (float& v : tempo_) v *= AUDIO_GAIN;
  chain_.run_enc(tempo_, feats_);
  chain_.run_tok(feats_, tok_);
  lat_views_.clear();
  for (int j = 0; j < blk; ++j) {
    const std::span<float> lat(lats_.data() + static_cast<std::size_t>(j) * CANON_SIZE, CANON_SIZE);
    chain_.run_step(hist_, LitertChain::token(tok_, row_base + j), lat);
    LitertChain::shift_hist(hist_, lat);
    lat_views_.push_back(lat);
  }
  const int n = build_dec_inputs(lat_views_, blk, has_prev_ ? std::optional<LatentView>(prev_lat_) : std::nullopt, xs_);

  // Each decoder batch goes from the decoder's output straight into RGB888: its frames are read once.
  const std::span<std::uint8_t> rgb = rgb_.resize(static_cast<std::size_t>(n) * FRAME_BYTES);
  // The pool, when there is none yet, takes the chunk's worker count rather than a batch's.
  if (const int workers = std::min(n, std::max(1, rgb_threads_)); workers > 1) host_state().rgb_pool.get(workers);
  chain_.run_dec_batches(xs_.span(), n, [this, &rgb](int first, std::span<const float> values) {
    frame_views_.clear();
    for (std::size_t at = 0; at < values.size(); at += FRAME_VALUES) frame_views_.push_back(values.subspan(at, FRAME_VALUES));
    if (first + static_cast<int>(frame_views_.size()) == static_cast<int>(rgb.size() / FRAME_BYTES)) {
      // The decoder has run to its end: the chunk's last latent becomes the next chunk's previous one.
      std::copy(lat_views_.back().begin(), lat_views_.back().end(), prev_lat_.begin());
      has_prev_ = true;
    }
    px_to_rgb888_chunk(frame_views_, cc_.get(), rgb_threads_,
                       rgb.subspan(static_cast<std::size_t>(first) * FRAME_BYTES, frame_views_.size() * FRAME_BYTES));
  });

  frames_.clear();
  for (int k = 0; k < n; ++k) {
    const auto view = rgb.subspan(static_cast<std::size_t>(k) * FRAME_BYTES, FRAME_BYTES);
    // The stream's very first frame is presented once more, under the next index.
    const int copies = (ci_ == 0 && k == 0) ? 1 + PRESENT_DELAY_FRAMES : 1;
    for (int c = 0; c < copies; ++c) frames_.push_back({static_cast<std::int32_t>(px_frame_++), view});
  }
  c_wall_ += seconds_now() - t0;
  ++c_n_;
}

void Renderer::finish_chunk(const FrameSink& sink) {
  ++ci_;
  pcm_.discard_before(window_start(ci_));
  if (sink) sink(frames_);
}

}  // namespace velmora::ostrand
