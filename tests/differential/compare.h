// One run case through the plain reference (one thread) and the fast
// configuration at several thread counts, compared byte for byte: exit
// status, console output with the timer lines masked, and the three output
// files, including whether each exists. Cases are stored in, and read back
// from, folders of data.txt, microclus.txt, args.txt and about.txt.
#pragma once

#include <string>
#include <vector>

#include "differential/generator.h"

namespace zelmor::differential {

struct Programs {
  std::string plain;  // zelmor-plain
  std::string fast;   // zelmor
  std::vector<std::string> threads = {"1", "2", "7"};
  int timeoutSeconds = 60;  // per run
};

struct Verdict {
  bool agree = true;
  bool plainTimedOut = false;  // nothing compared: the reference ran too long
  std::string difference;      // the first difference, one line
};

Verdict compareCase(const RunCase& run, const Programs& programs);

// Writes the case into `folder` (created), with `about` as about.txt.
void storeCase(const RunCase& run, const std::string& folder, const std::string& about);
RunCase loadCase(const std::string& folder);

}  // namespace zelmor::differential
