#include "mirel2/ostrand/host_state.h"

#include <cerrno>
#include <system_error>

namespace velmora::ostrand {

HostState& host_state() {
  static HostState state;
  return state;
}

void elog(std::initializer_list<std::string_view> parts) {
  if (const int err = host_state().log.write(parts)) {
    throw std::system_error(err, std::generic_category(), "write to standard error");
  }
}

}  // namespace velmora::ostrand
