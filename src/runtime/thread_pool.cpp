#include "runtime/thread_pool.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

#include "runtime/pending_outputs.h"

namespace zelmor {

ThreadPool::ThreadPool(int threads) {
  // A thread that cannot be started (an address-space limit too small for its
  // stack, a cap on processes) leaves the pool smaller, not the run aborted:
  // results do not depend on how many threads share the tasks.
  for (int w = 1; w < threads; ++w) {
    try {
      workers_.emplace_back([this, w] { workerLoop(w); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void ThreadPool::drain(int worker) {
  for (;;) {
    int64_t task;
    const std::function<void(int64_t, int)>* body;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (nextTask_ >= taskCount_) return;
      task = nextTask_++;
      body = task_;
    }
    std::exception_ptr failure;
    try {
      (*body)(task, worker);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure) {
      // The first failure is handed back to the caller; the tasks nobody has
      // started yet are dropped.
      if (!failure_) failure_ = failure;
      finished_ += taskCount_ - nextTask_;
      nextTask_ = taskCount_;
    }
    if (++finished_ == taskCount_) done_.notify_all();
  }
}

void ThreadPool::run(int64_t taskCount, const std::function<void(int64_t, int)>& task) {
  if (taskCount <= 0) return;
  if (workers_.empty() || taskCount == 1) {
    for (int64_t i = 0; i < taskCount; ++i) task(i, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    taskCount_ = taskCount;
    nextTask_ = 0;
    finished_ = 0;
    ++generation_;
  }
  wake_.notify_all();
  drain(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return finished_ == taskCount_; });
  task_ = nullptr;
  taskCount_ = 0;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ThreadPool::workerLoop(int worker) {
  // Signals from outside go to the main thread, which can hold them off
  // while it puts the run's outputs in place.
  blockOutsideSignals();
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    drain(worker);
  }
}

int defaultThreadCount() {
  if (const char* text = std::getenv("OMP_NUM_THREADS")) {
    const int requested = std::atoi(text);
    if (requested > 0) return requested > 256 ? 256 : requested;
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : static_cast<int>(hardware);
}

}  // namespace zelmor
