#include "runtime/pending_outputs.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace zelmor {

namespace {

constexpr int kMaxPending = 8;

// Process-wide by necessity: a signal handler and an exit on any thread must
// find the paths without asking anyone, so they lie in fixed storage, and
// the count is published only after the path it covers is complete.
char pendingPaths[kMaxPending][PATH_MAX];
std::atomic<int> pendingCount{0};

// Signals that arrive from outside the process and end it by default.
constexpr int kOutsideSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU};

// Signals of a fault inside the process. Builds with a sanitizer leave them to
// the sanitizer's own report.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kFaultSignals[] = {SIGABRT};
#else
constexpr int kFaultSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
#endif

void outsideSignalSet(sigset_t& set) {
  sigemptyset(&set);
  for (const int signal : kOutsideSignals) sigaddset(&set, signal);
}

void onEndingSignal(int signal) {
  // unlink may set errno; a runtime that delays the signal (a sanitizer's)
  // returns here, to code that may still read it.
  const int savedErrno = errno;
  discardPendingOutputs();
  // The handler was installed to reset itself and not to defer the signal:
  // raised again, it takes its default action at once.
  raise(signal);
  errno = savedErrno;
}

void catchSignal(int signal) {
  struct sigaction previous {};
  if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = onEndingSignal;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  // No other caught signal interrupts the clean-up half-way.
  outsideSignalSet(action.sa_mask);
  sigaction(signal, &action, nullptr);
}

}  // namespace

bool addPendingOutput(const char* path) {
  const size_t length = std::strlen(path);
  const int slot = pendingCount.load();
  if (length >= PATH_MAX || slot >= kMaxPending) return false;
  std::memcpy(pendingPaths[slot], path, length + 1);
  pendingCount.store(slot + 1);
  return true;
}

void discardPendingOutputs() {
  // The table is emptied only afterwards: a signal or another thread that
  // comes in half-way removes all of them too, not none.
  const int count = pendingCount.load();
  for (int i = 0; i < count; ++i) unlink(pendingPaths[i]);
  pendingCount.store(0);
}

void forgetPendingOutputs() { pendingCount.store(0); }

void installDiscardOnSignals() {
  for (const int signal : kOutsideSignals) catchSignal(signal);
  for (const int signal : kFaultSignals) catchSignal(signal);
}

void blockOutsideSignals(sigset_t* previous) {
  sigset_t set;
  outsideSignalSet(set);
  pthread_sigmask(SIG_BLOCK, &set, previous);
}

}  // namespace zelmor
