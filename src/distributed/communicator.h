// src/distributed: one run shared by several MPI processes ("ranks"), each
// over a contiguous range of the points, giving the bytes a lone run gives.
// Every sum of the run adds its terms in point order, so the ranks never
// reduce partial sums: rank r goes on with the running sums rank r-1 hands it.
//
// The communicator of a shared run: who this process is, and how the ranks
// agree on a failure so that none of them waits for one that has stopped.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace zelmor {

class Communicator {
 public:
  explicit Communicator(MPI_Comm comm);
  int rank() const { return rank_; }
  int size() const { return size_; }
  bool first() const { return rank_ == 0; }
  bool last() const { return rank_ == size_ - 1; }
  MPI_Comm comm() const { return comm_; }

  // Runs `step` on every rank. Where it throws on any rank, every rank
  // throws the zelmor::Error of the lowest such rank (a failed request for
  // memory as the working storage's message).
  void agreed(const std::function<void()>& step) const;

  void sendFloats(const float* values, int64_t count, int to) const;
  void receiveFloats(float* values, int64_t count, int from) const;
  // Every rank gets `values` as rank `root` holds them.
  void broadcastFloats(float* values, int64_t count, int root) const;
  void broadcastText(std::string& text, int root) const;
  // Where this rank's share starts when the ranks' shares are laid one
  // after the other, in rank order; `total` gets the sum of all of them.
  int64_t offsetOf(int64_t share, int64_t& total) const;
  int64_t sum(int64_t value) const;
  void barrier() const;

  // Whether this rank's failure is one every rank shares: an agreed step's,
  // or one all ranks reach alike from the same shared values. A failure that
  // is not cannot end the run cleanly: the other ranks may wait for this one.
  bool failedTogether() const { return failedTogether_; }
  void noteSharedFailure() const { failedTogether_ = true; }

 private:
  void agree(std::exception_ptr failure) const;

  MPI_Comm comm_;
  int rank_ = 0;
  int size_ = 1;
  mutable bool failedTogether_ = false;
};

}  // namespace zelmor
