#include "mirel2/ostrand/exit_status.h"

#include "mirel2/ostrand/host_state.h"

namespace velmora::ostrand {

void fatal(std::string_view message) {
  elog({message});
  throw HostExit{3};
}

}  // namespace velmora::ostrand
