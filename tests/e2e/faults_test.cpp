// Whole runs under faults from outside: outputs that cannot be written (a full
// device, a folder in the way, read-only files and folders, a file-size
// limit), a data file that changes or vanishes while the run reads it, memory
// limits too small for the arrays, and counts at and just past their limits.
// Every run must fail with a message and status 1 (or 255 for an argument out
// of range), and leave no output file of its own: the outputs are put in
// place together, only by a run that succeeds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelmor::test {
namespace {

constexpr int kStatusInvalid = 255;
constexpr int kStatusFailure = 1;
constexpr uint64_t kMiB = uint64_t{1} << 20;

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// One run's folder: blob data of N points in d dimensions around K centres.
class Scene {
 public:
  Scene(int n, int d, int k, int maxLoop = 10) : N(n), d(d), K(k), maxLoop(maxLoop) {
    writeFile(dir.file("data.txt"), blobPoints(n, d, k));
    writeFile(dir.file("microclus.txt"), blobCentres(d, k));
  }

  std::vector<std::string> args() const {
    return {"data.txt",
            std::to_string(K),
            std::to_string(d),
            std::to_string(N),
            "0.001",
            "0.0",
            "microclus.txt",
            std::to_string(maxLoop),
            "0"};
  }

  RunResult run(const RunOptions& options = RunOptions()) const { return runZelmorWith(args(), dir.path(), options); }

  // What the run left under an output name: "nothing", "empty", "whole" (a
  // regular file of exactly the lines a complete run writes), "partial", or
  // "not a file" (a folder or device the test put there).
  std::string left(const std::string& name) const {
    struct stat entry {};
    if (lstat(dir.file(name).c_str(), &entry) != 0) return "nothing";
    if (!S_ISREG(entry.st_mode)) return "not a file";
    const std::string text = readFile(dir.file(name));
    if (text.empty()) return "empty";
    const size_t whole = name == "membership.txt" ? N : name == "output_expand.txt" ? K : N + K;
    return text.back() == '\n' && splitLines(text).size() == whole ? "whole" : "partial";
  }

  // The three outputs' states, in the order membership, expansion, final
  // output. No temporary file of a run may be left beside them.
  std::vector<std::string> outputs() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name.front() == '.') ADD_FAILURE() << "left behind: " << name;
    }
    return {left("membership.txt"), left("output_expand.txt"), left("output_em.txt")};
  }

  // Lets the unprivileged user create files in the folder.
  void openToEveryone() const { std::filesystem::permissions(dir.path(), std::filesystem::perms::all); }

  TempDir dir;
  int N;
  int d;
  int K;
  int maxLoop;
};

using States = std::vector<std::string>;

// A run as nobody that did not even start says so, instead of passing for a
// failure of the program.
void expectStarted(const RunResult& run) {
  ASSERT_NE(run.status, 126) << "cannot switch to the user nobody";
  ASSERT_NE(run.status, 127) << "the user nobody cannot run " << ZELMOR_BINARY;
}

// --- Outputs that cannot be written -----------------------------------------

struct OutputCase {
  std::string name;
  States leftBehind;  // membership, expansion, final output
};

// When one output fails, the others are not put in place: a failed run
// leaves none of its files.
const std::vector<OutputCase> kOutputCases = {
    {"membership.txt", {"not a file", "nothing", "nothing"}},
    {"output_expand.txt", {"nothing", "not a file", "nothing"}},
    {"output_em.txt", {"nothing", "nothing", "not a file"}},
};

