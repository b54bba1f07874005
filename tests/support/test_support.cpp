#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

RunResult runProgram(const std::string& program, const std::string& argv0, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& env) {
  RunOptions options;
  options.env = env;
  options.timeoutSeconds = 0;
  return runProgramWith(program, argv0, args, cwd, options);
}

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(const std::string& program, const std::string& argv0, const std::vector<std::string>& args,
                            const std::string& cwd, const RunOptions& options, int outFd, int errFd) {
  dup2(outFd, STDOUT_FILENO);
  dup2(errFd, STDERR_FILENO);
  close(outFd);
  close(errFd);
  // The program starts as it would from a terminal: no signal blocked, and
  // none of these ignored (the test process may ignore some itself).
  for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) std::signal(signal, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull >= 0) dup2(devNull, STDIN_FILENO);
  if (chdir(cwd.c_str()) != 0) _exit(127);
  if (options.addressSpaceBytes != 0) {
    const rlimit limit{options.addressSpaceBytes, options.addressSpaceBytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
  }
  if (options.fileSizeBytes != 0) {
    const rlimit limit{options.fileSizeBytes, options.fileSizeBytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
  }
  if (options.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNoGroup) != 0 || setuid(kNobody) != 0) _exit(126);
  }
  for (const auto& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(argv0.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// The program as the user nobody can run it: the build folder may lie under a
// home folder that only root may enter, so it runs from a copy in a folder
// open to everyone, made once per program.
std::string programForNobody(const std::string& program) {
  static std::map<std::string, std::unique_ptr<TempDir>> copies;
  auto& dir = copies[program];
  if (!dir) {
    dir = std::make_unique<TempDir>();
    std::filesystem::permissions(dir->path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_read |
                                                  std::filesystem::perms::others_exec);
    std::filesystem::copy_file(program, dir->file("program"));
    std::filesystem::permissions(dir->file("program"),
                                 std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                     std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                     std::filesystem::perms::others_exec);
  }
  return dir->file("program");
}

}  // namespace

RunResult runProgramWith(const std::string& programPath, const std::string& argv0, const std::vector<std::string>& args,
                         const std::string& cwd, const RunOptions& options) {
  const std::string program = options.unprivileged && geteuid() == 0 ? programForNobody(programPath) : programPath;
  int outFds[2];
  int errFds[2];
  if (pipe(outFds) != 0 || pipe(errFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(outFds[0]);
    close(errFds[0]);
    execChild(program, argv0, args, cwd, options, outFds[1], errFds[1]);
  }
  close(outFds[1]);
  close(errFds[1]);
  if (options.whileRunning) options.whileRunning(pid);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  pollfd streams[2] = {{outFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
  std::string* texts[2] = {&result.output, &result.errors};
  char chunk[65536];
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    int waitMs = -1;
    if (options.timeoutSeconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      waitMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
    const int ready = poll(streams, 2, waitMs);
    if (ready == 0) {
      kill(pid, SIGKILL);
      result.timedOut = true;
      break;
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int s = 0; s < 2; ++s) {
      if (streams[s].fd < 0 || streams[s].revents == 0) continue;
      const ssize_t got = read(streams[s].fd, chunk, sizeof chunk);
      if (got > 0) {
        texts[s]->append(chunk, static_cast<size_t>(got));
      } else {
        close(streams[s].fd);
        streams[s].fd = -1;  // poll skips it from now on
      }
    }
  }
  for (const pollfd& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

RunResult runZelmorWith(const std::vector<std::string>& args, const std::string& cwd, const RunOptions& options) {
  return runProgramWith(ZELMOR_BINARY, "zelmor", args, cwd, options);
}

bool runningAsRoot() { return geteuid() == 0; }

bool builtWithSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

RunOptions memoryLimited(uint64_t bytes) {
  RunOptions options;
  if (!builtWithSanitizer()) {
    options.addressSpaceBytes = bytes;
    return options;
  }
  // The sanitizer runtimes reserve terabytes of shadow memory at start; their
  // allocator refuses large requests instead, returning null as malloc does.
  const std::string limit = "allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(bytes >> 20);
  for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* inherited = std::getenv(name);
    options.env.push_back(std::string(name) + "=" +
                          (inherited != nullptr && *inherited != '\0' ? std::string(inherited) + ":" + limit : limit));
  }
  return options;
}

RunResult runZelmor(const std::vector<std::string>& args, const std::string& cwd, const std::vector<std::string>& env) {
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

std::string blobPoints(int n, int d, int k) {
  std::string text;
  char value[32];
  for (int i = 0; i < n; ++i) {
    const int centre = i % k;
    for (int j = 0; j < d; ++j) {
      // Offsets within +-0.45, spread over the points without a pattern
      // that would make the blob flat.
      const double offset = 0.45 * std::sin(1.3 * i + 2.1 * j * j + 0.7 * j);
      std::snprintf(value, sizeof value, "%.6f%c", 6.0 * centre + offset, j + 1 < d ? '\t' : '\n');
      text += value;
    }
  }
  return text;
}

std::string blobCentres(int d, int k) {
  std::string text;
  for (int c = 0; c < k; ++c) {
    for (int j = 0; j < d; ++j) text += std::to_string(6 * c) + (j + 1 < d ? " " : "\n");
  }
  return text;
}

std::string maskTimerLines(const std::string& output) {
  static const std::regex start(
      R"((^|\n)start time: [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}(?=\n))");
  static const std::regex end(
      R"((^|\n)end time: [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}(?=\n))");
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
