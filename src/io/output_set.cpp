#include "io/output_set.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/pending_outputs.h"

namespace zelmor {

namespace {

constexpr int kMaxLinkHops = 40;

// How commit moved an entry, which says how to take it back.
enum Moved { kNotMoved = 0, kExchanged, kCreated, kReplaced };

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder == ".") return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Follows the symbolic links that `path` names, relative links from the
// folder of the link. False when they do not end (a loop, or too many).
bool followLinks(std::string& path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0) return true;  // not a link (or nothing there): the end
    if (static_cast<size_t>(length) >= sizeof target) return false;
    target[length] = '\0';
    path = target[0] == '/' ? std::string(target) : joinPath(folderOf(path), target);
  }
  return false;
}

std::string shownFolder(const std::string& folder) {
  std::unique_ptr<char, decltype(&std::free)> absolute(realpath(folder.c_str(), nullptr), &std::free);
  return absolute ? std::string(absolute.get()) : folder;
}

bool renameUnsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// The name of a temporary output: ".BASE.PID.tmp" beside BASE.
std::string temporaryOutputName(const std::string& base, long pid) {
  return "." + base + "." + std::to_string(pid) + ".tmp";
}

// Whether `fileName` is a temporary output of BASE left by some run.
bool isTemporaryOutputName(const std::string& fileName, const std::string& base) {
  const std::string head = "." + base + ".";
  const std::string tail = ".tmp";
  if (fileName.size() <= head.size() + tail.size()) return false;
  if (fileName.compare(0, head.size(), head) != 0) return false;
  if (fileName.compare(fileName.size() - tail.size(), tail.size(), tail) != 0) return false;
  for (size_t i = head.size(); i < fileName.size() - tail.size(); ++i) {
    if (fileName[i] < '0' || fileName[i] > '9') return false;
  }
  return true;
}

}  // namespace

OutputSet::OutputSet(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    Entry entry;
    entry.target.name = name;
    entry.target.path = name;
    entries_.push_back(entry);
  }
}

OutputSet::~OutputSet() {
  for (const int fd : lockFds_) close(fd);
}

std::string OutputSet::prepare() {
  for (Entry& entry : entries_) {
    entry.finalPath = entry.target.name;
    const bool resolved = followLinks(entry.finalPath);
    entry.folder = folderOf(entry.finalPath);
    entry.base = baseOf(entry.finalPath);
    // A device, a pipe or a folder cannot be replaced by a file, and a file
    // this user may not write must not be: those are written (or fail to
    // open) under their own name, as they always were.
    struct stat existing {};
    const bool exists = stat(entry.finalPath.c_str(), &existing) == 0;
    entry.inPlace =
        !resolved ||
        (exists && (!S_ISREG(existing.st_mode) || faccessat(AT_FDCWD, entry.finalPath.c_str(), W_OK, AT_EACCESS) != 0));
  }
  std::string problem = lockFolder(".");
  for (const Entry& entry : entries_) {
    if (problem.empty() && !entry.inPlace) problem = lockFolder(entry.folder);
  }
  if (!problem.empty()) return problem;

  std::vector<std::string> cleaned;
  for (Entry& entry : entries_) {
    if (entry.inPlace) continue;
    if (std::find(cleaned.begin(), cleaned.end(), entry.folder) == cleaned.end()) {
      removeStaleFiles(entry.folder);
      cleaned.push_back(entry.folder);
    }
    entry.target.path = joinPath(entry.folder, temporaryOutputName(entry.base, static_cast<long>(getpid())));
    if (!addPendingOutput(entry.target.path.c_str())) {
      return "Error: the temporary name " + entry.target.path + " of " + entry.target.name + " is too long.\n";
    }
  }
  installDiscardOnSignals();
  return "";
}

// The lock is taken on the folder itself, which creates no file; the system
// releases it when the process ends, however it ends.
std::string OutputSet::lockFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return "";  // a folder that cannot be read cannot be locked; its files still fail or succeed alone
  struct stat opened {};
  fstat(fd, &opened);
  for (const int held : lockFds_) {
    struct stat other {};
    if (fstat(held, &other) == 0 && other.st_dev == opened.st_dev && other.st_ino == opened.st_ino) {
      close(fd);
      return "";
    }
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return "Error: another run is writing its output files in " + shownFolder(folder) +
           "; this run stops and leaves the folder as it is.\n";
  }
  lockFds_.push_back(fd);
  return "";
}

// A run killed outright (SIGKILL, a power cut) cannot remove its temporary
// files. They are removed here, at the next run's start in the folder, under
// the folder's lock, so that no run still writing can own them.
void OutputSet::removeStaleFiles(const std::string& folder) const {
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return;
  while (const dirent* item = readdir(listing)) {
    const std::string fileName = item->d_name;
    for (const Entry& entry : entries_) {
      if (entry.inPlace || entry.folder != folder || !isTemporaryOutputName(fileName, entry.base)) continue;
      const std::string path = joinPath(folder, fileName);
      if (unlink(path.c_str()) == 0) {
        std::fprintf(stderr, "zelmor: removed %s, left behind by a run that was killed\n", path.c_str());
      }
      break;
    }
  }
  closedir(listing);
}

std::string OutputSet::commit() {
  // Outside signals are held off until the set is whole again, one way or
  // the other; the worker threads never take them.
  sigset_t previous;
  blockOutsideSignals(&previous);
  std::string problem;
  size_t moved = 0;
  while (moved < entries_.size() && moveIntoPlace(entries_[moved], problem)) ++moved;
  if (moved < entries_.size()) {
    while (moved > 0) takeBack(entries_[--moved]);
  }
  // After an exchange the temporary name holds the earlier file; after a
  // failure, this run's. Either way it goes.
  discardPendingOutputs();
  for (const int fd : lockFds_) fsync(fd);  // the folders' new entries to the disk
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return problem;
}

// Swaps the finished file with the earlier one, so that the earlier one can
// come back if a later file of the set cannot be put in place. A file system
// without the swap gets a plain rename, which cannot be taken back.
bool OutputSet::moveIntoPlace(Entry& entry, std::string& problem) const {
  if (entry.inPlace) return true;
  const char* from = entry.target.path.c_str();
  const char* to = entry.finalPath.c_str();
  struct stat earlier {};
  const bool existed = stat(to, &earlier) == 0;
  if (existed && S_ISREG(earlier.st_mode)) chmod(from, earlier.st_mode & 0777);  // keep the file's permissions
  if (existed && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
    entry.moved = kExchanged;
    return true;
  }
  if (!existed && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    entry.moved = kCreated;
    return true;
  }
  if (renameUnsupported(errno) && std::rename(from, to) == 0) {
    entry.moved = existed ? kReplaced : kCreated;
    return true;
  }
  problem = "Error writing " + entry.target.name + ": it cannot be put in place (" + std::strerror(errno) +
            "). The earlier files are left as they were.\n";
  return false;
}

void OutputSet::takeBack(Entry& entry) const {
  if (entry.moved == kExchanged) {
    renameat2(AT_FDCWD, entry.target.path.c_str(), AT_FDCWD, entry.finalPath.c_str(), RENAME_EXCHANGE);
  } else if (entry.moved == kCreated) {
    unlink(entry.finalPath.c_str());
  }
  entry.moved = kNotMoved;
}

}  // namespace zelmor
