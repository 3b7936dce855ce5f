#pragma once
// NumPy's order of summation for np.sum / np.mean over a contiguous run of n values: the run is cut into
// blocks of 8192 (the ufunc buffer), each block is summed pairwise, and the block sums are added in order to an
// accumulator that starts at 0. Pairwise, n < 8: in order from 0; n <= 128: eight interleaved partial sums
// combined as ((r0+r1)+(r2+r3))+((r4+r5)+(r6+r7)), then the remainder in order; larger n: split at n/2 rounded
// down to a multiple of 8. Results equal NumPy's bit for bit.
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

namespace detail {

// Pairwise sum of value(i) for i in [lo, lo + n), in type T.
template <class T, class F>
T pairwise_sum(F& value, std::int64_t lo, std::int64_t n) {
  if (n < 8) {
    T res = 0;
    for (std::int64_t i = 0; i < n; ++i) res += value(lo + i);
    return res;
  }
  if (n <= 128) {
    T r[8];
    for (int j = 0; j < 8; ++j) r[j] = value(lo + j);
    std::int64_t i = 8;
    for (; i < n - (n % 8); i += 8)
      for (int j = 0; j < 8; ++j) r[j] += value(lo + i + j);
    T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += value(lo + i);
    return res;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  const T a = pairwise_sum<T>(value, lo, n2);
  return a + pairwise_sum<T>(value, lo + n2, n - n2);
}

}  // namespace detail

// np.sum of value(0) .. value(n - 1), each value already of type T (the array's element type).
template <class T, class F>
T numpy_sum_of(std::int64_t n, F&& value) {
  constexpr std::int64_t BUFSIZE = 8192;
  T acc = 0;
  for (std::int64_t s = 0; s < n; s += BUFSIZE) acc += detail::pairwise_sum<T>(value, s, n - s < BUFSIZE ? n - s : BUFSIZE);
  return acc;
}

template <class T>
T numpy_sum(std::span<const T> a) {
  return numpy_sum_of<T>(static_cast<std::int64_t>(a.size()), [&](std::int64_t i) { return a[static_cast<std::size_t>(i)]; });
}

}  // namespace velmora
