// The run's output files as one set: each is written under a temporary name
// beside the file it replaces (beside a link's target, where the output name
// is a symbolic link), and all of them are put in place together, only once
// the run has succeeded. A run that fails leaves the earlier files exactly as
// they were, and nothing of its own. A lock on the output folder keeps a
// second run from writing there at the same time.
#pragma once

#include <string>
#include <vector>

#include "io/output_target.h"

namespace zelmor {

class OutputSet {
 public:
  // `names` are the output files, relative to the working folder.
  explicit OutputSet(const std::vector<std::string>& names);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Locks the working folder and every folder the outputs are written in,
  // removes what a killed run left there, and chooses the temporary names,
  // whose files the run's writers create. Returns an empty text, or the
  // message for a folder that another run holds; nothing is touched then.
  std::string prepare();

  // Where output `i` is written, in the order of the names.
  const OutputTarget& target(size_t i) const { return entries_[i].target; }

  // Puts every file in place. If one cannot be, the ones already moved are
  // taken back, the earlier files restored and the temporary files removed;
  // the message says what failed. Returns an empty text on success.
  std::string commit();

 private:
  struct Entry {
    OutputTarget target;
    std::string finalPath;  // the output name with its links followed
    std::string folder;     // the folder of finalPath
    std::string base;       // the file name of finalPath
    bool inPlace = false;   // written under its own name (see prepare)
    int moved = 0;          // how commit moved it, for taking it back
  };

  std::string lockFolder(const std::string& folder);
  void removeStaleFiles(const std::string& folder) const;
  bool moveIntoPlace(Entry& entry, std::string& problem) const;
  void takeBack(Entry& entry) const;

  std::vector<Entry> entries_;
  std::vector<int> lockFds_;
};

}  // namespace zelmor
