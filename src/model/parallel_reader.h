// Reads the points of a data file with several threads: the file is taken in
// large chunks, each chunk is cut at white space into pieces that are parsed
// at the same time, and the values are handed out in file order. It accepts
// and rejects exactly what DataFileReader does; on any problem it lets that
// reader read the file again to report the problem with its point and line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zelmor {

class ThreadPool;

// Parses the decimal forms the data files mostly hold (an optional sign,
// at most 19 digits, an optional point, no exponent) straight to the
// correctly rounded float. Returns false for any other token, and for the
// rare value it cannot round with certainty; those go to parseFloatToken.
bool parseShortDecimal(const char* begin, const char* end, float& value);

class ParallelPointReader {
 public:
  // Opens the file; on failure prints `openFailureMessage` and ends the run.
  ParallelPointReader(const char* path, int32_t d, int32_t N, const char* openFailureMessage, ThreadPool& pool);
  ~ParallelPointReader();
  ParallelPointReader(const ParallelPointReader&) = delete;
  ParallelPointReader& operator=(const ParallelPointReader&) = delete;

  // As DataFileReader::readPoints: up to `maxPoints` points, 0 once all N
  // have been read; a file with fewer or more points, or a bad value, ends
  // the run with DataFileReader's message.
  int64_t readPoints(float* points, int64_t maxPoints);

  // Runs `action` before a problem of the file ends the run (to discard an
  // output that would otherwise look complete).
  void setBeforeFailure(std::function<void()> action) { beforeFailure_ = std::move(action); }

 private:
  bool parseNextChunk();
  [[noreturn]] void reportProblem();

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string openFailureMessage_;
  int32_t d_;
  int32_t N_;
  ThreadPool& pool_;
  std::vector<char> bytes_;
  size_t carried_ = 0;
  bool endOfFile_ = false;
  std::vector<float> values_;
  size_t nextValue_ = 0;
  int64_t valuesDelivered_ = 0;
  std::vector<std::vector<float>> pieces_;
  std::vector<uint8_t> pieceFailed_;
  std::function<void()> beforeFailure_;
};

}  // namespace zelmor