TEST(OutputFaults, FullDeviceBehindEachOutput) {
  for (const OutputCase& c : kOutputCases) {
    SCOPED_TRACE(c.name);
    Scene scene(60, 2, 2);
    ASSERT_EQ(symlink("/dev/full", scene.dir.file(c.name).c_str()), 0);
    const RunResult run = scene.run();
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(
        endsWith(run.output, "Error writing " + c.name + ": No space left on device. The file is incomplete.\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), c.leftBehind);
  }
}

TEST(OutputFaults, FolderInPlaceOfEachOutput) {
  // A folder cannot be opened for writing, not even by root.
  for (const OutputCase& c : kOutputCases) {
    SCOPED_TRACE(c.name);
    Scene scene(60, 2, 2);
    ASSERT_EQ(mkdir(scene.dir.file(c.name).c_str(), 0755), 0);
    const RunResult run = scene.run();
    EXPECT_EQ(run.status, kStatusFailure);
    const bool emFirst = c.name == "output_em.txt";
    EXPECT_TRUE(endsWith(run.output, emFirst ? "\nOutfile not opened!" : "\nFile Not Opened!")) << run.output;
    // The final output is opened before the loop, so its failure comes first.
    EXPECT_EQ(scene.outputs(), c.leftBehind);
  }
}

TEST(OutputFaults, ReadOnlyOutputFilesAndFolder) {
  for (const OutputCase& c : kOutputCases) {
    SCOPED_TRACE(c.name);
    Scene scene(60, 2, 2);
    scene.openToEveryone();
    writeFile(scene.dir.file(c.name), "left by an earlier run\n");
    std::filesystem::permissions(scene.dir.file(c.name), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::group_read |
                                                             std::filesystem::perms::others_read);
    RunOptions asNobody;
    asNobody.unprivileged = true;
    const RunResult run = scene.run(asNobody);
    expectStarted(run);
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output, c.name == "output_em.txt" ? "\nOutfile not opened!" : "\nFile Not Opened!"))
        << run.output;
    // The earlier file is neither changed nor removed.
    EXPECT_EQ(readFile(scene.dir.file(c.name)), "left by an earlier run\n");
  }

  Scene scene(60, 2, 2);
  std::filesystem::permissions(scene.dir.path(),
                               std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                   std::filesystem::perms::others_exec);
  RunOptions asNobody;
  asNobody.unprivileged = true;
  const RunResult run = scene.run(asNobody);
  expectStarted(run);
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_TRUE(endsWith(run.output, "\nOutfile not opened!")) << run.output;
  EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
}

