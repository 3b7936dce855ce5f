#include "velmora/render_clock.h"

#include <algorithm>
#include <chrono>

namespace velmora::detail {

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Generator<Pcm> RenderClock::chunks(Generator<Pcm> source) {
  while (auto chunk = source.next()) {
    if (!t0_) t0_ = now_();
    Pcm pcm = std::move(*chunk);
    co_yield std::move(pcm);
  }
}

void RenderClock::frame() {
  t1_ = now_();
  ++n_;
}

std::optional<RenderStats> RenderClock::stats() const {
  if (!t0_ || !t1_ || n_ == 0) return std::nullopt;
  const double secs = std::max(*t1_ - *t0_, 1e-9);
  return RenderStats{n_, secs, static_cast<double>(n_) / secs};
}

}  // namespace velmora::detail
