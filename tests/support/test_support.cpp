#include "support/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace zelmor::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zelmor-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything writable again so that fault tests can clean up.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

RunResult runProgram(const std::string& program, const std::string& argv0, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& env) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(argv0.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  RunResult result;
  char chunk[65536];
  ssize_t got;
  while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) result.output.append(chunk, static_cast<size_t>(got));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult runZelmor(const std::vector<std::string>& args, const std::string& cwd,
                    const std::vector<std::string>& env) {
  return runProgram(ZELMOR_BINARY, "zelmor", args, cwd, env);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void copyFile(const std::string& from, const std::string& to) { writeFile(to, readFile(from)); }

std::string maskTimerLines(const std::string& output) {
  static const std::regex start(R"((^|\n)start time: [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}(?=\n))");
  static const std::regex end(R"((^|\n)end time: [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}(?=\n))");
  static const std::regex seconds(R"((^|\n)-?[0-9]+\.[0-9]{6} sec cpu,   -?[0-9]+\.[0-9]{6} sec real(?=\n))");
  std::string masked = std::regex_replace(output, start, "$1start time: <masked>");
  masked = std::regex_replace(masked, end, "$1end time: <masked>");
  return std::regex_replace(masked, seconds, "$1<masked> sec cpu,   <masked> sec real");
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

}  // namespace zelmor::test
