#include "io/parallel_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "io/input_files.h"
#include "io/number_scanner.h"
#include "kernels/kernel_table.h"
#include "runtime/error.h"
#include "runtime/thread_pool.h"

namespace zelmor {

namespace {

constexpr int64_t kPieces = 32;
constexpr size_t kFirstReadBytes = size_t{256} << 10;
// Powers of ten that a float holds exactly, and those a double does.
constexpr float kFloatPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr int kExactFloatPower = 10;
constexpr double kDoublePowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kExactDoublePower = 22;
constexpr uint64_t kIntegerPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
// Integers below these are exact floats and exact doubles.
constexpr uint64_t kExactIntegerLimit = uint64_t{1} << 24;
constexpr uint64_t kExactDoubleLimit = uint64_t{1} << 53;
// At most this many digits fit a 64-bit mantissa, and at most this many
// always make an exact double.
constexpr int kMaxDigits = 19;
constexpr int kExactDigits = 15;
constexpr uint64_t kEightDigits = 100000000;
constexpr double kSmallestNormalFloat = 1.17549435082228750797e-38;
constexpr double kLargestFloat = 3.40282346638528859812e+38;
// The 29 bits of a double below a float's precision, and their pattern at a
// point exactly halfway between two floats.
constexpr uint64_t kBitsBelowFloat = (uint64_t{1} << 29) - 1;
constexpr uint64_t kHalfwayBits = uint64_t{1} << 28;

// Eight bytes of text are read as one word only where its first byte is its
// lowest.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr uint64_t kTopBits = 0x8080808080808080;

// The white space of the C locale, one bit per character code.
constexpr uint64_t kSpaceBits = (uint64_t{1} << ' ') | (uint64_t{1} << '\t') | (uint64_t{1} << '\n') |
                                (uint64_t{1} << '\r') | (uint64_t{1} << '\v') | (uint64_t{1} << '\f');

bool isSpace(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code <= ' ' && ((kSpaceBits >> code) & 1) != 0;
}

// `magnitude` with the sign bit set when `negative`, without a branch that
// would guess wrong on about every other value of a data file.
float withSign(float magnitude, bool negative) {
  return std::bit_cast<float>(std::bit_cast<uint32_t>(magnitude) | static_cast<uint32_t>(negative) << 31);
}

// The correctly rounded float of mantissa / 10^fraction, when this shortcut
// can be sure of it.
bool roundDecimal(uint64_t mantissa, int fraction, bool negative, float& value) {
  if (mantissa < kExactIntegerLimit && fraction <= kExactFloatPower) {
    // Both operands are exact floats, so one float division rounds correctly.
    const float magnitude =
        fraction > 0 ? static_cast<float>(mantissa) / kFloatPowersOfTen[fraction] : static_cast<float>(mantissa);
    value = negative ? -magnitude : magnitude;
    return true;
  }
  if (mantissa >= kExactDoubleLimit || fraction > kExactDoublePower) return false;
  // Both operands are exact doubles, so the quotient is the correctly rounded
  // double. Rounding it on to a float gives the correctly rounded float unless
  // it lies exactly halfway between two floats (the halfway points are
  // doubles, so the first rounding can land on one but never cross it); that
  // case, and quotients outside the normal float range, go to the general
  // conversion.
  const double quotient =
      fraction > 0 ? static_cast<double>(mantissa) / kDoublePowersOfTen[fraction] : static_cast<double>(mantissa);
  if (quotient != 0.0 && !(quotient >= kSmallestNormalFloat && quotient <= kLargestFloat)) return false;
  uint64_t bits;
  std::memcpy(&bits, &quotient, sizeof bits);
  if ((bits & kBitsBelowFloat) == kHalfwayBits) return false;
  const float magnitude = static_cast<float>(quotient);
  value = negative ? -magnitude : magnitude;
  return true;
}

// The number of leading bytes of `bytes` that are digits, once '0' has been
// taken from each byte. A byte is a digit when what is left is at most 9:
// then neither it nor it plus 0x76 has its top bit set. Borrows and carries
// run only from a byte to the next one up, so every byte below the first
// that is not a digit is exact, and so is that byte's top bit.
int leadingDigits(uint64_t bytes) { return std::countr_zero((bytes | (bytes + 0x7676767676767676)) & kTopBits) / 8; }

// The number that the first `count` (1 to 8) digit values of `bytes` spell,
// the byte at the lowest address the leading digit. Shifting them to the top
// puts zero digits in front; then neighbouring digits are joined into pairs,
// pairs into fours and fours into eight, each step one multiplication on all
// lanes at once, no lane carrying into the next.
uint64_t digitsValue(uint64_t bytes, int count) {
  bytes <<= 64 - 8 * count;
  bytes = (bytes * 10 + (bytes >> 8)) & 0x00FF00FF00FF00FF;
  bytes = (bytes * 100 + (bytes >> 16)) & 0x0000FFFF0000FFFF;
  return (bytes * 10000 + (bytes >> 32)) & 0xFFFFFFFF;
}

// Converts a decimal (a sign, at most 19 digits, at most one point) one
// character at a time, right up to `end`: the plain form of the conversion,
// which the word-at-a-time one below leaves everything unusual to.
const char* scanDecimalScalar(const char* at, const char* end, float& value, bool& converted) {
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
  converted = roundDecimal(mantissa, std::max(fraction, 0), negative, value);
  return at;
}

// The same for the forms "%f" and "%.9g" write (a sign, 1 to 7 digits,
// maybe a point and up to 15 digits in all) with two or three 64-bit loads
// and no branch on any digit; everything else, and any token that starts too
// close to `end` for its loads (17 bytes, or 25 for three loads), goes the
// scalar way.
[[gnu::always_inline]] inline const char* scanDecimal(const char* begin, const char* end, float& value,
                                                      bool& converted) {
  constexpr int kWord = 8;
  constexpr uint64_t kZeros = 0x3030303030303030;
  if (!kLittleEndian || end - begin < 2 * kWord + 1) return scanDecimalScalar(begin, end, value, converted);
  const bool negative = *begin == '-';
  const char* at = begin + (negative || *begin == '+');
  uint64_t whole;
  std::memcpy(&whole, at, kWord);
  whole -= kZeros;
  const int wholeDigits = leadingDigits(whole);
  if (wholeDigits == 0 || wholeDigits == kWord) return scanDecimalScalar(begin, end, value, converted);
  at += wholeDigits;
  uint64_t mantissa;
  int fraction = 0;
  if (*at != '.') {
    mantissa = digitsValue(whole, wholeDigits);
  } else {
    uint64_t part;
    std::memcpy(&part, at + 1, kWord);
    part -= kZeros;
    fraction = leadingDigits(part);
    if (fraction == kWord) {
      // Eight fraction digits or more, as "%.9g" writes many floats: the
      // rest from a third word, up to kExactDigits digits in all.
      if (end - at < 1 + 2 * kWord) return scanDecimalScalar(begin, end, value, converted);
      uint64_t more;
      std::memcpy(&more, at + 1 + kWord, kWord);
      more -= kZeros;
      const int moreDigits = leadingDigits(more);
      if (wholeDigits + kWord + moreDigits > kExactDigits) return scanDecimalScalar(begin, end, value, converted);
      mantissa = digitsValue(whole, wholeDigits) * kEightDigits + digitsValue(part, kWord);
      if (moreDigits > 0) mantissa = mantissa * kIntegerPowersOfTen[moreDigits] + digitsValue(more, moreDigits);
      fraction += moreDigits;
    } else if (wholeDigits + fraction <= kWord) {
      // The digits on both sides of the point fit one word: one conversion.
      const uint64_t wholeBytes = (uint64_t{1} << 8 * wholeDigits) - 1;
      mantissa = digitsValue((whole & wholeBytes) | part << 8 * wholeDigits, wholeDigits + fraction);
    } else {
      mantissa = digitsValue(whole, wholeDigits) * kIntegerPowersOfTen[fraction] + digitsValue(part, fraction);
    }
    at += 1 + fraction;
  }
  // roundDecimal's double path for every mantissa, which is below 10^15 here
  // and the divisor at most 10^15: both exact doubles, the quotient zero or
  // well inside the normal float range. Its float path would be taken or not
  // by the size of the value, a branch no predictor gets right on real data.
  // A quotient exactly halfway between two floats is left to roundDecimal.
  // (A signed mantissa converts in one instruction.)
  const double quotient = static_cast<double>(static_cast<int64_t>(mantissa)) / kDoublePowersOfTen[fraction];
  uint64_t bits;
  std::memcpy(&bits, &quotient, sizeof bits);
  if ((bits & kBitsBelowFloat) == kHalfwayBits) return scanDecimalScalar(begin, end, value, converted);
  value = withSign(static_cast<float>(quotient), negative);
  converted = true;
  return at;
}

// Converts the token at `at` into `*out` and moves `out` on.
[[gnu::always_inline]] inline bool parseToken(const char* at, const char* end, float*& out) {
  float value;
  bool converted;
  const char* stop = scanDecimal(at, end, value, converted);
  if (!converted || (stop < end && !isSpace(*stop))) {
    // Anything else (an exponent, a long mantissa, no number at all) goes
    // to the general conversion.
    stop = at;
    while (stop < end && !isSpace(*stop)) ++stop;
    if (parseFloatToken(at, stop, value) != ScanStatus::Ok) return false;
  }
  *out++ = value;
  return true;
}

}  // namespace

const char* scanShortDecimal(const char* begin, const char* end, float& value, bool& converted) {
  return scanDecimal(begin, end, value, converted);
}

const char* scanShortDecimalScalar(const char* begin, const char* end, float& value, bool& converted) {
  return scanDecimalScalar(begin, end, value, converted);
}

bool parseShortDecimal(const char* begin, const char* end, float& value) {
  bool converted;
  return scanShortDecimal(begin, end, value, converted) == end && converted;
}

int64_t parseNumbers(const char* begin, const char* end, float* values, const KernelTable& kernels) {
  float* out = values;
  // Tokens are found from a mask of the white space in 64 bytes rather than
  // by stepping through each token: then where the next token starts never
  // waits for the conversion of this one, the conversions of neighbouring
  // tokens overlap in the processor, and the loop over a block's tokens
  // leaves one branch to guess wrong per block instead of one per token.
  constexpr int64_t kBlock = 64;
  const char* block = begin;
  uint64_t spaceBefore = 1;  // the start of the text counts as white space
  for (; kLittleEndian && end - block >= kBlock; block += kBlock) {
    const uint64_t spaces = kernels.spaceMask(block);
    // A token starts at a byte that is not white space after one that is.
    uint64_t starts = ~spaces & ((spaces << 1) | spaceBefore);
    spaceBefore = spaces >> 63;
    for (; starts != 0; starts &= starts - 1) {
      if (!parseToken(block + std::countr_zero(starts), end, out)) return -1;
    }
  }
  bool afterSpace = spaceBefore != 0;
  for (const char* at = block; at < end; ++at) {
    const bool space = isSpace(*at);
    if (!space && afterSpace && !parseToken(at, end, out)) return -1;
    afterSpace = space;
  }
  return out - values;
}

ParallelPointReader::ParallelPointReader(const char* path, int32_t d, int32_t N, const char* openFailureMessage,
                                         ThreadPool& pool, const KernelTable& kernels, size_t chunkBytes)
    : path_(path),
      openFailureMessage_(openFailureMessage),
      d_(d),
      N_(N),
      fileN_(N),
      pool_(pool),
      kernels_(kernels),
      chunkBytes_(std::max(chunkBytes, kSmallestChunkBytes)),
      readBytes_(std::min(chunkBytes_, kFirstReadBytes)) {
  file_ = std::fopen(path, "rb");
  if (file_ == nullptr) throw Error(ErrorKind::Input, openFailureMessage, kExitFailure);
  // Left uninitialised: only what the reads fill is ever looked at.
  chunk_.reset(new char[chunkBytes_]);
  nextChunk_.reset(new char[chunkBytes_]);
  // Room for as many values as the chunk could hold, a little more for the
  // pieces' separate starts; only the pages they fill are ever touched.
  values_.reset(new float[maxNumbers(chunkBytes_) + kPieces]);
  pieceStart_.resize(kPieces);
  pieceCount_.resize(kPieces);
  piece_ = kPieces;  // nothing parsed yet
}

ParallelPointReader::~ParallelPointReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void ParallelPointReader::setRange(int64_t begin, int64_t end, int32_t filePoints) {
  fileN_ = filePoints;
  bytesLeft_ = end - begin;
  if (fseeko(file_, static_cast<off_t>(begin), SEEK_SET) != 0) readFailed_ = true;
}

void ParallelPointReader::reportProblem() {
  if (beforeFailure_) beforeFailure_();
  // The sequential reader finds the same problem and names its place.
  DataFileReader reader(path_.c_str(), d_, fileN_, openFailureMessage_.c_str());
  std::vector<float> point(static_cast<size_t>(d_));
  while (reader.readPoints(point.data(), 1) == 1) {
  }
  throw Error(ErrorKind::Input,
              formatMessage("Error in datafile %s: it changed while it was being read.\n", path_.c_str()),
              kExitFailure);
}

size_t ParallelPointReader::fill(char* buffer, size_t carried, bool& endOfFile) {
  size_t wanted = std::min(readBytes_, chunkBytes_ - carried);
  if (bytesLeft_ >= 0) wanted = std::min(wanted, static_cast<size_t>(bytesLeft_));
  const size_t got = wanted == 0 ? 0 : std::fread(buffer + carried, 1, wanted, file_);
  // A read that fails part-way returns what it got: never take it for the end.
  if (std::ferror(file_)) readFailed_ = true;
  endOfFile = got < wanted;
  if (bytesLeft_ >= 0) {
    bytesLeft_ -= static_cast<int64_t>(got);
    endOfFile = endOfFile || bytesLeft_ == 0;
  }
  // The first read is small, as nothing runs beside it; each later one
  // overlaps the parsing of the chunk before, and may take twice as much.
  readBytes_ = std::min(2 * readBytes_, chunkBytes_);
  return carried + got;
}

bool ParallelPointReader::parseNextChunk() {
  if (!started_) {
    started_ = true;
    filled_ = fill(chunk_.get(), 0, endOfFile_);
  }
  if (readFailed_) reportProblem();
  if (filled_ == 0) return false;
  const char* text = chunk_.get();
  // The tail after the last white space may be the start of a token that the
  // next read completes: it moves to the front of the next chunk. A chunk
  // that does not end the file holds at least kSmallestChunkBytes.
  size_t cut = filled_;
  if (!endOfFile_) {
    while (cut > 0 && !isSpace(text[cut - 1])) --cut;
    if (cut == 0) reportProblem();  // a token that long is no number
  }
  const size_t carried = filled_ - cut;
  std::memcpy(nextChunk_.get(), text + cut, carried);
  // Cut the chunk at white space into pieces parsed side by side.
  std::vector<size_t> bounds{0};
  for (int64_t p = 1; p < kPieces; ++p) {
    size_t at = std::max(bounds.back(), cut * p / kPieces);
    while (at < cut && !isSpace(text[at])) ++at;
    bounds.push_back(at);
  }
  bounds.push_back(cut);
  // One more task reads the next chunk meanwhile (the file is touched by
  // this one task only), so that reading holds up no other thread.
  const int64_t readTasks = endOfFile_ ? 0 : 1;
  size_t nextFilled = 0;
  bool nextEndOfFile = true;
  pool_.run(readTasks + kPieces, [&](int64_t task, int) {
    if (task < readTasks) {
      nextFilled = fill(nextChunk_.get(), carried, nextEndOfFile);
      return;
    }
    // Piece p's values go to bounds[p] / 2 + p: with at most one value for
    // every two bytes, no piece reaches the next one's values.
    const int64_t p = task - readTasks;
    pieceStart_[p] = static_cast<int64_t>(bounds[p] / 2) + p;
    pieceCount_[p] = parseNumbers(text + bounds[p], text + bounds[p + 1], values_.get() + pieceStart_[p], kernels_);
  });
  for (int64_t p = 0; p < kPieces; ++p) {
    if (pieceCount_[p] < 0) reportProblem();
  }
  std::swap(chunk_, nextChunk_);
  filled_ = nextFilled;
  endOfFile_ = nextEndOfFile;
  piece_ = 0;
  pieceOffset_ = 0;
  return true;
}

// Moves on to the next value not yet handed out, parsing chunks as needed;
// false once the file holds no more.
bool ParallelPointReader::valuesLeft() {
  for (;;) {
    for (; piece_ < kPieces; ++piece_, pieceOffset_ = 0) {
      if (pieceOffset_ < pieceCount_[piece_]) return true;
    }
    if (!parseNextChunk()) return false;
  }
}

int64_t ParallelPointReader::readPoints(float* points, int64_t maxPoints) {
  const int64_t total = int64_t{N_} * d_;
  const int64_t wanted = std::min(maxPoints * d_, total - valuesDelivered_);
  int64_t copied = 0;
  while (copied < wanted) {
    if (!valuesLeft()) reportProblem();  // too few points
    const int64_t take = std::min(wanted - copied, pieceCount_[piece_] - pieceOffset_);
    std::copy_n(values_.get() + pieceStart_[piece_] + pieceOffset_, take, points + copied);
    pieceOffset_ += take;
    copied += take;
  }
  valuesDelivered_ += copied;
  // Nothing but white space may follow the last point.
  if (valuesDelivered_ == total && copied > 0 && valuesLeft()) reportProblem();
  return copied / d_;
}

}  // namespace zelmor