TEST(OutputFaults, FileSizeLimitCutsEachOutput) {
  // A limit of 4 KiB: in each scene the output named is the first to cross
  // it. Without the clean-up its file would stay cut after its last whole
  // line, a shorter file that reads as complete.
  struct SizeCase {
    std::string name;
    int N, d, K;
    States leftBehind;
  };
  const std::vector<SizeCase> cases = {
      {"membership.txt", 3000, 2, 2, {"nothing", "nothing", "nothing"}},     // 6000 bytes of membership
      {"output_expand.txt", 300, 3, 60, {"nothing", "nothing", "nothing"}},  // 60 lines of 11 numbers
      {"output_em.txt", 600, 2, 2, {"nothing", "nothing", "nothing"}},       // 600 data lines
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene(c.N, c.d, c.K);
    RunOptions limited;
    limited.fileSizeBytes = 4096;
    const RunResult run = scene.run(limited);
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(
        endsWith(run.output, "Error writing " + c.name + ": File too large. The incomplete file was removed.\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), c.leftBehind);
  }

  // Through a link the file is written beside the link's target, and the
  // target and the link are left alone.
  Scene scene(3000, 2, 2);
  ASSERT_EQ(symlink("elsewhere.txt", scene.dir.file("membership.txt").c_str()), 0);
  writeFile(scene.dir.file("elsewhere.txt"), "left by an earlier run\n");
  RunOptions limited;
  limited.fileSizeBytes = 4096;
  const RunResult run = scene.run(limited);
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_TRUE(endsWith(run.output, "Error writing membership.txt: File too large. The incomplete file was removed.\n"))
      << run.output;
  EXPECT_EQ(scene.outputs(), (States{"not a file", "nothing", "nothing"}));
  EXPECT_EQ(readFile(scene.dir.file("elsewhere.txt")), "left by an earlier run\n");
}

// --- The data file changes under the run ---------------------------------------

// The data file is a named pipe. The first E-step pass reads the points from
// it and, after the last one, waits for the end of the file: until `alter` has
// run and the pipe is closed, the run cannot leave its first pass. So
// whatever `alter` does to the name happens between the first pass and the
// next opening of the data file (the second pass, or the final copy when the
// run makes one iteration), without depending on timing.
class PipedData {
 public:
  explicit PipedData(Scene& scene) : scene_(scene), path_(scene.dir.file("data.txt")) {
    content_ = readFile(path_);
    std::filesystem::remove(path_);
    if (mkfifo(path_.c_str(), 0666) != 0) throw std::runtime_error("mkfifo failed");
    chmod(path_.c_str(), 0666);
  }

  RunResult run(const std::function<void(const std::string& path)>& alter, RunOptions options = RunOptions()) {
    options.whileRunning = [&](int) { feed(alter); };
    return scene_.run(options);
  }

 private:
  void feed(const std::function<void(const std::string&)>& alter) {
    signal(SIGPIPE, SIG_IGN);  // a run that died early must not take the test with it
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int fd = -1;
    while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
      fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);  // fails until the run opens the pipe
      if (fd < 0) usleep(2000);
    }
    if (fd < 0) {
      ADD_FAILURE() << "the run never opened the data file";
      return;
    }
    size_t sent = 0;
    while (sent < content_.size() && std::chrono::steady_clock::now() < deadline) {
      pollfd writable{fd, POLLOUT, 0};
      if (poll(&writable, 1, 100) <= 0) continue;
      const ssize_t n = write(fd, content_.data() + sent, content_.size() - sent);
      if (n < 0 && errno != EAGAIN) break;
      if (n > 0) sent += static_cast<size_t>(n);
    }
    EXPECT_EQ(sent, content_.size()) << "the run stopped reading the data file";
    alter(path_);
    close(fd);
  }

  Scene& scene_;
  std::string path_;
  std::string content_;
};

TEST(DataFileFaults, VanishesBetweenIterations) {
  Scene scene(60, 2, 2);
  const RunResult run = PipedData(scene).run([](const std::string& path) { unlink(path.c_str()); });
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_TRUE(endsWith(run.output, "1th iteration ...\n2th iteration ...\ndatafile not opened!")) << run.output;
  EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
}

TEST(DataFileFaults, ReplacedBetweenIterations) {
  {
    // A folder opens for reading but cannot be read; it is no file of 0 points.
    Scene scene(60, 2, 2);
    const RunResult run = PipedData(scene).run([](const std::string& path) {
      unlink(path.c_str());
      mkdir(path.c_str(), 0755);
    });
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output,
                         "2th iteration ...\nError in datafile data.txt: point 1 of 60, value 1 of 2 "
                         "(line 1): the file cannot be read (Is a directory).\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
  }
  {
    Scene scene(60, 2, 2);
    const RunResult run = PipedData(scene).run([](const std::string& path) {
      unlink(path.c_str());
      writeFile(path, blobPoints(3, 2, 2));
    });
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(
        endsWith(run.output, "2th iteration ...\nError in datafile data.txt: it holds 3 points, but #data is 60.\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
  }
}

TEST(DataFileFaults, MadeUnreadableBetweenIterations) {
  Scene scene(60, 2, 2);
  scene.openToEveryone();
  RunOptions asNobody;
  asNobody.unprivileged = true;
  const RunResult run = PipedData(scene).run(
      [](const std::string& path) {
        unlink(path.c_str());
        writeFile(path, blobPoints(60, 2, 2));
        chmod(path.c_str(), 0);
      },
      asNobody);
  expectStarted(run);
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_TRUE(endsWith(run.output, "2th iteration ...\ndatafile not opened!")) << run.output;
  EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
}

TEST(DataFileFaults, VanishesOrShrinksBeforeTheFinalCopy) {
  {
    Scene scene(60, 2, 2, /*maxLoop=*/1);
    const RunResult run = PipedData(scene).run([](const std::string& path) { unlink(path.c_str()); });
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output, "microclusters]File Not Opened!")) << run.output;
    EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
  }
  {
    // 5000 points: the copy has written more than the writer's buffer when
    // the shorter file ends, so whole data lines are already on disk.
    Scene scene(5000, 2, 2, /*maxLoop=*/1);
    const RunResult run = PipedData(scene).run([](const std::string& path) {
      unlink(path.c_str());
      writeFile(path, blobPoints(4000, 2, 2));
    });
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output,
                         "microclusters]Error in datafile data.txt: it holds 4000 points, but #data is "
                         "5000.\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
  }
}

