// Helpers shared by the tests: scratch folders, running the built program,
// reading and writing whole files.
#pragma once

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
  int status = 0;       // exit status as the shell sees it (0..255), -1 if killed
  std::string output;   // standard output
};

// Runs `program` with `args` in folder `cwd`, argv[0] being `argv0`, with an
// empty standard input; captures standard output. `env` entries NAME=VALUE
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

// Console output with the time texts and the seconds line replaced by fixed
// markers, so that runs can be compared.
std::string maskTimerLines(const std::string& output);

// Splits text into lines (without their line ends); a last empty piece after a
// final line end is dropped.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace zelmor::test
