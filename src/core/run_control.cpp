#include "core/run_control.h"

#include <utility>

#include "runtime/error.h"

namespace zelmor {

RunControl::RunControl(int threads, Isa isa, std::function<bool()> stopRequested)
    : pool_(threads > 0 ? std::make_unique<ThreadPool>(threads) : nullptr),
      kernels_(kernelTable(isa)),
      stopRequested_(std::move(stopRequested)) {}

void RunControl::checkStop() const {
  if (stopRequested_ && stopRequested_()) throw Error(ErrorKind::Cancelled, "The run was stopped.\n", kExitFailure);
}

}  // namespace zelmor
