#pragma once
// Float results compared bit for bit, for code that must reproduce another implementation's arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <span>

namespace velmora::testing {

// Equal lengths and equal bits element by element, or NaN on both sides (its payload is not part of any
// result we keep). The failure names the first element that differs.
inline ::testing::AssertionResult same_floats(std::span<const float> got, std::span<const float> want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " values against " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (std::memcmp(&got[i], &want[i], sizeof(float)) != 0 && !(std::isnan(got[i]) && std::isnan(want[i])))
      return ::testing::AssertionFailure() << "element " << i << ": " << got[i] << " against " << want[i];
  return ::testing::AssertionSuccess();
}

}  // namespace velmora::testing
