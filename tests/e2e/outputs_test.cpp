// The three outputs appear together or not at all. A run that fails at any
// stage, for any reason including a signal, leaves the files of an earlier
// run exactly as they were and no temporary file; in a fresh folder it
// leaves no file at all. A second run in a folder that another is writing
// stops at once and touches nothing. A run killed outright leaves its
// temporary files, and the next run in the folder removes them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {
namespace {

constexpr int kStatusInvalid = 255;
constexpr int kStatusFailure = 1;
constexpr int kStatusKilled = -1;
const std::vector<std::string> kOutputs = {"membership.txt", "output_expand.txt", "output_em.txt"};

// A folder with the inputs of a run and, when `earlier`, the outputs of an
// earlier run (contents that no run writes).
class Folder {
 public:
  Folder(bool earlier, int n = 60, int maxLoop = 10) : n_(n), maxLoop_(maxLoop) {
    writeFile(dir.file("data.txt"), blobPoints(n, 2, 2));
    writeFile(dir.file("microclus.txt"), blobCentres(2, 2));
    if (earlier) {
      for (const std::string& name : kOutputs) writeFile(dir.file(name), "earlier " + name + "\n");
    }
  }

  std::vector<std::string> args() const {
    return {"data.txt", "2", "2", std::to_string(n_), "0.001", "0.0", "microclus.txt", std::to_string(maxLoop_), "0"};
  }

  RunResult run(const RunOptions& options = RunOptions()) const { return runZelmorWith(args(), dir.path(), options); }

  // Every file but the inputs, with its contents.
  std::map<std::string, std::string> others() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name != "data.txt" && name != "microclus.txt") files[name] = readFile(entry.path().string());
    }
    return files;
  }

  // Makes the data file a named pipe that the test feeds.
  void pipeData() const {
    std::filesystem::remove(dir.file("data.txt"));
    ASSERT_EQ(mkfifo(dir.file("data.txt").c_str(), 0666), 0);
  }

  TempDir dir;

 private:
  int n_;
  int maxLoop_;
};

// Opens the named pipe for writing once the run has opened it for reading.
int openOnceRead(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, 0);  // blocking writes from here on
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ADD_FAILURE() << "the run never opened " << path;
  return -1;
}

// Feeds the whole data file to the run's first pass, which then waits for
// the end of the file: `atPause` acts while it waits.
void feedFirstPass(const Folder& folder, const std::function<void()>& atPause) {
  signal(SIGPIPE, SIG_IGN);  // a run that died early must not take the test with it
  const int fd = openOnceRead(folder.dir.file("data.txt"));
  if (fd < 0) return;
  const std::string data = blobPoints(60, 2, 2);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  atPause();
  close(fd);
}

// With MaxLoopNum 1: lets the one pass end, then holds the run at the start
// of its final copy (with the other two outputs written) and calls `atCopy`.
void holdAtFinalCopy(const Folder& folder, const std::function<void()>& atCopy) {
  feedFirstPass(folder, [&] {
    std::filesystem::remove(folder.dir.file("data.txt"));
    ASSERT_EQ(mkfifo(folder.dir.file("data.txt").c_str(), 0666), 0);
  });
  const int fd = openOnceRead(folder.dir.file("data.txt"));
  atCopy();
  if (fd >= 0) close(fd);
}

struct Stage {
  std::string name;
  int n;  // data points
  int maxLoop;
  std::function<void(Folder&, RunOptions&)> setUp;
  int status;
  int signal;  // the signal that ends the run, or 0
};

std::function<void(Folder&, RunOptions&)> signalInFirstPass(int signal) {
  return [signal](Folder& folder, RunOptions& options) {
    folder.pipeData();
    options.whileRunning = [&folder, signal](int pid) { feedFirstPass(folder, [&] { kill(pid, signal); }); };
  };
}

std::function<void(Folder&, RunOptions&)> signalInFinalCopy(int signal) {
  return [signal](Folder& folder, RunOptions& options) {
    folder.pipeData();
    options.whileRunning = [&folder, signal](int pid) { holdAtFinalCopy(folder, [&] { kill(pid, signal); }); };
  };
}

const std::vector<Stage> kStages = {
    {"malformed data in the first pass", 60, 10,
     [](Folder& f, RunOptions&) { writeFile(f.dir.file("data.txt"), blobPoints(59, 2, 2) + "1 x\n"); }, kStatusFailure,
     0},
    {"data file cut short before the final copy", 60, 1,
     [](Folder& f, RunOptions& options) {
       f.pipeData();
       options.whileRunning = [&f](int) {
         feedFirstPass(f, [&] {
           std::filesystem::remove(f.dir.file("data.txt"));
           writeFile(f.dir.file("data.txt"), blobPoints(50, 2, 2));
         });
       };
     },
     kStatusFailure, 0},
    {"low coverage", 60, 10,
     [](Folder& f, RunOptions&) { writeFile(f.dir.file("microclus.txt"), "1e6 1e6\n-1e6 5\n"); }, kStatusInvalid, 0},
    // The data copy alone is 600 lines of about 20 bytes; the other two
    // files fit.
    {"file-size limit in the final copy", 600, 10, [](Folder&, RunOptions& options) { options.fileSizeBytes = 4096; },
     kStatusFailure, 0},
    {"SIGTERM in the first pass", 60, 10, signalInFirstPass(SIGTERM), kStatusKilled, SIGTERM},
    {"SIGINT in the first pass", 60, 10, signalInFirstPass(SIGINT), kStatusKilled, SIGINT},
    {"SIGHUP in the final copy", 60, 1, signalInFinalCopy(SIGHUP), kStatusKilled, SIGHUP},
    {"SIGINT in the final copy", 60, 1, signalInFinalCopy(SIGINT), kStatusKilled, SIGINT},
};

