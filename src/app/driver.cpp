#include "app/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/run_notes.h"
#include "app/run_timer.h"
#include "core/cluster_model.h"
#include "io/output_set.h"
#include "kernels/kernel_table.h"
#include "runtime/fatal.h"
#include "runtime/pending_outputs.h"

namespace zelmor {

namespace {

const char* const kMembershipName = "membership.txt";
const char* const kExpandOutputName = "output_expand.txt";
const char* const kEmOutputName = "output_em.txt";

// A run replaces its three output files: an input file that is one of them
// (by name, or through a link) would be lost, or read while it is replaced.
// Such a run stops before anything is written.
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
// thread: one message, the run's unfinished outputs removed, then an
// immediate exit that runs no destructors (the other threads may still be
// working).
void outOfMemory() {
  static std::atomic_flag reported = ATOMIC_FLAG_INIT;
  if (!reported.test_and_set()) {
    std::fputs("Not enough memory for the working storage of the run!!\n", stdout);
    std::fflush(stdout);
    blockOutsideSignals();
    discardPendingOutputs();
    std::_Exit(kExitFailure);
  }
  for (;;) pause();  // another thread is ending the process
}

// The one settings value of the run, from the checked arguments.
RunSettings runSettings(const Arguments& args, Kernels kernels, Isa isa) {
  RunSettings settings;
  settings.dataFile = args.dataFile;
  settings.microclusFile = args.microclusFile;
  settings.K = args.K;
  settings.d = args.d;
  settings.N = args.N;
  settings.epsilon_likelihood = args.epsilon_likelihood;
  settings.epsilon_coshare = args.epsilon_coshare;
  settings.maxLoopNum = args.maxLoopNum;
  settings.basedim = args.basedim;
  settings.kernels = kernels;
  settings.isa = isa;
  return settings;
}

void note(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

int runDriver(int argc, char** argv, Kernels kernels) {
  const Arguments args = readArguments(argc, argv);
  const IsaChoice isa = isaFromEnvironment();
  if (!isa.warning.empty()) note(isa.warning);
  refuseInputThatIsAnOutput("datafile", args.dataFile);
  refuseInputThatIsAnOutput("microclus file", args.microclusFile);

  const std::vector<std::string> names = {kMembershipName, kExpandOutputName, kEmOutputName};
  OutputSet outputs(names);
  const std::string busy = outputs.prepare();
  if (!busy.empty()) fatalExit(busy.c_str(), kExitFailure);

  // Under a file-size limit (ulimit -f) a write past it would kill the run by
  // a signal, silently; ignored, the write fails instead and the writer
  // reports it.
  std::signal(SIGXFSZ, SIG_IGN);
  // The arrays of the run report their own failures; this catches every other
  // request (working storage of the stages, buffers) that would otherwise
  // abort the run without a word.
  std::set_new_handler(outOfMemory);

  RunTimer timer;
  timer.start();
  const auto started = std::chrono::steady_clock::now();
  {
    ClusterModel model(runSettings(args, kernels, isa.isa));
    model.summary.iterationDone = [](int32_t iteration, double logLikelihood) {
      note(iterationNote(iteration, logLikelihood));
    };
    model.summary.loopEnded = [&args](const RunSummary& summary) {
      note(loopEndNote(summary, args.epsilonLikelihood));
    };
    const RunOutcome outcome = model.EMClustering(RunOutputs{outputs.target(0), outputs.target(1), outputs.target(2)});
    if (outcome == RunOutcome::LowCoverage) {
      note(lowCoverageAdvice(model.summary, args.N));
      endRun(kExitInvalid);
    }
    const std::string problem = outputs.commit();
    if (!problem.empty()) fatalExit(problem.c_str(), kExitFailure);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    timer.stop();
    note(runSummaryNote(model.summary, args.N, args.K, names, wall.count()));
  }
  return 0;
}

}  // namespace zelmor
