// Helpers shared by the tests: scratch folders, running the built program,
// reading and writing whole files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelmor::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int status = 0;         // exit status as the shell sees it (0..255), -1 if killed
  std::string output;     // standard output
  std::string errors;     // standard error
  int signal = 0;         // the signal that ended the program, 0 if it exited
  bool timedOut = false;  // killed for running past RunOptions::timeoutSeconds
};

// How a fault test runs the program: limits, identity and a hook that acts on
// the files while the program runs.
struct RunOptions {
  std::vector<std::string> env;    // NAME=VALUE entries added to the environment
  uint64_t addressSpaceBytes = 0;  // RLIMIT_AS of the program (0: unchanged)
  uint64_t fileSizeBytes = 0;      // RLIMIT_FSIZE of the program (0: unchanged)
  // Run as the unprivileged user nobody when the tests run as root, so that
  // file modes bite (root passes every permission check).
  bool unprivileged = false;
  int timeoutSeconds = 60;  // the program is killed after this
  // Called in the test process with the program's process id once it has
  // started; it must not wait for the program to end.
  std::function<void(int pid)> whileRunning;
};

RunResult runProgramWith(const std::string& program, const std::string& argv0, const std::vector<std::string>& args,
                         const std::string& cwd, const RunOptions& options);
RunResult runZelmorWith(const std::vector<std::string>& args, const std::string& cwd, const RunOptions& options);

bool runningAsRoot();
// True when the tests and the program are built with the address or thread
// sanitizer, whose runtimes cannot start under a small RLIMIT_AS.
bool builtWithSanitizer();
// Options under which no single allocation of more than `bytes` succeeds:
// an address-space limit, or with a sanitizer its allocator's own limit.
RunOptions memoryLimited(uint64_t bytes);

// Runs `program` with `args` in folder `cwd`, argv[0] being `argv0`, with an
// empty standard input; captures standard output and standard error. `env` entries NAME=VALUE
// are added to the environment.
RunResult runProgram(const std::string& program, const std::string& argv0, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& env = {});

// Runs the built zelmor as "zelmor".
RunResult runZelmor(const std::vector<std::string>& args, const std::string& cwd,
                    const std::vector<std::string>& env = {});

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
void copyFile(const std::string& from, const std::string& to);

// n points in d dimensions around k well separated centres, point i near
// centre i mod k (centre c has every component 6c), one point per line; and
// the microcluster file of those k centres.
std::string blobPoints(int n, int d, int k);
std::string blobCentres(int d, int k);

// Console output with the time texts and the seconds line replaced by fixed
// markers, so that runs can be compared.
std::string maskTimerLines(const std::string& output);

// Splits text into lines (without their line ends); a last empty piece after a
// final line end is dropped.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace zelmor::test
