#include "runtime/fatal.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "runtime/pending_outputs.h"

namespace zelmor {

void endRun(int status) {
  // A signal from outside must not cut the clean-up short.
  sigset_t previous;
  blockOutsideSignals(&previous);
  discardPendingOutputs();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::fflush(stdout);
  std::exit(status);
}

void fatalExit(const char* message, int status) {
  std::fputs(message, stdout);
  endRun(status);
}

void fatalExitf(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  endRun(status);
}

}  // namespace zelmor
