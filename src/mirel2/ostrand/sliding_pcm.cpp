#include "mirel2/ostrand/sliding_pcm.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <vector>

namespace velmora::ostrand::detail {

namespace {

constexpr const char* BAD_OFFSET = "nonnegative absolute sample offset required";

}  // namespace

SlidingPcm::SlidingPcm(std::int64_t minimum_capacity) : minimum_capacity_(minimum_capacity) {
  if (minimum_capacity <= 0) throw std::invalid_argument("positive capacity required");
}

void SlidingPcm::append(std::span<const float> pcm) {
  const auto n = static_cast<std::int64_t>(pcm.size());
  if (n == 0) return;
  // A piece inside our own array could be moved or freed below before it is read: copy it aside first.
  std::vector<float> snapshot;
  const std::less<const float*> below;
  const float* own = storage_.get();
  const bool aliased = capacity_ > 0 && below(pcm.data(), own + capacity_) && below(own, pcm.data() + n);
  if (aliased) {
    snapshot.assign(pcm.begin(), pcm.end());
    pcm = snapshot;
  }
  const std::int64_t live = end_ - start_;
  if (capacity_ - end_ < n) {
    if (capacity_ >= live + n) {
      std::copy(storage_.get() + start_, storage_.get() + end_, storage_.get());
      moved_samples_ += live;
      start_ = 0;
      end_ = live;
    } else {
      allocate(std::max({live + n, 2 * capacity_, minimum_capacity_}));
    }
  }
  std::copy(pcm.begin(), pcm.end(), storage_.get() + end_);
  end_ += n;
  fed_ += n;
  appended_samples_ += n;
  if (aliased) aliased_samples_snapshotted_ += n;
}

void SlidingPcm::discard_before(std::int64_t absolute_sample) {
  if (absolute_sample < 0) throw std::invalid_argument(BAD_OFFSET);
  const std::int64_t drop = std::min(end_ - start_, std::max<std::int64_t>(0, absolute_sample - base_));
  start_ += drop;
  base_ += drop;
  const std::int64_t live = end_ - start_;
  if (capacity_ > minimum_capacity_ && live <= capacity_ / 4) allocate(std::max(minimum_capacity_, 2 * live));
}

void SlidingPcm::read(std::int64_t start, std::span<float> out, std::int64_t stop) const {
  if (start < 0) throw std::invalid_argument(BAD_OFFSET);
  const auto size = static_cast<std::int64_t>(out.size());
  const std::int64_t reach = size > std::numeric_limits<std::int64_t>::max() - start
                                 ? std::numeric_limits<std::int64_t>::max()
                                 : start + size;
  const std::int64_t hi = std::min({reach, stop, fed_});
  std::int64_t copied = 0;
  if (hi > start) {
    if (start < base_) throw std::runtime_error("consumed audio context requested");
    copied = hi - start;
    const float* from = storage_.get() + start_ + (start - base_);
    std::copy(from, from + copied, out.begin());
  }
  std::fill(out.begin() + copied, out.end(), 0.0f);
}

void SlidingPcm::reset() { *this = SlidingPcm(minimum_capacity_); }

SlidingPcmCounters SlidingPcm::counters() const {
  return {
      .live_samples = end_ - start_,
      .backing_bytes = capacity_ * static_cast<std::int64_t>(sizeof(float)),
      .peak_backing_bytes = peak_capacity_ * static_cast<std::int64_t>(sizeof(float)),
      .input_samples_copied = appended_samples_,
      .retained_samples_moved = moved_samples_,
      .aliased_samples_snapshotted = aliased_samples_snapshotted_,
      .allocations = allocations_,
      .absolute_base = base_,
      .absolute_fed = fed_,
  };
}

void SlidingPcm::allocate(std::int64_t capacity) {
  auto replacement = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(capacity));
  const std::int64_t live = end_ - start_;
  std::copy(storage_.get() + start_, storage_.get() + end_, replacement.get());
  moved_samples_ += live;
  storage_ = std::move(replacement);
  capacity_ = capacity;
  start_ = 0;
  end_ = live;
  ++allocations_;
  peak_capacity_ = std::max(peak_capacity_, capacity);
}

}  // namespace velmora::ostrand::detail