TEST(InputFaults, FolderGivenForEitherInputFile) {
  // A folder opens for reading, even for root, but yields no bytes: a read
  // error, not an empty file.
  {
    Scene scene(60, 2, 2);
    std::filesystem::remove(scene.dir.file("microclus.txt"));
    ASSERT_EQ(mkdir(scene.dir.file("microclus.txt").c_str(), 0755), 0);
    const RunResult run = scene.run();
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output,
                         "\n\nError in microclus file microclus.txt: microcluster 1 of 2, component 1 of 2 "
                         "(line 1): the file cannot be read (Is a directory).\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
  }
  {
    Scene scene(60, 2, 2);
    std::filesystem::remove(scene.dir.file("data.txt"));
    ASSERT_EQ(mkdir(scene.dir.file("data.txt").c_str(), 0755), 0);
    const RunResult run = scene.run();
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output,
                         "1th iteration ...\nError in datafile data.txt: point 1 of 60, value 1 of 2 "
                         "(line 1): the file cannot be read (Is a directory).\n"))
        << run.output;
    EXPECT_EQ(scene.outputs(), (States{"nothing", "nothing", "nothing"}));
  }
}

TEST(InputFaults, InputThatIsAnOutputIsRefusedBeforeAnyWrite) {
  // The run empties its outputs; an input among them would be lost.
  {
    Scene scene(60, 2, 2);
    std::filesystem::rename(scene.dir.file("data.txt"), scene.dir.file("output_em.txt"));
    std::vector<std::string> args = scene.args();
    args[0] = "output_em.txt";
    const RunResult run = runZelmor(args, scene.dir.path());
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output,
                         "basedim: 0\nError in datafile output_em.txt: it is the output file "
                         "output_em.txt, which the run overwrites.\n"))
        << run.output;
    EXPECT_EQ(readFile(scene.dir.file("output_em.txt")), blobPoints(60, 2, 2));
  }
  {
    // The same file under another name, through a link.
    Scene scene(60, 2, 2);
    ASSERT_EQ(symlink("microclus.txt", scene.dir.file("membership.txt").c_str()), 0);
    const RunResult run = scene.run();
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output,
                         "Error in microclus file microclus.txt: it is the output file membership.txt, "
                         "which the run overwrites.\n"))
        << run.output;
    EXPECT_EQ(readFile(scene.dir.file("microclus.txt")), blobCentres(2, 2));
    EXPECT_FALSE(fileExists(scene.dir.file("output_em.txt")));
  }
}

// --- Memory and count limits ---------------------------------------------------

struct LimitCase {
  int K, d;
  long long N;
  std::string message;
};

