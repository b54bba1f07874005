#include "model/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace zelmor {

void fatalExit(const char* message, int status) {
  std::fputs(message, stdout);
  std::fflush(stdout);
  std::exit(status);
}

void fatalExitf(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
  std::exit(status);
}

}  // namespace zelmor
