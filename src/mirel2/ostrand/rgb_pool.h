#pragma once
// The RGB conversion's worker threads. A process has at most one pool: the first conversion that wants more
// than one worker makes it with that many threads, and every later conversion shares it, whatever count it
// asks for. The pool lives in HostState, so it is stopped and joined when the process's state is destroyed
// at exit (it is idle then: its only caller waits for every batch it hands over).
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace velmora::ostrand {

class RgbPool {
 public:
  // Starts `workers` threads (at least 1), named "m2-rgb_0", "m2-rgb_1", ...
  explicit RgbPool(int workers);
  // Stops and joins the threads.
  ~RgbPool();
  RgbPool(const RgbPool&) = delete;
  RgbPool& operator=(const RgbPool&) = delete;

  int size() const { return static_cast<int>(threads_.size()); }

  // Runs task(0), ..., task(count - 1) on the pool's threads, handed out in ascending order, and returns once
  // every one has finished. Then rethrows the error of the lowest-numbered task that failed; the errors of
  // later tasks are dropped. One batch at a time: a second caller waits until the first batch is over.
  // Allocates nothing once a batch of `count` tasks has run.
  template <class Task>
  void run(int count, Task& task) {
    static_assert(std::is_invocable_v<Task&, int>);
    run_batch(count, [](void* t, int i) { (*static_cast<Task*>(t))(i); }, &task);
  }

 private:
  using TaskFn = void (*)(void*, int);
  void run_batch(int count, TaskFn fn, void* ctx);
  void work();

  std::mutex batch_lock_;  // held by the caller of a batch for its whole length
  std::mutex m_;           // guards everything below
  std::condition_variable wake_;
  std::condition_variable done_;
  TaskFn fn_ = nullptr;
  void* ctx_ = nullptr;
  int count_ = 0;     // tasks of the current batch (0 between batches)
  int next_ = 0;      // the next task to hand out
  int finished_ = 0;  // tasks of the current batch that have ended
  std::vector<std::exception_ptr> errors_;  // one per task of the current batch
  bool stop_ = false;
  std::vector<std::thread> threads_;  // last: started once everything above exists
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
