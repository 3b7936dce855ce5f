#include "mirel2/ostrand/rgb_pool.h"

namespace velmora::ostrand {

RgbPool& RgbPoolSlot::get(int workers) {
  std::lock_guard lock(lock_);
  if (!pool_) pool_ = std::make_unique<RgbPool>(workers);
  return *pool_;
}

int RgbPoolSlot::size() const {
  std::lock_guard lock(lock_);
  return pool_ ? pool_->size() : 0;
}

}  // namespace velmora::ostrand
