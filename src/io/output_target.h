// Where a run writes each of its output files while it lasts, and the name
// that its messages give the file.
#pragma once

#include <string>

namespace zelmor {

struct OutputTarget {
  std::string name;  // the name the user gave or knows ("output_em.txt")
  std::string path;  // where the run writes it: a temporary file, put in place at the end
};

struct RunOutputs {
  OutputTarget membership;
  OutputTarget expansion;
  OutputTarget em;
};

}  // namespace zelmor
