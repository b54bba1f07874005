// Reads the points of a data file with several threads: the file is taken in
// chunks of a few MB at most, each chunk is cut at white space into pieces
// that are parsed at the same time while the next chunk is being read, and
// the values are handed out in file order. It accepts and rejects exactly what
// DataFileReader does; on any problem it lets that reader read the file again
// to report the problem with its point and line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zelmor {

struct KernelTable;
class ThreadPool;

// Converts the decimal that starts at `begin` in the forms the data files
// mostly hold (an optional sign, at most 19 digits, an optional point, no
// exponent) straight to the correctly rounded float, and returns where it
// stops. `converted` says whether `value` holds that float; it is false for
// any other form, and for the rare value this shortcut cannot round with
// certainty: those are left to parseFloatToken. Reads nothing at or past `end`.
const char* scanShortDecimal(const char* begin, const char* end, float& value, bool& converted);

// The same conversion one character at a time: the reference that the tests
// hold the eight-digits-at-a-time scanShortDecimal to.
const char* scanShortDecimalScalar(const char* begin, const char* end, float& value, bool& converted);

// True, with `value`, when the whole token [begin, end) is such a decimal.
bool parseShortDecimal(const char* begin, const char* end, float& value);

// Converts the numbers of [begin, end), separated by any white space, each
// exactly as parseFloatToken does, into `values`, which must have room for
// maxNumbers(end - begin) of them. Returns how many there were, or -1 at
// the first token that is not a finite number. `kernels` finds the white space.
int64_t parseNumbers(const char* begin, const char* end, float* values, const KernelTable& kernels);
constexpr int64_t maxNumbers(int64_t bytes) { return (bytes + 1) / 2; }

class ParallelPointReader {
 public:
  static constexpr size_t kDefaultChunkBytes = size_t{2} << 20;
  // The least chunk: far longer than any token a number could be.
  static constexpr size_t kSmallestChunkBytes = size_t{64} << 10;

  // Opens the file; on failure throws an Error with `openFailureMessage`.
  // `chunkBytes` (at least kSmallestChunkBytes) is how much of the file one
  // read takes; two chunks are held at a time.
  ParallelPointReader(const char* path, int32_t d, int32_t N, const char* openFailureMessage, ThreadPool& pool,
                      const KernelTable& kernels, size_t chunkBytes = kDefaultChunkBytes);
  ~ParallelPointReader();
  ParallelPointReader(const ParallelPointReader&) = delete;
  ParallelPointReader& operator=(const ParallelPointReader&) = delete;

  // As DataFileReader::readPoints: up to `maxPoints` points, 0 once all N
  // have been read; a file with fewer or more points, or a bad value, ends
  // the run with DataFileReader's message.
  int64_t readPoints(float* points, int64_t maxPoints);

  // Reads only bytes [begin, end) of the file, which hold the N points given
  // above and nothing else; a file of `filePoints` points in all (what a
  // problem's message is checked against). Called before the first read.
  void setRange(int64_t begin, int64_t end, int32_t filePoints);

  // Runs `action` before a problem of the file is thrown (to discard an
  // output that would otherwise look complete).
  void setBeforeFailure(std::function<void()> action) { beforeFailure_ = std::move(action); }

 private:
  bool valuesLeft();
  bool parseNextChunk();
  size_t fill(char* buffer, size_t carried, bool& endOfFile);
  [[noreturn]] void reportProblem();

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string openFailureMessage_;
  int32_t d_;
  int32_t N_;
  int32_t fileN_;           // points of the whole file
  int64_t bytesLeft_ = -1;  // of the range, -1 without one
  ThreadPool& pool_;
  const KernelTable& kernels_;
  size_t chunkBytes_;
  size_t readBytes_;  // what the next read asks for
  // The chunk being parsed and the one being read behind it.
  std::unique_ptr<char[]> chunk_;
  std::unique_ptr<char[]> nextChunk_;
  size_t filled_ = 0;        // bytes of text in chunk_
  bool started_ = false;     // whether the first chunk has been read
  bool endOfFile_ = false;   // whether chunk_ runs to the end of the file
  bool readFailed_ = false;  // set by fill
  // The values of the last chunk parsed, piece by piece, and the next one
  // to hand out.
  std::unique_ptr<float[]> values_;
  std::vector<int64_t> pieceStart_;
  std::vector<int64_t> pieceCount_;  // -1 where a token is no number
  int64_t piece_ = 0;
  int64_t pieceOffset_ = 0;
  int64_t valuesDelivered_ = 0;
  std::function<void()> beforeFailure_;
};

}  // namespace zelmor
