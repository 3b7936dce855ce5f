#pragma once
// A fixed set of worker threads that runs numbered tasks in batches, for callers that must bound how many
// threads work for them.
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace velmora {

class WorkerPool {
 public:
  // Starts `workers` threads (at least 1), named `name` followed by "_0", "_1", ... (cut to the kernel's 15
  // characters). Throws std::system_error when a thread cannot start, after stopping the ones that did.
  WorkerPool(int workers, const std::string& name);
  // Stops and joins the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(threads_.size()); }

  // Runs task(0), ..., task(count - 1) on the pool's threads, handed out in ascending order, and returns once
  // every one has finished; the caller only waits. Then rethrows the error of the lowest-numbered task that
  // failed; the errors of later tasks are dropped. One batch at a time: a second caller waits until the first
  // batch is over. Allocates nothing once a batch of `count` tasks has run.
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

}  // namespace velmora
