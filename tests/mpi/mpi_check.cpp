// zelmor-mpi's library run against the lone run, in one MPI job: for every
// case (the stored whole runs, the differential fuzzer's fixed seeds and a
// few damaged data files) the first rank runs runPipeline, then all ranks run
// runDistributedPipeline on the same files; the console callbacks, the three
// files and any error must be the same. Run under mpirun with any number of
// ranks; exits 0 when every case agrees.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "differential/compare.h"
#include "differential/generator.h"
#include "distributed/distributed_pipeline.h"
#include "engine/engine.h"
#include "io/input_files.h"
#include "runtime/error.h"

namespace zelmor {
namespace {

namespace fs = std::filesystem;
using differential::RunCase;

// Everything a run shows: the console callbacks, the error, the files.
struct Outcome {
  std::string trace;
  std::string error;
  std::string files;
};

FitObserver recorder(std::string& trace) {
  FitObserver observer;
  observer.loopStarted = [&trace] { trace += "loop\n"; };
  observer.iterationStarted = [&trace](int32_t i) { trace += formatMessage("iteration %d\n", i); };
  observer.iterationDone = [&trace](int32_t i, double ll) { trace += formatMessage("done %d %a\n", i, ll); };
  observer.loopEnded = [&trace](const RunSummary& s) {
    trace += formatMessage("ended %d %d %a\n", s.iterations, s.converged ? 1 : 0, s.lastChange);
  };
  observer.coverageMeasured = [&trace](double c) { trace += formatMessage("coverage %a\n", c); };
  observer.expansionStarted = [&trace] { trace += "expansion\n"; };
  observer.microclusterPlaced = [&trace](int32_t placed, int32_t K) {
    trace += formatMessage("placed %d %d\n", placed, K);
  };
  return observer;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "(none)";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

RunOutputs outputsIn(const std::string& prefix) {
  return RunOutputs{{"membership.txt", prefix + "membership.txt"},
                    {"output_expand.txt", prefix + "output_expand.txt"},
                    {"output_em.txt", prefix + "output_em.txt"}};
}

// One run, lone (comm null) or shared; the files only where it succeeded.
Outcome runOnce(const Communicator* comm, const RunSettings& settings, const Arguments& args,
                const std::string& prefix) {
  Outcome outcome;
  const RunOutputs outputs = outputsIn(prefix);
  const bool first = comm == nullptr || comm->first();
  const FitObserver observer = first ? recorder(outcome.trace) : FitObserver{};
  try {
    std::vector<float> means = readStartMeans(args.microclusFile, args.K, args.d);
    if (comm == nullptr) {
      const TextFileSource data(args.dataFile, args.d, args.N);
      runPipeline(settings, data, std::move(means), observer, &outputs);
    } else {
      ChainTimes times;
      runDistributedPipeline(*comm, settings, args.dataFile, std::move(means), observer, first ? &outputs : nullptr,
                             times);
    }
    for (const OutputTarget* t : {&outputs.membership, &outputs.expansion, &outputs.em}) {
      outcome.files += readWhole(t->path) + "\n--\n";
    }
  } catch (const Error& error) {
    outcome.error = formatMessage("%d ", error.status()) + error.what();
  }
  return outcome;
}

RunSettings settingsOf(const Arguments& args) {
  RunSettings settings;
  settings.K = args.K;
  settings.d = args.d;
  settings.N = args.N;
  settings.epsilon_likelihood = args.epsilon_likelihood;
  settings.epsilon_coshare = args.epsilon_coshare;
  settings.maxLoopNum = args.maxLoopNum;
  settings.basedim = args.basedim;
  settings.threads = 2;
  return settings;
}

// Compares one case; true where both runs agree (or its arguments are
// refused, the same way by both).
bool checkCase(const Communicator& comm, const RunCase& run, const std::string& folder, int& errors) {
  if (comm.first()) {
    fs::create_directories(folder);
    std::ofstream(folder + "/data.txt", std::ios::binary) << run.data;
    std::ofstream(folder + "/microclus.txt", std::ios::binary) << run.centres;
  }
  comm.barrier();
  std::vector<std::string> words = {"zelmor"};
  words.insert(words.end(), run.args.begin(), run.args.end());
  for (std::string& word : words) {
    if (word == "data.txt" || word == "microclus.txt") word = folder + "/" + word;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  Arguments args;
  try {
    args = readArguments(static_cast<int>(argv.size()), argv.data());
  } catch (const Error&) {
    return true;  // the same code refuses them in both
  }
  Outcome lone;
  if (comm.first()) lone = runOnce(nullptr, settingsOf(args), args, folder + "/lone_");
  const Outcome shared = runOnce(&comm, settingsOf(args), args, folder + "/shared_");
  int agree = 1;
  if (comm.first()) {
    agree = lone.trace == shared.trace && lone.error == shared.error && lone.files == shared.files;
    errors += lone.error.empty() ? 0 : 1;
    if (!agree) {
      std::fprintf(stderr, "DIFFERENT: %s seed %llu (%d ranks)%s%s\n", run.family.c_str(),
                   static_cast<unsigned long long>(run.seed), comm.size(),
                   lone.error != shared.error ? ("\n  lone: " + lone.error + "  shared: " + shared.error).c_str() : "",
                   lone.trace != shared.trace ? " (console)" : "");
    }
    fs::remove_all(folder);
  }
  MPI_Bcast(&agree, 1, MPI_INT, 0, comm.comm());
  return agree != 0;
}

// Damaged data files: too short for #data, one number too many, a token that
// is no number in the last point (the last rank's range); and a run whose
// means send every pass the plain way.
std::vector<RunCase> damagedCases(const RunCase& good) {
  std::vector<RunCase> cases(3, good);
  const size_t cut = good.data.find_last_of(' ', good.data.size() - 3);
  cases[0].data = good.data.substr(0, good.data.size() / 2);
  cases[1].data = good.data + " 1.5\n";
  cases[2].data = good.data.substr(0, cut) + " x1\n";
  for (RunCase& c : cases) c.family = "damaged";
  // Means too large for the fast pass: every pass goes the plain way.
  RunCase& huge = cases.emplace_back(good);
  huge.family = "huge";
  huge.args = {"data.txt", "3", "2", "200", "0.001", "1.0", "microclus.txt", "4", "0"};
  huge.data.clear();
  for (int i = 0; i < 400; ++i) huge.data += formatMessage("%de36 ", 200 + (i * 37) % 100);
  huge.centres = "2.1e38 2.2e38 2.5e38 2.4e38 2.9e38 2.0e38\n";
  return cases;
}

std::vector<RunCase> storedCases(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_directory() && fs::exists(entry.path() / "args.txt")) names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<RunCase> cases;
  for (const std::string& name : names) {
    try {
      cases.push_back(differential::loadCase(name));
    } catch (const std::runtime_error&) {
      continue;  // a case of the argument count, which this run cannot take
    }
    cases.back().family = fs::path(name).filename().string();
  }
  return cases;
}

int checkAll(const Communicator& comm, int seedsPerFamily) {
  std::vector<RunCase> cases = storedCases(std::string(ZELMOR_TEST_DATA) + "/golden");
  for (RunCase& c : storedCases(std::string(ZELMOR_TEST_DATA) + "/differential")) cases.push_back(std::move(c));
  const std::vector<std::string>& families = differential::familyNames();
  for (size_t f = 0; f < families.size(); ++f) {
    for (int i = 0; i < seedsPerFamily; ++i) {
      cases.push_back(differential::generateCase(differential::caseSeed(1000 + f, i), families[f]));
    }
  }
  const RunCase big = differential::generateCase(differential::caseSeed(1000, 0), families[0]);
  for (RunCase& c : damagedCases(big)) cases.push_back(std::move(c));

  std::string folder = "/tmp/zelmor-mpi-check-XXXXXX";
  if (comm.first() && mkdtemp(folder.data()) == nullptr) folder.clear();
  comm.broadcastText(folder, 0);
  if (folder.empty()) return 1;
  int failed = 0;
  int errors = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    failed += checkCase(comm, cases[i], folder + "/case" + std::to_string(i), errors) ? 0 : 1;
  }
  if (comm.first()) {
    fs::remove_all(folder);
    std::fprintf(stderr, "%d ranks: %zu cases (%d of them failed runs), %d different\n", comm.size(), cases.size(),
                 errors, failed);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zelmor

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  // The argument report of every case goes nowhere.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 10;
  int status = 0;
  {
    const zelmor::Communicator comm(MPI_COMM_WORLD);
    status = zelmor::checkAll(comm, seeds);
  }
  MPI_Finalize();
  return status;
}
