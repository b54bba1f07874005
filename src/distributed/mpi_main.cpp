// zelmor-mpi: the program shared by the ranks of an MPI job. The first rank
// speaks for the run (console, exit status, output files) exactly as a lone
// zelmor does; the others take their share of the points and say nothing on
// standard output.
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "distributed/communicator.h"
#include "distributed/distributed_pipeline.h"
#include "runtime/error.h"

namespace zelmor {

namespace {

// Every rank either reaches the run or fails before it (with the same
// arguments, mostly the same way); they tell each other which before any
// of them waits for the others. Returns the first rank's status (0: all
// reached the run, or a nonzero status of another rank where only it failed).
int agreeOnStart(const Communicator& comm, int status) {
  std::vector<int> statuses(static_cast<size_t>(comm.size()));
  MPI_Allgather(&status, 1, MPI_INT, statuses.data(), 1, MPI_INT, comm.comm());
  if (statuses[0] != 0) return statuses[0];
  for (const int other : statuses) {
    if (other != 0) return other;
  }
  return 0;
}

// The account of the shared run's time on standard error, from the first rank.
void reportTimes(const Communicator& comm, const ChainTimes& times) {
  constexpr int kFields = 7;
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  const double mine[kFields] = {times.localSeconds,
                                times.waitSeconds,
                                times.chainSeconds,
                                times.coSharingSeconds,
                                times.outputSeconds,
                                static_cast<double>(times.floatsSent),
                                cpu};
  std::vector<double> all(static_cast<size_t>(kFields * comm.size()));
  MPI_Gather(mine, kFields, MPI_DOUBLE, all.data(), kFields, MPI_DOUBLE, 0, comm.comm());
  if (!comm.first()) return;
  std::string text = formatMessage(
      "zelmor-mpi: %d ranks; seconds of own passes / waits for running sums / chained sums / co-sharing / "
      "data copy; processor seconds:\n",
      comm.size());
  for (int r = 0; r < comm.size(); ++r) {
    const double* t = all.data() + kFields * r;
    text += formatMessage("  rank %d: %.2f / %.2f / %.2f / %.2f / %.2f; %.2f cpu; %.0f floats handed on\n", r, t[0],
                          t[1], t[2], t[3], t[4], t[6], t[5]);
  }
  std::fputs(text.c_str(), stderr);
}

int runShared(int argc, char** argv) {
  const Communicator comm(MPI_COMM_WORLD);
  // Only the first rank's console reaches the user.
  if (!comm.first() && std::freopen("/dev/null", "w", stdout) == nullptr) return kExitFailure;
  ChainTimes times;
  bool reached = false;
  bool ran = false;
  DriverRole role;
  role.leader = comm.first();
  role.run = [&](const RunSettings& settings, const char* dataFile, std::vector<float> startMeans,
                 const FitObserver& observer, const RunOutputs* outputs) {
    reached = true;
    const int status = agreeOnStart(comm, 0);
    if (status != 0) {
      comm.noteSharedFailure();
      throw Error(ErrorKind::Internal,
                  comm.first() ? "Internal error: a process of the run failed before it started.\n" : "", status);
    }
    ran = true;
    return runDistributedPipeline(comm, settings, dataFile, std::move(startMeans), observer, outputs, times);
  };
  std::string silentFailure;
  role.failedSilently = [&silentFailure](const char* message) {
    silentFailure = message;
    if (silentFailure.empty() || silentFailure.back() != '\n') silentFailure += '\n';
  };
  int status = runDriver(argc, argv, Kernels::Fast, role);
  if (!reached) agreeOnStart(comm, status != 0 ? status : kExitFailure);
  if (ran && status != 0 && !comm.failedTogether()) {
    // A failure of this rank alone, outside the steps the ranks agree on: the
    // others may be waiting for it, so the job ends here. The first rank has
    // printed its message and cleared its outputs as a lone run does.
    if (!comm.first()) {
      std::fprintf(stderr, "zelmor-mpi: process %d of %d failed alone, ending the job: %s", comm.rank(), comm.size(),
                   silentFailure.c_str());
    }
    std::fflush(nullptr);
    MPI_Abort(MPI_COMM_WORLD, status);
  }
  if (ran && status == 0) reportTimes(comm, times);
  return status;
}

}  // namespace

}  // namespace zelmor

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  const int status = zelmor::runShared(argc, argv);
  MPI_Finalize();
  return status;
}
