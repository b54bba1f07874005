// The fast configuration against the plain reference, across thread counts
// and the kernel tables of every instruction set this processor runs
// (ZELMOR_ISA): files and console output must be the same bytes (timer lines
// aside).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_table.h"
#include "support/test_support.h"

namespace zelmor::test {
namespace {

struct Outcome {
  RunResult run;
  std::string membership, expand, em;
};

Outcome runIn(const std::string& program, const std::string& data, const std::string& centres,
              const std::vector<std::string>& args, const std::string& threads,
              const std::string& isa = isaName(bestIsa())) {
  TempDir dir;
  writeFile(dir.file("data.txt"), data);
  writeFile(dir.file("microclus.txt"), centres);
  Outcome o;
  o.run = runProgram(program, "zelmor", args, dir.path(), {"OMP_NUM_THREADS=" + threads, "ZELMOR_ISA=" + isa});
  o.run.output = maskTimerLines(o.run.output);
  o.membership = readFile(dir.file("membership.txt"));
  o.expand = readFile(dir.file("output_expand.txt"));
  o.em = readFile(dir.file("output_em.txt"));
  return o;
}

// Noisy curves in d dimensions: a helix, a sine wave and an arc, with centres
// taken from the points; a few points far from everything.
void makeCurves(int N, int d, int K, unsigned seed, std::string& data, std::string& centres) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<std::vector<double>> points;
  for (int i = 0; i < N; ++i) {
    const double u = unit(random);
    double base[3];
    switch (i % 3) {
      case 0: base[0] = 3 * std::cos(6 * u), base[1] = 3 * std::sin(6 * u), base[2] = 4 * u; break;
      case 1: base[0] = 4 * u - 2, base[1] = 2 * std::sin(5 * u), base[2] = u - 3; break;
      default: base[0] = 2 + std::cos(3 * u), base[1] = std::sin(3 * u) - 2, base[2] = 2 * u; break;
    }
    std::vector<double> p(d);
    for (int j = 0; j < d; ++j) p[j] = base[j % 3] * (1 + 0.3 * (j / 3)) + 0.2 * (j / 3) + 0.1 * (unit(random) - 0.5);
    if (i % 97 == 5) p[0] += 40;  // out of reach of every microcluster
    points.push_back(p);
  }
  char text[64];
  for (const auto& p : points) {
    for (int j = 0; j < d; ++j) {
      std::snprintf(text, sizeof text, "%.6f%c", p[j], j + 1 < d ? '\t' : '\n');
      data += text;
    }
  }
  for (int k = 0; k < K; ++k) {
    const auto& p = points[(k * 7919) % N];
    for (int j = 0; j < d; ++j) {
      std::snprintf(text, sizeof text, "%.6f\t", p[j]);
      centres += text;
    }
    centres += "\n";
  }
}

void expectSame(const Outcome& a, const Outcome& b, const std::string& what) {
  EXPECT_EQ(a.run.status, b.run.status) << what;
  EXPECT_EQ(a.run.output, b.run.output) << what;
  EXPECT_TRUE(a.membership == b.membership) << what;
  EXPECT_TRUE(a.expand == b.expand) << what;
  EXPECT_TRUE(a.em == b.em) << what;
}

TEST(Reproducibility, FastAndPlainGiveTheSameBytesAtEveryThreadCountAndInstructionSet) {
  struct Shape {
    int N, d, K;
    const char* epsCoshare;
  };
  for (const Shape& shape : {Shape{3000, 3, 20, "1.0"}, Shape{2500, 5, 33, "0.5"}, Shape{1200, 8, 17, "2.0"}}) {
    std::string data, centres;
    makeCurves(shape.N, shape.d, shape.K, 5u + shape.d, data, centres);
    const std::vector<std::string> args = {"data.txt",   std::to_string(shape.K), std::to_string(shape.d),
                                           std::to_string(shape.N), "1e-9", shape.epsCoshare,
                                           "microclus.txt", "6", "0"};
    const Outcome plain = runIn(ZELMOR_PLAIN_BINARY, data, centres, args, "1");
    ASSERT_EQ(plain.run.status, 0) << plain.run.output;
    for (const char* threads : {"1", "2", "7"}) {
      expectSame(runIn(ZELMOR_BINARY, data, centres, args, threads), plain,
                 "d=" + std::to_string(shape.d) + " threads=" + threads);
    }
    std::vector<std::string> isas;
    for (const Isa isa : supportedIsas()) isas.push_back(isaName(isa));
    isas.push_back("avx1024");  // unknown: the best one, with a warning
    for (const std::string& isa : isas) {
      const Outcome fast = runIn(ZELMOR_BINARY, data, centres, args, "2", isa);
      expectSame(fast, plain, "d=" + std::to_string(shape.d) + " " + isa);
      EXPECT_EQ(fast.run.errors.find("ZELMOR_ISA=avx1024") != std::string::npos, isa == "avx1024") << fast.run.errors;
    }
  }
}

TEST(Reproducibility, GoldenCasesThroughThePlainReference) {
  // The stored runs hold for the plain kernels too.
  const std::string cases = std::string(ZELMOR_TEST_DATA) + "/golden/";
  for (const char* name : {"blobs_d8", "vanishing_weight", "grid_ties_maxloop1", "low_coverage", "k1_d1"}) {
    const std::string dir = cases + name;
    TempDir work;
    copyFile(dir + "/data.txt", work.file("data.txt"));
    copyFile(dir + "/microclus.txt", work.file("microclus.txt"));
    const RunResult run = runProgram(ZELMOR_PLAIN_BINARY, "zelmor", splitLines(readFile(dir + "/args.txt")),
                                     work.path());
    EXPECT_EQ(maskTimerLines(run.output), readFile(dir + "/expected/stdout.txt")) << name;
    for (const char* file : {"membership.txt", "output_expand.txt", "output_em.txt"}) {
      if (fileExists(dir + "/expected/" + file)) {
        EXPECT_TRUE(readFile(work.file(file)) == readFile(dir + "/expected/" + file)) << name << " " << file;
      }
    }
  }
}

}  // namespace
}  // namespace zelmor::test
