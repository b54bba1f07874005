// How the library reports a run that cannot go on: an Error carries the
// message exactly as the program prints it (line end included, where it has
// one), what kind of failure it is, and the exit status the program maps it
// to. Everything the run held is released on the way out; only the program
// (src/app) turns an Error into a message and a status.
#pragma once

#include <stdexcept>
#include <string>

namespace zelmor {

// Exit statuses that scripts around the program rely on.
constexpr int kExitUsage = -2;    // wrong argument count
constexpr int kExitInvalid = -1;  // an argument out of range, or data coverage too low
constexpr int kExitFailure = 1;   // memory, an unreadable or malformed file, a failed write, a busy folder

enum class ErrorKind {
  Invalid,      // a setting out of range
  LowCoverage,  // the microclusters account for too little of the data
  Memory,       // a request for memory failed
  Input,        // an input file cannot be opened or read, or is malformed
  Output,       // an output cannot be written
  Internal,     // a fault of the run itself
  Cancelled,    // the caller asked the run to stop
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message, int status)
      : std::runtime_error(message), kind_(kind), status_(status) {}

  ErrorKind kind() const { return kind_; }
  int status() const { return status_; }

 private:
  ErrorKind kind_;
  int status_;
};

// The coverage a low-coverage stop found, with its message.
class LowCoverageError : public Error {
 public:
  LowCoverageError(const std::string& message, double coverage)
      : Error(ErrorKind::LowCoverage, message, kExitInvalid), coverage_(coverage) {}
  double coverage() const { return coverage_; }

 private:
  double coverage_;
};

// printf-style message for an Error.
std::string formatMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zelmor
