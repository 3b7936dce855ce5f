#include "velmora/outside/mp4_output.h"

#include <utility>

namespace velmora::detail {

Mp4Output::Mp4Output(const std::string& target, Mp4Settings settings, std::vector<KeptFile> keep)
    : target_(target, std::move(keep)), encoder_(target_, std::move(settings)) {}

void Mp4Output::commit(std::stop_token stop, const std::function<void(CommitStep)>& step) {
  encoder_.finish(stop);
  target_.commit(std::move(stop), step);
}

}  // namespace velmora::detail