// Runs one case under a 512 MiB limit. The microcluster file is complete, the
// data file is never reached: every request the case makes fails at once, so
// nothing of the limit is ever filled.
void expectCleanMemoryFailure(const LimitCase& c) {
  SCOPED_TRACE("K=" + std::to_string(c.K) + " d=" + std::to_string(c.d) + " N=" + std::to_string(c.N));
  TempDir dir;
  std::string centres;
  centres.reserve(static_cast<size_t>(c.K) * c.d * 2);
  for (long long v = 0; v < static_cast<long long>(c.K) * c.d; ++v) centres += "0\n";
  writeFile(dir.file("microclus.txt"), centres);
  writeFile(dir.file("data.txt"), "0\n");
  const RunResult run = runZelmorWith({"data.txt", std::to_string(c.K), std::to_string(c.d), std::to_string(c.N),
                                       "0.001", "0.0", "microclus.txt", "5", "0"},
                                      dir.path(), memoryLimited(512 * kMiB));
  EXPECT_EQ(run.status, kStatusFailure);
  EXPECT_TRUE(endsWith(run.output, "\n" + c.message)) << run.output;
  for (const char* name : {"membership.txt", "output_expand.txt", "output_em.txt"}) {
    EXPECT_FALSE(fileExists(dir.file(name))) << name;
  }
}

TEST(MemoryLimits, EachArrayTooLargeForTheLimitIsNamed) {
  for (const LimitCase& c : std::vector<LimitCase>{
           {1, 20000, 1, "Memory Allocation Error!!\n"},               // d x d work matrix: 1.6 GB
           {1, 1, 100000000, "Not enough memory for PRlx!!\n"},        // responsibilities' index: 800 MB
           {1, 1, 40000000, "Not enough memory for tmp_ItemList!\n"},  // 320 MB index fits, 320 MB lists' index not
       }) {
    // A sanitizer limits each request, not their total: the lists, half the
    // size of the responsibilities before them, never fail alone there.
    if (builtWithSanitizer() && c.message.find("tmp_ItemList") != std::string::npos) continue;
    expectCleanMemoryFailure(c);
  }
}

TEST(MemoryLimits, OtherRequestsBeyondTheLimitEndWithAMessage) {
  if (builtWithSanitizer()) GTEST_SKIP() << "a sanitizer's operator new ends the process itself on a failed request";
  // d = 1000: the model's arrays (about 10 MB) fit in 64 MiB; the working
  // storage of the E-step (several d x d blocks of doubles) may not. Either
  // way the run must not abort: it ends with a message, or goes on.
  TempDir dir;
  std::string centre;
  std::string points;
  for (int j = 0; j < 1000; ++j) centre += "0 ";
  for (int p = 0; p < 3; ++p) {
    for (int j = 0; j < 1000; ++j) points += std::to_string(0.01 * ((p * 7 + j * 13) % 19 - 9)) + " ";
    points += "\n";
  }
  writeFile(dir.file("microclus.txt"), centre + "\n");
  writeFile(dir.file("data.txt"), points);
  RunOptions limited = memoryLimited(64 * kMiB);
  limited.env.push_back("OMP_NUM_THREADS=1");
  const RunResult run =
      runZelmorWith({"data.txt", "1", "1000", "3", "0.001", "0.0", "microclus.txt", "1", "0"}, dir.path(), limited);
  if (run.status == kStatusFailure) {
    EXPECT_TRUE(endsWith(run.output, "1th iteration ...\nNot enough memory for the working storage of the run!!\n"))
        << run.output;
    EXPECT_FALSE(fileExists(dir.file("output_em.txt")));
  } else {
    EXPECT_TRUE(run.status == 0 || run.status == kStatusInvalid) << "status " << run.status << "\n" << run.output;
  }
}

TEST(MemoryLimits, ThreadsThatCannotStartDoNotAbortTheRun) {
  if (builtWithSanitizer())
    GTEST_SKIP() << "thread stacks count against an address-space limit only without a sanitizer";
  // 256 threads' stacks do not fit in 64 MiB. The pool starts those that
  // fit; the run then completes with the results of an unlimited run, or,
  // when the started threads leave too little for the working storage, ends
  // with the message for it.
  Scene limitedScene(200, 2, 3);
  Scene freeScene(200, 2, 3);
  RunOptions limited = memoryLimited(64 * kMiB);
  limited.env.push_back("OMP_NUM_THREADS=256");
  const RunResult run = limitedScene.run(limited);
  if (run.status != 0) {
    EXPECT_EQ(run.status, kStatusFailure);
    EXPECT_TRUE(endsWith(run.output, "\nNot enough memory for the working storage of the run!!\n")) << run.output;
    return;
  }
  ASSERT_EQ(freeScene.run().status, 0);
  for (const char* name : {"membership.txt", "output_expand.txt", "output_em.txt"}) {
    EXPECT_EQ(readFile(limitedScene.dir.file(name)), readFile(freeScene.dir.file(name))) << name;
  }
}

