// The engine as a library: the same results from a file and from memory,
// failures handed back as values, and a stop on request.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/thread_pool.h"
#include "support/test_support.h"

namespace zelmor {
namespace {

constexpr int32_t kN = 600;
constexpr int32_t kD = 3;
constexpr int32_t kK = 6;

std::vector<float> parseFloats(const std::string& text) {
  std::istringstream in(text);
  std::vector<float> values;
  for (float v; in >> v;) values.push_back(v);
  return values;
}

RunSettings blobSettings(Kernels kernels) {
  RunSettings settings;
  settings.K = kK;
  settings.d = kD;
  settings.N = kN;
  settings.epsilon_likelihood = 0.001f;
  settings.epsilon_coshare = 1.0f;
  settings.maxLoopNum = 8;
  settings.kernels = kernels;
  settings.threads = 2;
  return settings;
}

void expectSameResult(const FitResult& a, const FitResult& b) {
  EXPECT_EQ(a.means, b.means);
  EXPECT_EQ(a.covariances, b.covariances);
  EXPECT_EQ(a.logLikelihoods, b.logLikelihoods);
  EXPECT_EQ(a.labels, b.labels);
  EXPECT_EQ(a.summary.coverage, b.summary.coverage);
  EXPECT_EQ(a.coShareLevels, b.coShareLevels);
  EXPECT_EQ(a.expansionOrder, b.expansionOrder);
  EXPECT_EQ(a.joiningLevels, b.joiningLevels);
  EXPECT_EQ(a.orientations, b.orientations);
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string text = test::blobPoints(kN, kD, kK);
    test::writeFile(dir.file("data.txt"), text);
    points = parseFloats(text);
    centres = parseFloats(test::blobCentres(kD, kK));
  }
  test::TempDir dir;
  std::vector<float> points;
  std::vector<float> centres;
};

TEST_F(Engine, FileAndMatrixSourcesGiveTheSameResultWithEitherKernels) {
  const TextFileSource file(dir.file("data.txt"), kD, kN);
  const MatrixSource matrix(points.data(), kN, kD);
  const FitResult reference = runPipeline(blobSettings(Kernels::Plain), file, centres, {});
  EXPECT_EQ(reference.labels.size(), size_t{kN});
  EXPECT_EQ(reference.coShareLevels.size(), size_t{kK * (kK - 1) / 2});
  EXPECT_EQ(reference.orientations.size(), size_t{kK * kD * kD});
  for (const Kernels kernels : {Kernels::Plain, Kernels::Fast}) {
    expectSameResult(runPipeline(blobSettings(kernels), matrix, centres, {}), reference);
    expectSameResult(runPipeline(blobSettings(kernels), file, centres, {}), reference);
  }
}

// Enough points for several coverage cells per list position, and few
// iterations, so that the last pass's forecast misses and its coverage sum
// makes cells again from the data. With K above 256 the lists are kept as
// ranks among the unlisted microclusters.
TEST(EngineCoverage, TheStreamedSumMatchesThePlainOne) {
  struct Case {
    int32_t N, d, K;
    std::vector<int32_t> iterations;
  };
  for (const Case& c : {Case{40000, 2, 12, {2, 3, 5}}, Case{3000, 2, 300, {2}}}) {
    const std::string text = test::blobPoints(c.N, c.d, c.K);
    const std::vector<float> points = parseFloats(text), centres = parseFloats(test::blobCentres(c.d, c.K));
    const MatrixSource matrix(points.data(), c.N, c.d);
    for (const int32_t iterations : c.iterations) {
      RunSettings settings = blobSettings(Kernels::Plain);
      settings.N = c.N, settings.d = c.d, settings.K = c.K, settings.maxLoopNum = iterations;
      settings.epsilon_likelihood = 0.0f;
      const FitResult reference = runPipeline(settings, matrix, centres, {});
      settings.kernels = Kernels::Fast;
      expectSameResult(runPipeline(settings, matrix, centres, {}), reference);
    }
  }
}

TEST_F(Engine, FailuresComeBackAsErrors) {
  const TextFileSource missing(dir.file("absent.txt"), kD, kN);
  const TextFileSource tooLong(dir.file("data.txt"), kD, kN - 1);
  std::vector<float> bad = points;
  bad[7] = std::numeric_limits<float>::quiet_NaN();
  const MatrixSource notFinite(bad.data(), kN, kD);
  struct Case {
    const PointSource& data;
    int32_t N;  // the settings' count
    ErrorKind kind;
    std::string message;
  };
  for (const Kernels kernels : {Kernels::Plain, Kernels::Fast}) {
    for (const Case& c : std::vector<Case>{
             {missing, kN, ErrorKind::Input, "datafile not opened!"},
             {tooLong, kN - 1, ErrorKind::Input, "Error in datafile " + dir.file("data.txt") + ": it holds more"},
             {tooLong, kN, ErrorKind::Invalid, "Error in the run's settings"},
             {notFinite, kN, ErrorKind::Input, "Error in data matrix: point 3 of 600, value 2 of 3 is not a finite"},
         }) {
      RunSettings settings = blobSettings(kernels);
      settings.N = c.N;
      try {
        runPipeline(settings, c.data, centres, {});
        ADD_FAILURE() << "no error for " << c.message;
      } catch (const Error& error) {
        EXPECT_EQ(error.kind(), c.kind);
        EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << error.what();
      }
    }
  }
}

TEST_F(Engine, LowCoverageCarriesTheCoverage) {
  const MatrixSource matrix(points.data(), kN, kD);
  const std::vector<float> farAway(centres.size(), 1e6f);
  try {
    runPipeline(blobSettings(Kernels::Fast), matrix, farAway, {});
    ADD_FAILURE() << "no error";
  } catch (const LowCoverageError& error) {
    EXPECT_EQ(error.status(), kExitInvalid);
    EXPECT_LT(error.coverage(), 0.95 * kN);
  }
}

TEST_F(Engine, AStopRequestEndsTheRunWithCancelled) {
  const MatrixSource matrix(points.data(), kN, kD);
  for (const Kernels kernels : {Kernels::Plain, Kernels::Fast}) {
    int asked = 0;
    FitObserver observer;
    observer.stopRequested = [&asked] { return ++asked > 1; };
    try {
      runPipeline(blobSettings(kernels), matrix, centres, observer);
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.kind(), ErrorKind::Cancelled);
    }
  }
}

TEST(ThreadPoolFailures, ATasksExceptionReachesTheCaller) {
  ThreadPool pool(3);
  for (int round = 0; round < 2; ++round) {
    EXPECT_THROW(pool.run(100,
                          [](int64_t task, int) {
                            if (task == 37) throw std::bad_alloc();
                          }),
                 std::bad_alloc);
    // The pool serves the next run as before.
    std::vector<int> done(50, 0);
    pool.run(50, [&done](int64_t task, int) { done[task] = 1; });
    EXPECT_EQ(done, std::vector<int>(50, 1));
  }
}

}  // namespace
}  // namespace zelmor
