#include "distributed/communicator.h"

#include <algorithm>
#include <new>

#include "runtime/error.h"

namespace zelmor {

namespace {

// Messages go in pieces a count of int can hold.
constexpr int64_t kPieceValues = int64_t{1} << 28;

struct FailureHeader {
  int kind;
  int status;
  int64_t length;
};

}  // namespace

Communicator::Communicator(MPI_Comm comm) : comm_(comm) {
  MPI_Comm_rank(comm_, &rank_);
  MPI_Comm_size(comm_, &size_);
}

void Communicator::agreed(const std::function<void()>& step) const {
  std::exception_ptr failure;
  try {
    step();
  } catch (...) {
    failure = std::current_exception();
  }
  agree(failure);
}

void Communicator::agree(std::exception_ptr failure) const {
  const int mine = failure ? rank_ : size_;
  int firstFailed = size_;
  MPI_Allreduce(&mine, &firstFailed, 1, MPI_INT, MPI_MIN, comm_);
  if (firstFailed == size_) return;
  FailureHeader header{static_cast<int>(ErrorKind::Internal), kExitFailure, 0};
  std::string message;
  if (rank_ == firstFailed) {
    try {
      std::rethrow_exception(failure);
    } catch (const Error& error) {
      header.kind = static_cast<int>(error.kind());
      header.status = error.status();
      message = error.what();
    } catch (const std::bad_alloc&) {
      header.kind = static_cast<int>(ErrorKind::Memory);
      message = "Not enough memory for the working storage of the run!!\n";
    } catch (const std::exception& other) {
      message = formatMessage("Internal error: %s.\n", other.what());
    }
    header.length = static_cast<int64_t>(message.size());
  }
  MPI_Bcast(&header, sizeof header, MPI_BYTE, firstFailed, comm_);
  message.resize(static_cast<size_t>(header.length));
  MPI_Bcast(message.data(), static_cast<int>(header.length), MPI_CHAR, firstFailed, comm_);
  failedTogether_ = true;
  throw Error(static_cast<ErrorKind>(header.kind), message, header.status);
}

void Communicator::sendFloats(const float* values, int64_t count, int to) const {
  for (int64_t at = 0; at < count; at += kPieceValues) {
    MPI_Send(values + at, static_cast<int>(std::min(kPieceValues, count - at)), MPI_FLOAT, to, 0, comm_);
  }
}

void Communicator::receiveFloats(float* values, int64_t count, int from) const {
  for (int64_t at = 0; at < count; at += kPieceValues) {
    MPI_Recv(values + at, static_cast<int>(std::min(kPieceValues, count - at)), MPI_FLOAT, from, 0, comm_,
             MPI_STATUS_IGNORE);
  }
}

void Communicator::broadcastFloats(float* values, int64_t count, int root) const {
  for (int64_t at = 0; at < count; at += kPieceValues) {
    MPI_Bcast(values + at, static_cast<int>(std::min(kPieceValues, count - at)), MPI_FLOAT, root, comm_);
  }
}

void Communicator::broadcastText(std::string& text, int root) const {
  int64_t length = static_cast<int64_t>(text.size());
  MPI_Bcast(&length, 1, MPI_INT64_T, root, comm_);
  text.resize(static_cast<size_t>(length));
  MPI_Bcast(text.data(), static_cast<int>(length), MPI_CHAR, root, comm_);
}

int64_t Communicator::offsetOf(int64_t share, int64_t& total) const {
  int64_t before = 0;
  MPI_Exscan(&share, &before, 1, MPI_INT64_T, MPI_SUM, comm_);
  if (rank_ == 0) before = 0;  // left undefined on the first rank
  total = sum(share);
  return before;
}

int64_t Communicator::sum(int64_t value) const {
  int64_t total = 0;
  MPI_Allreduce(&value, &total, 1, MPI_INT64_T, MPI_SUM, comm_);
  return total;
}

void Communicator::barrier() const { MPI_Barrier(comm_); }

}  // namespace zelmor
