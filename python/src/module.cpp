// zelmor._zelmor: the engine for the Python package. Arrays arrive as
// C-contiguous float32 (the package converts them once); every call that does
// real work releases the GIL. Engine errors become Python exceptions through
// one translator; an interrupt (Ctrl-C) seen during a fit stops the run and
// comes back as KeyboardInterrupt.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "common/rng.h"
#include "common/tool_support.h"
#include "engine/engine.h"
#include "fit/scoring.h"
#include "io/point_stream.h"
#include "runtime/error.h"
#include "runtime/thread_pool.h"
#include "seed/seeding.h"

namespace py = pybind11;
using namespace zelmor;

namespace {

using FloatArray = py::array_t<float, py::array::c_style>;
using IntArray = py::array_t<int32_t, py::array::c_style>;

template <class T>
py::array_t<T> toArray(const std::vector<T>& values, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(shape);
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

std::string withoutLineEnd(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

[[noreturn]] void raiseWith(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// The Python exception of an engine error, with the engine's message.
[[noreturn]] void raiseError(const Error& e) {
  const std::string message = withoutLineEnd(e.what());
  switch (e.kind()) {
    case ErrorKind::Invalid:
      raiseWith(PyExc_ValueError, message);
    case ErrorKind::LowCoverage: {
      const auto& low = static_cast<const LowCoverageError&>(e);
      const py::object type = py::module_::import("zelmor._errors").attr("LowCoverageError");
      PyErr_SetObject(type.ptr(), type(message, low.coverage()).ptr());
      throw py::error_already_set();
    }
    case ErrorKind::Memory:
      raiseWith(PyExc_MemoryError, message);
    case ErrorKind::Input:
    case ErrorKind::Output:
      raiseWith(PyExc_OSError, message);
    default:
      raiseWith(PyExc_RuntimeError, message);
  }
}

[[noreturn]] void raiseOpenFailure(const std::string& path) {
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

RunSettings settingsFor(int64_t N, int32_t d, int32_t K, const py::dict& options) {
  RunSettings s;
  s.K = K;
  s.d = d;
  s.N = static_cast<int32_t>(N);
  s.epsilon_likelihood = options["epsilon_likelihood"].cast<float>();
  s.epsilon_coshare = options["epsilon_coshare"].cast<float>();
  s.maxLoopNum = options["max_iter"].cast<int32_t>();
  s.basedim = options["basedim"].cast<int32_t>();
  s.kernels = options["kernels"].cast<std::string>() == "plain" ? Kernels::Plain : Kernels::Fast;
  s.threads = options["n_threads"].cast<int32_t>();
  return s;
}

// Asks Python, at most every few milliseconds, whether a signal arrived; its
// handler (KeyboardInterrupt for Ctrl-C) then leaves the error set. Python
// runs signal handlers on its main thread only: a fit started from another
// thread is not interrupted.
class InterruptCheck {
 public:
  bool operator()() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(20)) return false;
    last_ = now;
    py::gil_scoped_acquire gil;
    interrupted_ = PyErr_CheckSignals() != 0;
    return interrupted_;
  }
  bool interrupted() const { return interrupted_; }

 private:
  std::chrono::steady_clock::time_point last_{};
  bool interrupted_ = false;
};

py::dict resultDict(const FitResult& r) {
  const py::ssize_t K = r.K, d = r.d, N = static_cast<py::ssize_t>(r.N);
  const auto length = [](const auto& v) { return std::vector<py::ssize_t>{static_cast<py::ssize_t>(v.size())}; };
  py::dict out;
  out["means"] = toArray(r.means, {K, d});
  out["covariances"] = toArray(r.covariances, {K, d * (d + 1) / 2});
  out["weight_sums"] = toArray(r.weightSums, {K});
  out["log_likelihoods"] = toArray(r.logLikelihoods, length(r.logLikelihoods));
  out["labels"] = toArray(r.labels, {N});
  out["co_share_levels"] = toArray(r.coShareLevels, length(r.coShareLevels));
  out["expansion_order"] = toArray(r.expansionOrder, {K});
  out["joining_levels"] = toArray(r.joiningLevels, {K});
  out["orientations"] = toArray(r.orientations, {K, d, d});
  out["chain_sizes"] = toArray(r.summary.chainSizes, length(r.summary.chainSizes));
  out["iterations"] = r.summary.iterations;
  out["converged"] = r.summary.converged;
  out["coverage"] = r.summary.coverage;
  return out;
}

py::dict fitSource(const PointSource& source, const FloatArray& centres, const py::dict& options) {
  const RunSettings settings =
      settingsFor(source.pointCount(), source.dimension(), static_cast<int32_t>(centres.shape(0)), options);
  std::vector<float> start(centres.data(), centres.data() + centres.size());
  InterruptCheck interrupt;
  FitObserver observer;
  observer.stopRequested = [&interrupt] { return interrupt(); };
  FitResult result;
  try {
    py::gil_scoped_release release;
    result = runPipeline(settings, source, std::move(start), observer);
  } catch (const Error& e) {
    if (interrupt.interrupted()) throw py::error_already_set();
    raiseError(e);
  }
  // A signal seen by the last poll of a run that then ended on its own.
  if (interrupt.interrupted()) throw py::error_already_set();
  return resultDict(result);
}

py::dict fitMatrix(const FloatArray& X, const FloatArray& centres, const py::dict& options) {
  const MatrixSource source(X.data(), X.shape(0), static_cast<int32_t>(X.shape(1)));
  return fitSource(source, centres, options);
}

py::dict fitTextFile(const std::string& path, int64_t N, int32_t d, const FloatArray& centres,
                     const py::dict& options) {
  const TextFileSource source(path, d, N);
  return fitSource(source, centres, options);
}

// The points of a data file of d values per point, read as zelmor-seed reads
// it; OSError for a file that cannot be opened or is malformed.
int64_t countPoints(const std::string& path, int32_t d) {
  PointStream in(d);
  errno = 0;
  if (!in.open(path.c_str())) raiseOpenFailure(path);
  std::vector<float> point(static_cast<size_t>(d));
  PointStatus status;
  {
    py::gil_scoped_release release;
    while ((status = in.next(point.data())) == PointStatus::Ok) {
    }
  }
  if (status == PointStatus::Bad) raiseWith(PyExc_OSError, path + ": " + in.problem());
  return in.pointsRead();
}

tools::SeedMethod seedMethod(const std::string& method) {
  return method == "uniform" ? tools::SeedMethod::Uniform : tools::SeedMethod::DSquared;
}

// K starting centres among the rows of X, as zelmor-seed chooses them among
// the points of a file holding the same values, for the same seed.
FloatArray chooseCentres(const FloatArray& X, int32_t K, const std::string& method, uint64_t seed) {
  const auto d = static_cast<int32_t>(X.shape(1));
  tools::Centres centres;
  try {
    py::gil_scoped_release release;
    tools::Rng rng(seed);
    centres = tools::chooseCentres(seedMethod(method), X.data(), X.shape(0), d, "X", K, rng);
  } catch (const tools::ToolError& e) {
    raiseWith(PyExc_ValueError, e.what());
  }
  return toArray(centres.values, {K, d});
}

FloatArray chooseCentresFromFile(const std::string& path, int32_t d, int32_t K, const std::string& method,
                                 uint64_t seed) {
  PointStream in(d);
  errno = 0;
  if (!in.open(path.c_str())) raiseOpenFailure(path);
  tools::Centres centres;
  try {
    py::gil_scoped_release release;
    tools::Rng rng(seed);
    centres = tools::chooseCentres(seedMethod(method), in, path, K, rng);
  } catch (const tools::ToolError& e) {
    raiseWith(PyExc_ValueError, e.what());
  }
  return toArray(centres.values, {K, d});
}

// Responsibilities, most probable microclusters and log densities of the rows
// of X under fitted means and packed covariances.
py::tuple score(const FloatArray& X, const FloatArray& means, const FloatArray& covariances, bool firstIteration,
                int threads) {
  const auto n = static_cast<py::ssize_t>(X.shape(0));
  const auto K = static_cast<py::ssize_t>(means.shape(0));
  FloatArray proba({n, K});
  IntArray labels(n);
  py::array_t<double> logDensity(n);
  {
    py::gil_scoped_release release;
    const ModelScorer scorer(means.data(), covariances.data(), static_cast<int32_t>(K),
                             static_cast<int32_t>(means.shape(1)), firstIteration);
    ThreadPool pool(threads > 0 ? threads : defaultThreadCount());
    scorer.score(X.data(), n, proba.mutable_data(), labels.mutable_data(), logDensity.mutable_data(), &pool);
  }
  return py::make_tuple(proba, labels, logDensity);
}

}  // namespace

PYBIND11_MODULE(_zelmor, m) {
  m.doc() = "The zelmor engine; use the zelmor package, not this module.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error& e) {
      try {
        raiseError(e);
      } catch (py::error_already_set& set) {
        set.restore();
      }
    }
  });
  m.def("fit_matrix", &fitMatrix);
  m.def("fit_text_file", &fitTextFile);
  m.def("count_points", &countPoints);
  m.def("choose_centres", &chooseCentres);
  m.def("choose_centres_from_file", &chooseCentresFromFile);
  m.def("fresh_seed", &tools::freshSeed);
  m.def("score", &score);
}
