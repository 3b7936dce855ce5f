#include "mirel2/ostrand/staging.h"

#include <algorithm>
#include <unistd.h>

#include "mirel2/ostrand/host_state.h"

namespace velmora::ostrand {

void release_staged(std::vector<std::string> paths) {
  auto& staged = host_state().staged;
  for (const auto& path : paths) {
    const auto it = std::find(staged.begin(), staged.end(), path);
    if (it == staged.end()) continue;
    // unlink, not std::filesystem::remove: the latter would also delete an empty directory of that name.
    if (::unlink(path.c_str()) != 0) continue;
    staged.erase(it);
  }
}

void drop_staged() {
  auto& staged = host_state().staged;
  while (!staged.empty()) {
    const std::string path = std::move(staged.back());
    staged.pop_back();
    ::unlink(path.c_str());
  }
}

}  // namespace velmora::ostrand
