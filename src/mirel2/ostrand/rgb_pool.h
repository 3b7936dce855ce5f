#pragma once
// The RGB conversion's worker threads. A process has at most one pool: the first conversion that wants more
// than one worker makes it with that many threads, and every later conversion shares it, whatever count it
// asks for. The pool lives in HostState, so it is stopped and joined when the process's state is destroyed
// at exit (it is idle then: its only caller waits for every batch it hands over).
#include <memory>
#include <mutex>

#include "common/worker_pool.h"

namespace velmora::ostrand {

// Its threads are named "m2-rgb_0", "m2-rgb_1", ...
class RgbPool : public WorkerPool {
 public:
  explicit RgbPool(int workers) : WorkerPool(workers, "m2-rgb") {}
};

// Where the process keeps its pool: empty until the first multi-worker conversion.
class RgbPoolSlot {
 public:
  // The pool; made with `workers` threads (at least 1) when there is none yet. Under a lock, so two first
  // calls at once make one pool.
  RgbPool& get(int workers);
  // The pool's thread count; 0 while there is none.
  int size() const;

 private:
  mutable std::mutex lock_;
  std::unique_ptr<RgbPool> pool_;
};

}  // namespace velmora::ostrand