TEST(AllOrNothing, AFailedRunLeavesTheFolderAsItWas) {
  for (const Stage& stage : kStages) {
    for (const bool earlier : {true, false}) {
      SCOPED_TRACE(stage.name + (earlier ? ", earlier outputs" : ", fresh folder"));
      Folder folder(earlier, stage.n, stage.maxLoop);
      const auto before = folder.others();
      RunOptions options;
      stage.setUp(folder, options);
      const RunResult run = folder.run(options);
      EXPECT_EQ(run.status, stage.status) << run.output;
      EXPECT_EQ(run.signal, stage.signal);
      EXPECT_EQ(folder.others(), before);
    }
  }
}

TEST(AllOrNothing, ASecondRunInTheFolderStopsAtOnce) {
  Folder folder(/*earlier=*/true);
  folder.pipeData();
  RunResult second;
  std::map<std::string, std::string> whileFirstRuns;
  std::map<std::string, std::string> afterSecond;
  RunOptions options;
  options.whileRunning = [&](int) {
    feedFirstPass(folder, [&] {
      whileFirstRuns = folder.others();
      second = runZelmor(folder.args(), folder.dir.path());
      afterSecond = folder.others();
      // Later passes read a plain file.
      std::filesystem::remove(folder.dir.file("data.txt"));
      writeFile(folder.dir.file("data.txt"), blobPoints(60, 2, 2));
    });
  };
  const RunResult first = folder.run(options);

  EXPECT_EQ(second.status, kStatusFailure);
  const std::string message = "Error: another run is writing its output files in " +
                              std::filesystem::canonical(folder.dir.path()).string() +
                              "; this run stops and leaves the folder as it is.\n";
  ASSERT_GE(second.output.size(), message.size());
  EXPECT_EQ(second.output.substr(second.output.size() - message.size()), message);
  EXPECT_EQ(second.output.find("start time"), std::string::npos);
  EXPECT_EQ(afterSecond, whileFirstRuns);

  // The first run finishes as if alone.
  EXPECT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(folder.others().size(), kOutputs.size());
  EXPECT_EQ(splitLines(readFile(folder.dir.file("output_em.txt"))).size(), 62u);
}

TEST(AllOrNothing, TheNextRunRemovesWhatAKilledRunLeft) {
  Folder folder(/*earlier=*/true, 60, /*maxLoop=*/1);
  const auto before = folder.others();
  folder.pipeData();
  RunOptions options;
  options.whileRunning = [&](int pid) { holdAtFinalCopy(folder, [&] { kill(pid, SIGKILL); }); };
  const RunResult killed = folder.run(options);
  EXPECT_EQ(killed.signal, SIGKILL);

  // The earlier files stand; beside them lie the killed run's three files.
  std::map<std::string, std::string> left = folder.others();
  for (const auto& [name, content] : before) {
    EXPECT_EQ(left[name], content) << name;
    left.erase(name);
  }
  ASSERT_EQ(left.size(), 3u);
  for (const auto& [name, content] : left) EXPECT_EQ(name.substr(name.size() - 4), ".tmp") << name;

  std::filesystem::remove(folder.dir.file("data.txt"));
  writeFile(folder.dir.file("data.txt"), blobPoints(60, 2, 2));
  const RunResult next = folder.run();
  EXPECT_EQ(next.status, 0) << next.output;
  for (const auto& [name, content] : left) {
    EXPECT_NE(next.errors.find("zelmor: removed " + name + ", left behind by a run that was killed\n"),
              std::string::npos)
        << next.errors;
  }
  const auto after = folder.others();
  EXPECT_EQ(after.size(), kOutputs.size());
  EXPECT_EQ(splitLines(after.at("output_em.txt")).size(), 62u);
}

TEST(AllOrNothing, AFileThatCannotGoInPlaceBringsTheEarlierSetBack) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to run the program as the user nobody";
  // In a folder with the sticky bit only a file's owner may replace it. The
  // run, as nobody, swaps its membership file with nobody's earlier one and
  // puts its expansion file in place, then cannot replace root's
  // output_em.txt (writable by all): the first two must be taken back.
  Folder folder(/*earlier=*/true);
  std::filesystem::remove(folder.dir.file("output_expand.txt"));
  chmod(folder.dir.path().c_str(), 01777);
  chmod(folder.dir.file("output_em.txt").c_str(), 0666);
  ASSERT_EQ(chown(folder.dir.file("membership.txt").c_str(), 65534, 65534), 0);
  const auto before = folder.others();
  RunOptions asNobody;
  asNobody.unprivileged = true;
  const RunResult run = folder.run(asNobody);
  EXPECT_EQ(run.status, kStatusFailure);
  const std::string message =
      "Error writing output_em.txt: it cannot be put in place (Operation not permitted). The earlier files are left "
      "as they were.\n";
  ASSERT_GE(run.output.size(), message.size());
  EXPECT_EQ(run.output.substr(run.output.size() - message.size()), message);
  EXPECT_EQ(folder.others(), before);
}

}  // namespace
}  // namespace zelmor::test