TEST(CountLimits, AtTheLimitsOnlyMemoryStopsTheRun) {
  // Each count at its limit passes the argument checks; the arrays it needs
  // are what a 512 MiB limit refuses.
  for (const LimitCase& c : std::vector<LimitCase>{
           {32767, 1, 1, "Not enough memory for dist!!\n"},       // K(K-1)/2 co-sharing levels: 2.1 GB
           {1, 32767, 1, "Memory Allocation Error!!\n"},          // d x d: 4.3 GB
           {1, 1, 2147483647, "Not enough memory for PRlx!!\n"},  // responsibilities' index: 17 GB
       }) {
    expectCleanMemoryFailure(c);
  }
}

TEST(CountLimits, JustPastTheLimitsTheRunStopsBeforeItStarts) {
  struct PastCase {
    std::string K, d, N;
    std::string message;
  };
  for (const PastCase& c : std::vector<PastCase>{
           {"32768", "1", "10", "Error in #cluster value: 32768 is outside the range [1,32767]"},
           {"1", "32768", "10", "Error in #dimension value: 32768 is outside the range [1,32767]"},
           {"1", "1", "2147483648", "Error in #data value: 2147483648 is outside the range [1,2147483647]"},
           // Texts beyond 32 bits wrap into the range when converted; the
           // check still sees the number that was written.
           {"1", "1", "4294967297", "Error in #data value: 4294967297 is outside the range [1,2147483647]"},
           {"4294967298", "1", "10", "Error in #cluster value: 4294967298 is outside the range [1,32767]"},
           {"1", "-4294967295", "10", "Error in #dimension value: -4294967295 is outside the range [1,32767]"},
       }) {
    SCOPED_TRACE(c.K + " " + c.d + " " + c.N);
    TempDir dir;
    const RunResult run = runZelmor({"data.txt", c.K, c.d, c.N, "0.001", "0.0", "microclus.txt", "5", "0"}, dir.path());
    EXPECT_EQ(run.status, kStatusInvalid);
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("start time"), std::string::npos);
  }
}

// --- The record of what was tried ----------------------------------------------

TEST(ReliabilityRecord, EveryRowNamesATestOfTheSuite) {
  const std::string record = readFile(std::string(ZELMOR_TEST_DATA) + "/../../docs/reliability.md");
  ASSERT_FALSE(record.empty());
  std::set<std::string> known;
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      known.insert(std::string(suite.name()) + "." + suite.GetTestInfo(t)->name());
    }
  }
  // Table rows end with the test that produces them, in backquotes.
  int rows = 0;
  for (const std::string& line : splitLines(record)) {
    if (line.size() < 2 || line.front() != '|' || line.back() != '|') continue;
    const size_t open = line.rfind('|', line.size() - 2);
    std::string cell = line.substr(open + 1, line.size() - open - 2);
    cell.erase(0, cell.find_first_not_of(' '));
    cell.erase(cell.find_last_not_of(' ') + 1);
    if (cell.size() < 3 || cell.front() != '`' || cell.back() != '`') continue;
    const std::string name = cell.substr(1, cell.size() - 2);
    if (name.find('.') == std::string::npos || name.find('/') != std::string::npos) continue;
    ++rows;
    EXPECT_EQ(known.count(name), 1u) << "docs/reliability.md names " << name << ", no test of the suite";
  }
  EXPECT_GE(rows, 20);
}

}  // namespace
}  // namespace zelmor::test
