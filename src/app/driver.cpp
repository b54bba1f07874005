#include "app/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/run_timer.h"
#include "model/cluster_model.h"
#include "model/fatal.h"
#include "model/settings.h"

namespace zelmor {

namespace {

constexpr int kArgumentCount = 10;  // the program name and nine arguments
// Item lists hold 16-bit microcluster indices, and the inversion 16-bit pivots.
constexpr int32_t kMaxClusters = 32767;
constexpr int32_t kMaxDimensions = 32767;

const char* const kEmOutputName = "output_em.txt";
const char* const kExpandOutputName = "output_expand.txt";
const char* const kMembershipName = "membership.txt";  // written under this name by the coverage step

void printUsage(const char* programName) {
  std::printf(
      " Command Format: %s <datafile> <#cluster> <#dimension> <#data> <epsilon_likelihood> <epsilon_coshare> "
      "<microclus file> <MaxLoopNum> <basedim>\n\n",
      programName);
  std::printf("****************** Parameter Setting of Zelmor Algorithm ******************\n");
  std::printf("datafile:           the dataset file.\n");
  std::printf("#cluster:           the number of microclusters.\n");
  std::printf("#dimension:         the dimensionality of the dataset.\n");
  std::printf("#data:              the number of data points.\n");
  std::printf("epsilon_likelihood: probability log likelihood threshold.\n");
  std::printf("epsilon_coshare:    neighborhood co-sharing level threshold.\n");
  std::printf("microclus file:     the microcluser file.\n");
  std::printf("MaxLoopNum:         maximum number of iteration times.\n");
  std::printf("basedim:            basedim value of orientation vectors is kept positive.\n");
  std::printf("\n");
}

// Counts outside what the arrays can index end the run before any work. The
// count is converted like the other integers (so a text beyond the 32-bit
// range wraps), and the check looks at the text's own value as well: a #data
// of 4294967297 must not pass as 1.
void checkRange(const char* label, const char* text, int32_t value, int32_t low, int32_t high, const char* why) {
  const long long written = std::strtoll(text, nullptr, 10);
  if (written == value && value >= low && value <= high) return;
  fatalExitf(kExitInvalid, "Error in %s value: %lld is outside the range [%d,%d] (%s).\n", label, written, low, high,
             why);
}

// The run empties its three output files: an input file that is one of them
// (by name, or through a link) would be destroyed before it is read, or
// after. Such a run stops before anything is written.
void refuseInputThatIsAnOutput(const char* label, const char* inputName) {
  struct stat input {};
  if (stat(inputName, &input) != 0) return;  // a missing input is reported where it is opened
  for (const char* output : {kMembershipName, kExpandOutputName, kEmOutputName}) {
    struct stat existing {};
    if (stat(output, &existing) == 0 && existing.st_dev == input.st_dev && existing.st_ino == input.st_ino) {
      fatalExitf(kExitFailure, "Error in %s %s: it is the output file %s, which the run overwrites.\n", label,
                 inputName, output);
    }
  }
}

// Called by operator new when a request cannot be met, possibly on a worker
// thread: one message, then an immediate exit that runs no destructors (the
// other threads may still be working).
void outOfMemory() {
  static std::atomic_flag reported = ATOMIC_FLAG_INIT;
  if (!reported.test_and_set()) {
    std::fputs("Not enough memory for the working storage of the run!!\n", stdout);
    std::fflush(stdout);
    std::_Exit(kExitFailure);
  }
  for (;;) pause();  // another thread is ending the process
}

}  // namespace

int runDriver(int argc, char** argv) {
  if (argc != kArgumentCount) {
    printUsage(argv[0] != nullptr ? argv[0] : "zelmor");
    std::fflush(stdout);
    std::exit(kExitUsage);
  }

  std::printf("\n Current Parameter Setting of Zelmor: \n");
  const char* dataFileName = argv[1];
  std::printf("datafile: %s \n", dataFileName);
  const int32_t K = std::atoi(argv[2]);
  std::printf("#cluster: %d \n", K);
  const int32_t d = std::atoi(argv[3]);
  std::printf("#dimesion: %d \n", d);
  const int32_t N = std::atoi(argv[4]);
  std::printf("#data: %d \n", N);
  const double epsilonLikelihood = std::atof(argv[5]);
  const float epsilon_likelihood = static_cast<float>(epsilonLikelihood);
  std::printf("epsilon_likelihood: %f \n", epsilonLikelihood);
  const double epsilonCoshare = std::atof(argv[6]);
  const float epsilon_coshare = static_cast<float>(epsilonCoshare);
  std::printf("epsilon_coshare: %f \n", epsilonCoshare);
  const char* microclusFileName = argv[7];
  std::printf("microclus file: %s\n", microclusFileName);
  MaxLoopNum = std::atoi(argv[8]);
  std::printf("MaxLoopNum: %i\n", MaxLoopNum);
  basedim = std::atoi(argv[9]);
  if (basedim < 0 || basedim >= d) {
    std::printf("Error in basedim value!\n");
    std::printf("basedim should be in the range of [%d,%d].\n", 0, d - 1);
    std::fflush(stdout);
    std::exit(kExitInvalid);
  }
  std::printf("basedim: %i\n", basedim);

  checkRange("#cluster", argv[2], K, 1, kMaxClusters, "microcluster indices are 16-bit");
  checkRange("#dimension", argv[3], d, 1, kMaxDimensions, "pivot indices are 16-bit");
  checkRange("#data", argv[4], N, 1, INT32_MAX, "at least one data point");
  refuseInputThatIsAnOutput("datafile", dataFileName);
  refuseInputThatIsAnOutput("microclus file", microclusFileName);

  // Under a file-size limit (ulimit -f) a write past it would kill the run by
  // a signal, silently, with a truncated file on disk; ignored, the write
  // fails instead and the writer reports it and discards the file.
  std::signal(SIGXFSZ, SIG_IGN);
  // The arrays of the run report their own failures; this catches every other
  // request (working storage of the stages, buffers) that would otherwise
  // abort the run without a word.
  std::set_new_handler(outOfMemory);

  RunTimer timer;
  timer.start();
  {
    ClusterModel model(microclusFileName, K, d, N);
    model.EMClustering(dataFileName, kEmOutputName, kExpandOutputName, epsilon_likelihood, epsilon_coshare);
    timer.stop();
  }
  return 0;
}

}  // namespace zelmor
