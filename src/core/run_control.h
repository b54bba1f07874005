// What every stage of one run shares: its worker threads (none where the
// plain kernels run on the calling thread), the table of vector kernels of
// its instruction set, and the caller's wish to stop.
#pragma once

#include <functional>
#include <memory>

#include "kernels/kernel_table.h"
#include "runtime/thread_pool.h"

namespace zelmor {

class RunControl {
 public:
  // `threads` workers (at least 1), or none with `threads` 0.
  // `stopRequested` may be empty.
  RunControl(int threads, Isa isa, std::function<bool()> stopRequested);

  // The workers, or null.
  ThreadPool* pool() const { return pool_.get(); }
  const KernelTable& kernels() const { return kernels_; }
  // Throws an Error of kind Cancelled when the caller asked the run to stop;
  // called on the calling thread between pieces of work.
  void checkStop() const;

 private:
  std::unique_ptr<ThreadPool> pool_;
  const KernelTable& kernels_;
  std::function<bool()> stopRequested_;
};

}  // namespace zelmor
