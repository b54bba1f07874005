// src/io: the text files and the points of a run. Scanners and readers of
// the input files (also used by the companion tools), the point sources a run
// passes over (a text file, or a matrix in memory), the writer and number
// format of the output files, and the set of output files that a run puts in
// place only once it has succeeded. It knows nothing of the model; it builds
// on src/runtime and on the white-space kernel of src/kernels.
//
// Reads the reals of the input text files one token at a time. Any run of
// white space (blanks, tabs, line ends of either kind) separates values, as in
// the files' scan formats. A token must be one whole decimal number that a
// 32-bit float can hold: anything else is reported, never skipped or guessed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zelmor {

enum class ScanStatus {
  Ok,         // a value was read
  End,        // only white space remained
  NotNumber,  // the token is not a decimal number
  NotFinite,  // the token is infinite or not a number ("inf", "nan", 1e99)
  ReadError,  // the file could not be read on (a directory, an I/O error)
};

// Converts the whole token [begin, end) as the C library's "%f" conversion
// would (correctly rounded to float). Rejects partial numbers and non-finite
// values.
ScanStatus parseFloatToken(const char* begin, const char* end, float& value);

class NumberScanner {
 public:
  NumberScanner() = default;
  ~NumberScanner();
  NumberScanner(const NumberScanner&) = delete;
  NumberScanner& operator=(const NumberScanner&) = delete;

  // Opens a file for reading; false if it cannot be opened.
  bool open(const char* path);
  // Scans text held in memory (tests, fuzzing).
  void openText(std::string text);
  void close();

  // Reads the next value. On NotNumber or NotFinite, token() and line() say
  // what was found and where; on ReadError, readError() says why.
  ScanStatus next(float& value);
  // Like next, but a token that is a number beyond the float range, an
  // infinity or a not-a-number is read as the C conversion reads it (the
  // result infinite or not a number) instead of being refused.
  ScanStatus nextAnyReal(float& value);
  // True when nothing but white space is left and the input was read to its
  // end without a read error.
  bool atEnd();
  // The error number of a failed read, 0 while none has failed.
  int readError() const { return readError_; }

  const std::string& token() const { return token_; }
  // 1-based line of the last token read (at the end of input: of the last
  // token there was).
  int64_t line() const { return tokenLine_; }

 private:
  bool refill();
  bool skipSpace();
  ScanStatus scan(float& value, bool allowNonFinite);

  std::FILE* file_ = nullptr;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t size_ = 0;
  bool eof_ = false;
  int readError_ = 0;
  int64_t line_ = 1;
  int64_t tokenLine_ = 1;
  std::string token_;
};

}  // namespace zelmor
