// A small pool of worker threads for the data-parallel stages of a run. Work is
// handed out as numbered tasks; which thread runs a task never changes a
// result, because every task writes only its own outputs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zelmor {

class ThreadPool {
 public:
  // threads <= 1 runs every task on the calling thread.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int threadCount() const { return static_cast<int>(workers_.size()) + 1; }

  // Runs task(i, worker) for i = 0..taskCount-1 and returns when all are done.
  // `worker` (0..threadCount()-1) names the thread, for per-thread scratch.
  // A task that throws stops the handing out of tasks; once the running ones
  // are done, the first exception is rethrown here.
  void run(int64_t taskCount, const std::function<void(int64_t task, int worker)>& task);

 private:
  void workerLoop(int worker);
  void drain(int worker);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(int64_t, int)>* task_ = nullptr;
  int64_t taskCount_ = 0;
  int64_t nextTask_ = 0;
  int64_t finished_ = 0;
  uint64_t generation_ = 0;
  std::exception_ptr failure_;
  bool stopping_ = false;
};

// Threads for this run: OMP_NUM_THREADS when it is set to a positive number,
// otherwise the machine's hardware threads.
int defaultThreadCount();

}  // namespace zelmor
