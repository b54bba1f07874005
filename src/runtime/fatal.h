// src/runtime: what every stage runs on and nothing in it knows of clustering:
// the thread pool, heap blocks sized in 64-bit arithmetic, and how a run ends
// (exit statuses, the outputs thrown away on a fatal condition or a signal).
// It includes no other folder.
//
// How a run ends when it cannot go on: one message on standard output, then the
// process exits at once with a fixed status. Nothing is released or finished,
// except that the outputs this run was writing are thrown away, so the files
// of an earlier run under the output names stay as they were.
#pragma once

namespace zelmor {

// Exit statuses that scripts around the program rely on.
constexpr int kExitUsage = -2;    // wrong argument count
constexpr int kExitInvalid = -1;  // an argument out of range, or data coverage too low
constexpr int kExitFailure = 1;   // memory, an unreadable or malformed file, a failed write, a busy folder

// Removes the run's pending outputs, flushes standard output and ends the
// process with `status`.
[[noreturn]] void endRun(int status);

// Prints `message` exactly as given (no line end is added), then ends the run
// as endRun does.
[[noreturn]] void fatalExit(const char* message, int status);

// printf-style variant for messages that name a file or a position.
[[noreturn]] void fatalExitf(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace zelmor
