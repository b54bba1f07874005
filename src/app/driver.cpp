#include "app/driver.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

// Counts outside what the arrays can index end the run before any work.
void checkRange(const char* label, int32_t value, int32_t low, int32_t high, const char* why) {
  if (value >= low && value <= high) return;
  fatalExitf(kExitInvalid, "Error in %s value: %d is outside the range [%d,%d] (%s).\n", label, value, low, high,
             why);
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

  checkRange("#cluster", K, 1, kMaxClusters, "microcluster indices are 16-bit");
  checkRange("#dimension", d, 1, kMaxDimensions, "pivot indices are 16-bit");
  checkRange("#data", N, 1, INT32_MAX, "at least one data point");

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
