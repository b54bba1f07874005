#include "model/parallel_reader.h"

#include <algorithm>
#include <cstring>

#include "model/fatal.h"
#include "model/input_files.h"
#include "model/number_scanner.h"
#include "model/thread_pool.h"

namespace zelmor {

namespace {

constexpr size_t kChunkBytes = size_t{8} << 20;
constexpr int64_t kPieces = 16;
// No number in a data file is anywhere near this long.
constexpr size_t kLongestToken = size_t{1} << 16;
// Powers of ten that a float holds exactly, and those a double does.
constexpr float kFloatPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr int kExactFloatPower = 10;
constexpr double kDoublePowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kExactDoublePower = 22;
// Integers below these are exact floats and exact doubles.
constexpr uint64_t kExactIntegerLimit = uint64_t{1} << 24;
constexpr uint64_t kExactDoubleLimit = uint64_t{1} << 53;
constexpr int kMaxDigits = 19;
constexpr double kSmallestNormalFloat = 1.17549435082228750797e-38;
constexpr double kLargestFloat = 3.40282346638528859812e+38;
// The 29 bits of a double below a float's precision, and their pattern at a
// point exactly halfway between two floats.
constexpr uint64_t kBitsBelowFloat = (uint64_t{1} << 29) - 1;
constexpr uint64_t kHalfwayBits = uint64_t{1} << 28;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Converts the decimal that starts at `at` (a sign, digits, at most one
// point) and returns where it stops. `converted` says whether `value` holds
// its correctly rounded float; it is false for forms this shortcut leaves to
// the general conversion.
const char* scanDecimal(const char* at, const char* end, float& value, bool& converted) {
  converted = false;
  bool negative = false;
  if (at < end && (*at == '-' || *at == '+')) negative = *at++ == '-';
  uint64_t mantissa = 0;
  int digits = 0;
  int fraction = -1;  // digits after the point, once a point has been seen
  for (; at < end; ++at) {
    const char c = *at;
    if (c >= '0' && c <= '9') {
      if (++digits > kMaxDigits) return at;
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
      if (fraction >= 0) ++fraction;
    } else if (c == '.' && fraction < 0) {
      fraction = 0;
    } else {
      break;
    }
  }
  if (digits == 0) return at;
  if (mantissa < kExactIntegerLimit && fraction <= kExactFloatPower) {
    // Both operands are exact floats, so one float division rounds correctly.
    const float magnitude = fraction > 0 ? static_cast<float>(mantissa) / kFloatPowersOfTen[fraction]
                                         : static_cast<float>(mantissa);
    value = negative ? -magnitude : magnitude;
    converted = true;
    return at;
  }
  if (mantissa >= kExactDoubleLimit || fraction > kExactDoublePower) return at;
  // Both operands are exact doubles, so the quotient is the correctly rounded
  // double. Rounding it on to a float gives the correctly rounded float unless
  // it lies exactly halfway between two floats; that case, and quotients
  // outside the normal float range, go to the general conversion.
  const double quotient = fraction > 0 ? static_cast<double>(mantissa) / kDoublePowersOfTen[fraction]
                                       : static_cast<double>(mantissa);
  if (quotient != 0.0 && !(quotient >= kSmallestNormalFloat && quotient <= kLargestFloat)) return at;
  uint64_t bits;
  std::memcpy(&bits, &quotient, sizeof bits);
  if ((bits & kBitsBelowFloat) == kHalfwayBits) return at;
  const float magnitude = static_cast<float>(quotient);
  value = negative ? -magnitude : magnitude;
  converted = true;
  return at;
}

// Parses the tokens of [begin, end) into `out`; false at the first token
// that is not a finite number.
bool parsePiece(const char* begin, const char* end, std::vector<float>& out) {
  const char* at = begin;
  for (;;) {
    while (at < end && isSpace(*at)) ++at;
    if (at == end) return true;
    float value;
    bool converted;
    const char* stop = scanDecimal(at, end, value, converted);
    if (!converted || (stop < end && !isSpace(*stop))) {
      // Anything else (an exponent, a long mantissa, no number at all) goes
      // to the general conversion, token by token.
      stop = at;
      while (stop < end && !isSpace(*stop)) ++stop;
      if (parseFloatToken(at, stop, value) != ScanStatus::Ok) return false;
    }
    out.push_back(value);
    at = stop;
  }
}

}  // namespace

bool parseShortDecimal(const char* begin, const char* end, float& value) {
  bool converted;
  return scanDecimal(begin, end, value, converted) == end && converted;
}

ParallelPointReader::ParallelPointReader(const char* path, int32_t d, int32_t N, const char* openFailureMessage,
                                         ThreadPool& pool)
    : path_(path), openFailureMessage_(openFailureMessage), d_(d), N_(N), pool_(pool) {
  file_ = std::fopen(path, "rb");
  if (file_ == nullptr) fatalExit(openFailureMessage, kExitFailure);
  bytes_.resize(kChunkBytes);
  pieces_.resize(kPieces);
  pieceFailed_.resize(kPieces);
}

ParallelPointReader::~ParallelPointReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void ParallelPointReader::reportProblem() {
  if (beforeFailure_) beforeFailure_();
  // The sequential reader finds the same problem and names its place.
  DataFileReader reader(path_.c_str(), d_, N_, openFailureMessage_.c_str());
  std::vector<float> point(static_cast<size_t>(d_));
  while (reader.readPoints(point.data(), 1) == 1) {
  }
  fatalExitf(kExitFailure, "Error in datafile %s: it changed while it was being read.\n", path_.c_str());
}

bool ParallelPointReader::parseNextChunk() {
  if (endOfFile_ && carried_ == 0) return false;
  size_t size = carried_;
  if (!endOfFile_) {
    if (size == bytes_.size()) bytes_.resize(bytes_.size() * 2);
    const size_t got = std::fread(bytes_.data() + size, 1, bytes_.size() - size, file_);
    // A read that fails part-way returns what it got: never take it for the end.
    if (std::ferror(file_)) reportProblem();
    size += got;
    if (size < bytes_.size()) endOfFile_ = true;
  }
  // The tail after the last white space may be the start of a token that the
  // next read completes.
  size_t cut = size;
  if (!endOfFile_) {
    while (cut > 0 && !isSpace(bytes_[cut - 1])) --cut;
    if (cut == 0) {
      if (size > kLongestToken) reportProblem();
      carried_ = size;  // one token fills the chunk: read on
      return true;
    }
  }
  // Cut the chunk at white space into pieces parsed side by side.
  std::vector<size_t> bounds{0};
  for (int64_t p = 1; p < kPieces; ++p) {
    size_t at = std::max(bounds.back(), cut * p / kPieces);
    while (at < cut && !isSpace(bytes_[at])) ++at;
    bounds.push_back(at);
  }
  bounds.push_back(cut);
  pool_.run(kPieces, [&](int64_t p, int) {
    pieces_[p].clear();
    pieceFailed_[p] = !parsePiece(bytes_.data() + bounds[p], bytes_.data() + bounds[p + 1], pieces_[p]);
  });
  for (int64_t p = 0; p < kPieces; ++p) {
    if (pieceFailed_[p]) reportProblem();
  }
  values_.erase(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(nextValue_));
  nextValue_ = 0;
  for (const auto& piece : pieces_) values_.insert(values_.end(), piece.begin(), piece.end());
  carried_ = size - cut;
  std::memmove(bytes_.data(), bytes_.data() + cut, carried_);
  return true;
}

int64_t ParallelPointReader::readPoints(float* points, int64_t maxPoints) {
  const int64_t total = int64_t{N_} * d_;
  const int64_t wanted = std::min(maxPoints * d_, total - valuesDelivered_);
  int64_t copied = 0;
  while (copied < wanted) {
    if (nextValue_ == values_.size() && !parseNextChunk()) reportProblem();  // too few points
    const int64_t take = std::min<int64_t>(wanted - copied, static_cast<int64_t>(values_.size() - nextValue_));
    std::copy_n(values_.begin() + static_cast<std::ptrdiff_t>(nextValue_), take, points + copied);
    nextValue_ += static_cast<size_t>(take);
    copied += take;
  }
  valuesDelivered_ += copied;
  if (valuesDelivered_ == total && copied > 0) {
    // Nothing but white space may follow the last point.
    while (nextValue_ == values_.size() && parseNextChunk()) {
    }
    if (nextValue_ != values_.size()) reportProblem();
  }
  return copied / d_;
}

}  // namespace zelmor
