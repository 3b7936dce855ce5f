#pragma once
// What the Avatar API relies on from the unified engine adapter (outside the API; the registry's `v2u_engine`):
// the two failures it maps, each with the user message and the underlying error as its cause.
#include <exception>
#include <stdexcept>
#include <string>

namespace velmora {

class V2UError : public std::runtime_error {
 public:
  V2UError(const std::string& message, std::exception_ptr cause = nullptr)
      : std::runtime_error(message), cause_(std::move(cause)) {}
  const std::exception_ptr& cause() const { return cause_; }

 private:
  std::exception_ptr cause_;
};

// This machine cannot run the unified engine (mapped to NotSupported).
class V2UUnavailable : public V2UError {
 public:
  using V2UError::V2UError;
};

// The avatar is not usable by the unified engine (mapped to InvalidAvatar).
class V2UInvalid : public V2UError {
 public:
  using V2UError::V2UError;
};

}  // namespace velmora
