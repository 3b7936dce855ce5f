#include "common/worker_pool.h"

#include <pthread.h>

#include <algorithm>
#include <string>

namespace velmora {

WorkerPool::WorkerPool(int workers, const std::string& name) {
  workers = std::max(1, workers);
  threads_.reserve(static_cast<std::size_t>(workers));
  try {
    for (int i = 0; i < workers; ++i) {
      threads_.emplace_back([this] { work(); });
      const std::string thread = name + "_" + std::to_string(i);
      // Cosmetic (the kernel keeps 15 characters); a failure changes nothing.
      ::pthread_setname_np(threads_.back().native_handle(), thread.substr(0, 15).c_str());
    }
  } catch (...) {
    // A thread that could not start: stop the ones that did before the error leaves.
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
    throw;
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(m_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkerPool::run_batch(int count, TaskFn fn, void* ctx) {
  if (count <= 0) return;
  std::lock_guard batch(batch_lock_);
  std::exception_ptr first;
  {
    std::unique_lock lock(m_);
    // First, as it may throw: a failure must leave no batch armed with the caller's task.
    errors_.assign(static_cast<std::size_t>(count), nullptr);
    fn_ = fn;
    ctx_ = ctx;
    count_ = count;
    next_ = 0;
    finished_ = 0;
    wake_.notify_all();
    done_.wait(lock, [&] { return finished_ == count_; });
    for (auto& e : errors_)
      if (e) {
        first = e;
        break;
      }
    errors_.assign(errors_.size(), nullptr);  // release the exceptions, keep the storage
    count_ = 0;
  }
  if (first) std::rethrow_exception(first);
}

void WorkerPool::work() {
  std::unique_lock lock(m_);
  while (true) {
    wake_.wait(lock, [&] { return stop_ || next_ < count_; });
    if (next_ < count_) {
      const int i = next_++;
      const TaskFn fn = fn_;
      void* ctx = ctx_;
      lock.unlock();
      std::exception_ptr error;
      try {
        fn(ctx, i);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      errors_[static_cast<std::size_t>(i)] = std::move(error);
      if (++finished_ == count_) done_.notify_one();
      continue;
    }
    if (stop_) return;
  }
}

}  // namespace velmora
