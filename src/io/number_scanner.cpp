#include "io/number_scanner.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace zelmor {

namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;
// A token longer than this is no number a file of reals would hold.
constexpr size_t kMaxTokenLength = 4096;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

ScanStatus parseFloatToken(const char* begin, const char* end, float& value) {
  const size_t length = static_cast<size_t>(end - begin);
  if (length == 0 || length > kMaxTokenLength) return ScanStatus::NotNumber;
  // from_chars takes no leading '+', which the C conversion accepts.
  const char* digits = begin;
  if (*digits == '+') {
    ++digits;
    if (digits == end || *digits == '-' || *digits == '+') return ScanStatus::NotNumber;
  }
  float parsed = 0.0f;
  const auto result = std::from_chars(digits, end, parsed, std::chars_format::general);
  if (result.ec == std::errc() && result.ptr == end) {
    // "inf" and "nan" would poison every sum they touch.
    if (!std::isfinite(parsed)) return ScanStatus::NotFinite;
    value = parsed;
    return ScanStatus::Ok;
  }
  // Forms from_chars leaves to the C library: values beyond the float range
  // (which strtof rounds to zero or infinity), hexadecimal reals, inf and nan.
  char text[kMaxTokenLength + 1];
  std::memcpy(text, begin, length);
  text[length] = '\0';
  char* stop = nullptr;
  const float converted = std::strtof(text, &stop);
  if (stop != text + length) return ScanStatus::NotNumber;
  if (!std::isfinite(converted)) return ScanStatus::NotFinite;
  value = converted;
  return ScanStatus::Ok;
}

NumberScanner::~NumberScanner() { close(); }

bool NumberScanner::open(const char* path) {
  close();
  file_ = std::fopen(path, "rb");
  if (file_ == nullptr) return false;
  buffer_.resize(kChunkBytes);
  pos_ = size_ = 0;
  eof_ = false;
  readError_ = 0;
  line_ = tokenLine_ = 1;
  return true;
}

void NumberScanner::openText(std::string text) {
  close();
  buffer_.assign(text.begin(), text.end());
  pos_ = 0;
  size_ = buffer_.size();
  eof_ = true;
  readError_ = 0;
  line_ = tokenLine_ = 1;
}

void NumberScanner::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

// Moves the unread tail to the front and reads more behind it. False when
// nothing more can be read: at the end of the file, or when reading fails (a
// path that names a directory opens, but cannot be read), which is recorded
// so that it is never taken for the end of the file.
bool NumberScanner::refill() {
  if (eof_ || file_ == nullptr) return false;
  const size_t tail = size_ - pos_;
  if (tail > 0 && pos_ > 0) std::memmove(buffer_.data(), buffer_.data() + pos_, tail);
  pos_ = 0;
  size_ = tail;
  if (size_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  errno = 0;
  const size_t got = std::fread(buffer_.data() + size_, 1, buffer_.size() - size_, file_);
  size_ += got;
  if (got == 0) {
    eof_ = true;
    if (std::ferror(file_) != 0) readError_ = errno != 0 ? errno : EIO;
  }
  return got > 0;
}

bool NumberScanner::skipSpace() {
  for (;;) {
    while (pos_ < size_ && isSpace(buffer_[pos_])) {
      if (buffer_[pos_] == '\n') ++line_;
      ++pos_;
    }
    if (pos_ < size_) return true;
    if (!refill()) return false;
  }
}

bool NumberScanner::atEnd() {
  const bool more = skipSpace();
  if (more) tokenLine_ = line_;
  return !more && readError_ == 0;
}

ScanStatus NumberScanner::next(float& value) { return scan(value, false); }

ScanStatus NumberScanner::nextAnyReal(float& value) { return scan(value, true); }

ScanStatus NumberScanner::scan(float& value, bool allowNonFinite) {
  // At the end, line() keeps naming the line of the last token.
  if (!skipSpace()) return readError_ != 0 ? ScanStatus::ReadError : ScanStatus::End;
  tokenLine_ = line_;
  size_t end = pos_;
  for (;;) {
    while (end < size_ && !isSpace(buffer_[end])) ++end;
    if (end < size_ || eof_ || file_ == nullptr) break;
    if (end - pos_ > kMaxTokenLength) break;
    const size_t offset = end - pos_;
    const bool more = refill();  // moves the token to the front of the buffer
    end = pos_ + offset;
    if (!more) break;
  }
  // A token cut short by a failed read is not a number of the file.
  if (readError_ != 0 && end == size_) return ScanStatus::ReadError;
  const char* begin = buffer_.data() + pos_;
  ScanStatus status = parseFloatToken(begin, buffer_.data() + end, value);
  if (status == ScanStatus::NotFinite && allowNonFinite) {
    // parseFloatToken has accepted the token's form; the C conversion gives
    // its value (an infinity for a value beyond the float range).
    const std::string text(begin, end - pos_);
    value = std::strtof(text.c_str(), nullptr);
    status = ScanStatus::Ok;
  }
  if (status != ScanStatus::Ok) {
    const size_t shown = std::min<size_t>(end - pos_, 40);
    token_.assign(begin, shown);
    if (shown < end - pos_) token_ += "...";
  }
  pos_ = end;
  return status;
}

}  // namespace zelmor
