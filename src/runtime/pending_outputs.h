// The temporary files that a run writes its outputs under until it has
// succeeded. Whatever ends the run before then (a fatal condition on any
// thread, a failed request for memory, a termination signal) removes them, so
// that a failed run leaves the earlier files of the output names as they were
// and nothing of its own behind.
#pragma once

#include <signal.h>

namespace zelmor {

// Adds `path` to the files that discardPendingOutputs() removes. Returns false
// when the path is too long for the table or the table is full; the caller
// must then not create the file.
bool addPendingOutput(const char* path);

// Removes every registered file and empties the table. Async-signal-safe, and
// safe to call more than once or from several threads.
void discardPendingOutputs();

// Empties the table without removing anything: the files are in place.
void forgetPendingOutputs();

// Catches the signals that end a process (from outside, and the crashes of a
// fault), removes the pending outputs, then ends the process by the same
// signal. A signal that the caller's environment ignores stays ignored.
void installDiscardOnSignals();

// Blocks, in the calling thread, the signals that arrive from outside (an
// interrupt, a hang-up, a termination request, ...). Worker threads block them
// for good, so that those signals reach the main thread only; the main thread
// blocks them while it puts the outputs in place. `previous` receives the mask
// before, when not null.
void blockOutsideSignals(sigset_t* previous = nullptr);

}  // namespace zelmor
