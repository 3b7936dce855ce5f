#include "velmora/outside.h"

#include <mutex>
#include <utility>

#include "velmora/outside/package.h"

namespace velmora::detail {
namespace {

std::mutex registry_mutex;

// This build's own services go in at the first use, whichever thread comes first (a function-local static is
// initialised once, then): nothing depends on start-up code that a linker could leave out.
std::shared_ptr<const Outside>& registry() {
  static std::shared_ptr<const Outside> installed = std::make_shared<const Outside>(package_outside());
  return installed;
}

std::shared_ptr<const Outside> exchange(std::shared_ptr<const Outside> next) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  return std::exchange(registry(), std::move(next));
}

}  // namespace

std::shared_ptr<const Outside> outside() {
  std::lock_guard<std::mutex> lock(registry_mutex);
  return registry();
}

void install_outside(Outside services) { exchange(std::make_shared<const Outside>(std::move(services))); }

ScopedOutside::ScopedOutside(Outside services)
    : previous_(exchange(std::make_shared<const Outside>(std::move(services)))) {}

ScopedOutside::~ScopedOutside() { exchange(std::move(previous_)); }

}  // namespace velmora::detail
