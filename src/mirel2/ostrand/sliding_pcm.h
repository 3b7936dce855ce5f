#pragma once
// The audio store of one render stream: float32 mono samples appended at the end in pieces of any size and
// dropped from the front once no later window needs them, addressed by absolute sample index (counted from
// the first sample appended since construction or reset).
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

namespace velmora::ostrand::detail {

// Diagnostic counters of a store, in the order its counters() lists them.
struct SlidingPcmCounters {
  std::int64_t live_samples = 0;
  std::int64_t backing_bytes = 0;
  std::int64_t peak_backing_bytes = 0;
  std::int64_t input_samples_copied = 0;
  std::int64_t retained_samples_moved = 0;
  std::int64_t aliased_samples_snapshotted = 0;
  std::int64_t allocations = 0;
  std::int64_t absolute_base = 0;
  std::int64_t absolute_fed = 0;

  bool operator==(const SlidingPcmCounters&) const = default;
};

// One backing array that grows geometrically (at least doubling), compacts in place when the retained samples
// and a new piece fit, and shrinks to twice what is retained (never below the minimum capacity) once three
// quarters of it hold nothing. After the first chunks of a steady stream, appends, windows and drops make no
// allocation.
//
// Not thread-safe; one thread uses a store.
class SlidingPcm {
 public:
  static constexpr std::int64_t DEFAULT_MINIMUM_CAPACITY = 51200;

  // Throws std::invalid_argument("positive capacity required") unless minimum_capacity > 0.
  explicit SlidingPcm(std::int64_t minimum_capacity = DEFAULT_MINIMUM_CAPACITY);

  SlidingPcm(SlidingPcm&&) noexcept = default;
  SlidingPcm& operator=(SlidingPcm&&) noexcept = default;
  SlidingPcm(const SlidingPcm&) = delete;
  SlidingPcm& operator=(const SlidingPcm&) = delete;

  // The retained samples, absolute indices base() to fed() - 1, without a copy. Valid only until the next
  // append, discard_before or reset, which may move the samples or free the array.
  std::span<const float> live() const {
    return {storage_.get() + start_, static_cast<std::size_t>(end_ - start_)};
  }
  // Absolute index of live()[0], and one past the newest sample.
  std::int64_t base() const { return base_; }
  std::int64_t fed() const { return fed_; }
  std::int64_t capacity() const { return capacity_; }
  std::int64_t minimum_capacity() const { return minimum_capacity_; }
  // Retained samples copied to a new place so far (compaction and reallocation).
  std::int64_t moved_samples() const { return moved_samples_; }

  // Adds `pcm` after the newest sample. An empty piece changes nothing. A piece that lies in the store's own
  // array (a part of live(), say) is copied aside first, so it appends the values it had at the call.
  // On std::bad_alloc the store is unchanged.
  void append(std::span<const float> pcm);

  // Drops every retained sample below `absolute_sample` (a point at or below base() drops nothing, one at or
  // beyond fed() drops everything; the point is not remembered for later appends), then shrinks the array if
  // it is mostly empty. Throws std::invalid_argument("nonnegative absolute sample offset required") for a
  // negative point, changing nothing.
  void discard_before(std::int64_t absolute_sample);

  // Copies the window of absolute samples [start, start + out.size()) into `out`; every sample at or beyond
  // min(stop, fed()) reads as 0, so a window may reach past the fed audio. Throws
  // std::invalid_argument("nonnegative absolute sample offset required") for a negative start, and
  // std::runtime_error("consumed audio context requested") when a sample to copy has already been dropped
  // (start < base() and the window holds any sample below min(stop, fed())). `out` is written only on success.
  void read(std::int64_t start, std::span<float> out,
            std::int64_t stop = std::numeric_limits<std::int64_t>::max()) const;

  // Makes the store as new, with the same minimum capacity: nothing retained, absolute indices from 0 again,
  // every counter 0; the array is released.
  void reset();

  SlidingPcmCounters counters() const;

 private:
  // Moves the retained samples to the front of a new array of `capacity` samples (at least the live count);
  // changes nothing when the allocation fails.
  void allocate(std::int64_t capacity);

  std::int64_t minimum_capacity_;
  std::unique_ptr<float[]> storage_;
  std::int64_t capacity_ = 0;
  std::int64_t start_ = 0;  // position in storage_ of the oldest retained sample
  std::int64_t end_ = 0;    // position in storage_ one past the newest
  std::int64_t base_ = 0;
  std::int64_t fed_ = 0;
  std::int64_t appended_samples_ = 0;
  std::int64_t moved_samples_ = 0;
  std::int64_t allocations_ = 0;
  std::int64_t aliased_samples_snapshotted_ = 0;
  std::int64_t peak_capacity_ = 0;
};

}  // namespace velmora::ostrand::detail
