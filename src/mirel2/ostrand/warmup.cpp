#include "mirel2/ostrand/warmup.h"

#include <stdexcept>

namespace velmora::ostrand {

int run(const std::string&, const std::optional<std::string>&, int) {
  throw std::runtime_error("this build of tarnhost has no streaming renderer yet");
}

}  // namespace velmora::ostrand
