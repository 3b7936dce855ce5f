#pragma once
// The message of the exception a call throws, for tests that check error texts exactly.
#include <exception>
#include <functional>
#include <string>

namespace velmora::testing {

// what() of the exception `f` throws, or "(no error)" when it returns.
inline std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace velmora::testing
