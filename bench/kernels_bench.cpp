// Microbenchmarks of the hot kernels, each plain version beside its fast twin:
// densities, the M-step sums, co-sharing, reading and writing numbers.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "io/float_format.h"
#include "io/number_scanner.h"
#include "io/parallel_reader.h"
#include "kernels/e_step_kernels.h"
#include "kernels/e_step_wide.h"
#include "kernels/expand_kernels.h"
#include "kernels/kernel_table.h"
#include "runtime/thread_pool.h"

namespace zelmor {
namespace {

constexpr int kD = 8;
constexpr int kPoints = 4096;
constexpr int kReaderPoints = 200000;

// The table of the instruction set that a benchmark's argument numbers (0 is
// scalar), labelled with its name; null, and the benchmark skipped, where
// this processor has no such set.
const KernelTable* tableFor(benchmark::State& state) {
  const std::vector<Isa> supported = supportedIsas();
  if (state.range(0) >= static_cast<int64_t>(supported.size())) {
    state.SkipWithError("no such instruction set here");
    return nullptr;
  }
  state.SetLabel(isaName(supported[state.range(0)]));
  return &kernelTable(supported[state.range(0)]);
}

struct DensityInputs {
  std::vector<float> points, mean, inverse;
  std::vector<double> full, lanes;
  std::vector<float> t;
  DensityInputs() : points(kPoints * kD), mean(kD, 0.0f), full(kD * kD), lanes(kD * kDensityLanes), t(kD) {
    std::mt19937 random(1);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (float& v : points) v = unit(random);
    for (int i = 0; i < kD; ++i) {
      for (int j = 0; j <= i; ++j) inverse.push_back(i == j ? 4.0f : 0.1f * unit(random));
    }
    widenInverse(inverse.data(), kD, full.data());
  }
};

void BM_DensityPlain(benchmark::State& state) {
  DensityInputs in;
  for (auto _ : state) {
    for (int p = 0; p < kPoints; ++p) {
      benchmark::DoNotOptimize(
          pointDensity(in.points.data() + p * kD, in.mean.data(), in.inverse.data(), 1.0f, kD, in.t.data()));
    }
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_DensityWide(benchmark::State& state) {
  const KernelTable* kernels = tableFor(state);
  if (kernels == nullptr) return;
  DensityInputs in;
  float out[kDensityLanes];
  for (auto _ : state) {
    for (int p = 0; p < kPoints; p += kDensityLanes) {
      const float* lanes[kDensityLanes];
      for (int l = 0; l < kDensityLanes; ++l) lanes[l] = in.points.data() + (p + l) * kD;
      kernels->pointDensities(lanes, kDensityLanes, in.mean.data(), in.full.data(), 1.0f, kD, out, in.lanes.data());
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
}

// The same densities with the points laid out by coordinate, as the E-step
// hands over a run of points that a microcluster takes whole.
void BM_DensityColumns(benchmark::State& state) {
  const KernelTable* kernels = tableFor(state);
  if (kernels == nullptr) return;
  DensityInputs in;
  std::vector<float> columns(kPoints * kD), out(kPoints);
  for (int p = 0; p < kPoints; ++p) {
    for (int i = 0; i < kD; ++i) columns[i * kPoints + p] = in.points[p * kD + i];
  }
  for (auto _ : state) {
    kernels->columnDensities(columns.data(), kPoints, kPoints, in.mean.data(), in.full.data(), 1.0f, kD, out.data(),
                             in.lanes.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_SumsPlain(benchmark::State& state) {
  DensityInputs in;
  std::vector<float> uX(kD), uXXT(kD * (kD + 1) / 2);
  float w = 0.0f;
  for (auto _ : state) {
    for (int p = 0; p < kPoints; ++p) {
      accumulatePoint(in.points.data() + p * kD, in.mean.data(), 0.25f, kD, in.t.data(), uX.data(), w, uXXT.data());
    }
  }
  benchmark::DoNotOptimize(uXXT.data());
  state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_SumsWide(benchmark::State& state) {
  const KernelTable* kernels = tableFor(state);
  if (kernels == nullptr) return;
  DensityInputs in;
  std::vector<float> uX(kD), uXXT(kD * (kD + 1) / 2);
  float w = 0.0f;
  WideAccumulator acc(kD, *kernels);
  // In runs, as the E-step hands them over.
  std::vector<const float*> points(kPoints);
  for (int p = 0; p < kPoints; ++p) points[p] = in.points.data() + p * kD;
  const std::vector<float> shares(kPoints, 0.25f);
  for (auto _ : state) {
    acc.load(uX.data(), w, uXXT.data());
    acc.addRun(points.data(), shares.data(), kPoints, in.mean.data());
    acc.store(uX.data(), w, uXXT.data());
  }
  benchmark::DoNotOptimize(uXXT.data());
  state.SetItemsProcessed(state.iterations() * kPoints);
}

// A first-pass list's tail of 100 nonzero responsibilities into list order.
void BM_RankTail(benchmark::State& state) {
  const KernelTable* kernels = tableFor(state);
  if (kernels == nullptr) return;
  constexpr int kEntries = 100;
  std::mt19937 random(4);
  std::uniform_real_distribution<float> share(1e-6f, 1.0f);
  std::vector<float> values(kEntries * 64), outValues(kEntries);
  std::vector<int32_t> ids(kEntries), outIds(kEntries);
  for (float& v : values) v = share(random);
  for (int i = 0; i < kEntries; ++i) ids[i] = i;
  int64_t list = 0;
  for (auto _ : state) {
    kernels->rankAscending(values.data() + list * kEntries, ids.data(), kEntries, outValues.data(), outIds.data());
    list = (list + 1) % 64;
    benchmark::DoNotOptimize(outIds.data());
  }
  state.SetItemsProcessed(state.iterations());
}

// Responsibilities as a run leaves them: a handful of nonzero entries a row.
struct CoSharingInputs {
  int64_t N = 20000, m = 100;
  std::vector<float> responsibilities;
  std::vector<int16_t> items;
  std::vector<const int16_t*> lists;
  CoSharingInputs() : responsibilities(N * m, 0.0f), items(N * m) {
    std::mt19937 random(2);
    for (int64_t i = 0; i < N; ++i) {
      for (int64_t j = 0; j < m; ++j) items[i * m + j] = static_cast<int16_t>((j * 37 + i) % m);
      for (int64_t j = m - 8; j < m; ++j) responsibilities[i * m + j] = 0.125f;
      lists.push_back(items.data() + i * m);
    }
  }
};

void BM_CoSharingPlain(benchmark::State& state) {
  CoSharingInputs in;
  std::vector<float> coShareLevels(in.m * (in.m - 1) / 2);
  for (auto _ : state) {
    for (int64_t i = 0; i < in.N; ++i) {
      addCoSharingPlain(in.responsibilities.data() + i * in.m, in.lists[i], in.m, coShareLevels.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * in.N);
}

std::vector<std::string> sampleTokens() {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(-10.0, 10.0);
  std::vector<std::string> tokens;
  char text[32];
  for (int i = 0; i < 65536; ++i) {
    std::snprintf(text, sizeof text, "%.6f", unit(random));
    tokens.push_back(text);
  }
  return tokens;
}

void BM_ParseGeneral(benchmark::State& state) {
  const auto tokens = sampleTokens();
  float v;
  for (auto _ : state) {
    for (const auto& t : tokens) benchmark::DoNotOptimize(parseFloatToken(t.data(), t.data() + t.size(), v));
  }
  state.SetItemsProcessed(state.iterations() * tokens.size());
}

void BM_ParseShortDecimal(benchmark::State& state) {
  const auto tokens = sampleTokens();
  float v;
  for (auto _ : state) {
    for (const auto& t : tokens) benchmark::DoNotOptimize(parseShortDecimal(t.data(), t.data() + t.size(), v));
  }
  state.SetItemsProcessed(state.iterations() * tokens.size());
}

// "%f" values as the data files hold them, tab-separated, eight to a line.
std::string sampleText() {
  std::string text;
  for (size_t i = 0; const auto& t : sampleTokens()) text += t + (++i % kD == 0 ? "\t\n" : "\t");
  return text;
}

// The token conversion alone, eight digits at a time (1) or one at a time (0).
void BM_ScanShortDecimal(benchmark::State& state) {
  const std::string text = sampleText();
  const auto scan = state.range(0) != 0 ? scanShortDecimal : scanShortDecimalScalar;
  for (auto _ : state) {
    const char* at = text.data();
    const char* end = at + text.size();
    float sum = 0.0f;
    while (at < end) {
      float value = 0.0f;
      bool converted;
      at = scan(at, end, value, converted);
      sum += value;
      while (at < end && (*at == '\t' || *at == '\n')) ++at;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 65536);
}

void BM_ParseNumbers(benchmark::State& state) {
  const KernelTable* kernels = tableFor(state);
  if (kernels == nullptr) return;
  const std::string text = sampleText();
  std::vector<float> values(maxNumbers(static_cast<int64_t>(text.size())));
  for (auto _ : state) {
    benchmark::DoNotOptimize(parseNumbers(text.data(), text.data() + text.size(), values.data(), *kernels));
  }
  state.SetItemsProcessed(state.iterations() * 65536);
}

// A data file like the benchmark data sets: 200,000 points of 8 values as
// "%f" writes them (16 MB), read whole as one EM pass does.
const std::string& readerDataFile() {
  static const std::string path = [] {
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder != nullptr ? folder : "/tmp") + "/zelmor_bench_points.txt";
    std::FILE* file = std::fopen(name.c_str(), "wb");
    std::mt19937 random(4);
    std::uniform_real_distribution<double> unit(-80.0, 80.0);
    for (int p = 0; p < kReaderPoints; ++p) {
      for (int j = 0; j < kD; ++j) std::fprintf(file, "%f\t", unit(random));
      std::fputc('\n', file);
    }
    std::fclose(file);
    return name;
  }();
  return path;
}

void BM_ReadPoints(benchmark::State& state) {
  const std::string& path = readerDataFile();
  ThreadPool pool(static_cast<int>(state.range(0)));
  std::vector<float> block(size_t{16384} * kD);
  for (auto _ : state) {
    ParallelPointReader reader(path.c_str(), kD, kReaderPoints, "cannot open", pool, kernelTable(bestIsa()));
    while (reader.readPoints(block.data(), 16384) > 0) benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations() * kReaderPoints * kD);
}

// Formats floats, as the output files hold them, of every everyday size.
template <size_t (*Format)(double, char*)>
void formatLoop(benchmark::State& state) {
  char buffer[kFixed6BufferSize];
  float v = 0.123456f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Format(v, buffer));
    v = v < 1e5f ? v * 1.37f + 0.01f : 0.123456f;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FormatPrintf(benchmark::State& state) { formatLoop<formatFixed6Reference>(state); }
void BM_FormatToChars(benchmark::State& state) { formatLoop<formatFixed6>(state); }

BENCHMARK(BM_DensityPlain);
BENCHMARK(BM_DensityWide)->DenseRange(0, 3);
BENCHMARK(BM_DensityColumns)->DenseRange(0, 3);
BENCHMARK(BM_SumsPlain);
BENCHMARK(BM_SumsWide)->DenseRange(0, 3);
BENCHMARK(BM_RankTail)->DenseRange(0, 3);
BENCHMARK(BM_CoSharingPlain);
BENCHMARK(BM_ParseGeneral);
BENCHMARK(BM_ParseShortDecimal);
BENCHMARK(BM_ScanShortDecimal)->Arg(0)->Arg(1);
BENCHMARK(BM_ParseNumbers)->DenseRange(0, 3);
BENCHMARK(BM_ReadPoints)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FormatPrintf);
BENCHMARK(BM_FormatToChars);

}  // namespace
}  // namespace zelmor

BENCHMARK_MAIN();
