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
#include "engine/engine.h"
#include "io/input_files.h"
#include "io/output_set.h"
#include "kernels/kernel_table.h"
#include "runtime/error.h"
#include "runtime/pending_outputs.h"
#include "runtime/thread_pool.h"

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
      throw Error(ErrorKind::Input,
                  formatMessage("Error in %s %s: it is the output file %s, which the run overwrites.\n", label,
                                inputName, output),
                  kExitFailure);
    }
  }
}

// The end of a run that cannot go on: its message, its unfinished outputs
// removed (a signal from outside must not cut that short), the status.
int failedRun(const char* message, int status) {
  std::fputs(message, stdout);
  sigset_t previous;
  blockOutsideSignals(&previous);
  discardPendingOutputs();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::fflush(stdout);
  return status;
}

// The one settings value of the run, from the checked arguments.
RunSettings runSettings(const Arguments& args, Kernels kernels, Isa isa) {
  RunSettings settings;
  settings.K = args.K;
  settings.d = args.d;
  settings.N = args.N;
  settings.epsilon_likelihood = args.epsilon_likelihood;
  settings.epsilon_coshare = args.epsilon_coshare;
  settings.maxLoopNum = args.maxLoopNum;
  settings.basedim = args.basedim;
  settings.kernels = kernels;
  settings.threads = defaultThreadCount();
  settings.isa = isa;
  return settings;
}

void note(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// The console lines of a run on standard output, the notes on standard
// error; `summary` keeps what the loop reported, for the advice on low
// coverage.
FitObserver consoleObserver(const Arguments& args, RunSummary& summary) {
  FitObserver observer;
  observer.loopStarted = [] { say("EMClustering ......\n"); };
  observer.iterationStarted = [](int32_t iteration) { say(formatMessage("%dth iteration ...\n", iteration).c_str()); };
  observer.iterationDone = [](int32_t iteration, double logLikelihood) {
    note(iterationNote(iteration, logLikelihood));
  };
  observer.loopEnded = [&args, &summary](const RunSummary& loop) {
    summary = loop;
    note(loopEndNote(loop, args.epsilonLikelihood));
  };
  observer.coverageMeasured = [&summary](double coverage) {
    summary.coverage = coverage;
    say(formatMessage("\nData Coverage of microclusters: %.2f\n\n", coverage).c_str());
  };
  observer.expansionStarted = [] { say("Cluster Expanding ...... \n"); };
  observer.microclusterPlaced = [](int32_t placed, int32_t K) {
    say(formatMessage("\r\t%lld%% [%d of %d microclusters]", 100LL * placed / K, placed, K).c_str());
  };
  return observer;
}

FitResult runOnDataFile(const RunSettings& settings, const char* dataFile, std::vector<float> startMeans,
                        const FitObserver& observer, const RunOutputs* outputs) {
  const TextFileSource data(dataFile, settings.d, settings.N);
  return runPipeline(settings, data, std::move(startMeans), observer, outputs);
}

// A process that does not lead the run computes its part and is silent.
int runAsHelper(const Arguments& args, Kernels kernels, const DriverRole& role) {
  const RunSettings settings = runSettings(args, kernels, isaFromEnvironment().isa);
  try {
    role.run(settings, args.dataFile, readStartMeans(args.microclusFile, args.K, args.d), FitObserver{}, nullptr);
  } catch (const LowCoverageError&) {
    return kExitInvalid;
  }
  return 0;
}

int runChecked(int argc, char** argv, Kernels kernels, const DriverRole& role) {
  const Arguments args = readArguments(argc, argv);
  if (!role.leader) return runAsHelper(args, kernels, role);
  const IsaChoice isa = isaFromEnvironment();
  if (!isa.warning.empty()) note(isa.warning);
  refuseInputThatIsAnOutput("datafile", args.dataFile);
  refuseInputThatIsAnOutput("microclus file", args.microclusFile);

  const std::vector<std::string> names = {kMembershipName, kExpandOutputName, kEmOutputName};
  OutputSet outputs(names);
  const std::string busy = outputs.prepare();
  if (!busy.empty()) throw Error(ErrorKind::Output, busy, kExitFailure);

  // Under a file-size limit (ulimit -f) a write past it would kill the run by
  // a signal, silently; ignored, the write fails instead and the writer
  // reports it.
  std::signal(SIGXFSZ, SIG_IGN);

  RunTimer timer;
  timer.start();
  const auto started = std::chrono::steady_clock::now();
  RunSummary summary;
  const FitObserver observer = consoleObserver(args, summary);
  const RunOutputs targets{outputs.target(0), outputs.target(1), outputs.target(2)};
  try {
    const RunSettings settings = runSettings(args, kernels, isa.isa);
    std::vector<float> startMeans = readStartMeans(args.microclusFile, args.K, args.d);
    summary = (role.run ? role.run : runOnDataFile)(settings, args.dataFile, std::move(startMeans), observer, &targets)
                  .summary;
  } catch (const LowCoverageError& error) {
    std::fputs(error.what(), stdout);
    std::fflush(stdout);
    note(lowCoverageAdvice(summary, args.N));
    return failedRun("", kExitInvalid);
  }
  const std::string problem = outputs.commit();
  if (!problem.empty()) throw Error(ErrorKind::Output, problem, kExitFailure);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
  timer.stop();
  note(runSummaryNote(summary, args.N, args.K, names, wall.count()));
  return 0;
}

}  // namespace

int runDriver(int argc, char** argv, Kernels kernels) { return runDriver(argc, argv, kernels, DriverRole{}); }

int runDriver(int argc, char** argv, Kernels kernels, const DriverRole& role) {
  try {
    return runChecked(argc, argv, kernels, role);
  } catch (const Error& error) {
    if (role.leader) return failedRun(error.what(), error.status());
    if (role.failedSilently) role.failedSilently(error.what());
    return error.status();
  } catch (const std::bad_alloc&) {
    if (!role.leader) {
      if (role.failedSilently) role.failedSilently("Not enough memory for the working storage of the run!!\n");
      return kExitFailure;
    }
    // A request of the working storage (the named arrays report themselves).
    return failedRun("Not enough memory for the working storage of the run!!\n", kExitFailure);
  }
}

}  // namespace zelmor
