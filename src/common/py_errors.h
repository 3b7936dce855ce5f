#pragma once
// Python's lookup error for a missing key or member. Its text is the key's repr, as str(KeyError('x')) is.
// Invalid values (Python's ValueError and TypeError) are std::invalid_argument.
#include <stdexcept>
#include <string>

#include "common/pytext.h"

namespace velmora {

class KeyError : public std::out_of_range {
 public:
  explicit KeyError(const std::string& key) : std::out_of_range(py_repr(key)), key_(key) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

}  // namespace velmora
