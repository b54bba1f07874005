#include "app/run_notes.h"

#include <cstdarg>
#include <cstdio>

#include "fit/em_constants.h"
#include "kernels/density_constants.h"

namespace zelmor {

namespace {

constexpr size_t kListedChains = 20;
constexpr const char* kStandardiseAdvice =
    "zelmor: remedy: standardise the columns of the data (zelmor-seed --standardize FILE writes a\n"
    "        standardised copy of the data and centres), then run again on the copy.\n";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

const char* plural(int64_t count) { return count == 1 ? "" : "s"; }

std::string loopState(const RunSummary& summary) {
  if (summary.iterations == 0) return "no iteration ran";
  return format("%d iteration%s, %s", summary.iterations, plural(summary.iterations),
                summary.converged ? "converged" : "stopped at MaxLoopNum");
}

std::string seconds(double wall) {
  if (wall < 10.0) return format("%.3f s", wall);
  if (wall < 1000.0) return format("%.1f s", wall);
  return format("%.0f s", wall);
}

std::string chainsNote(const std::vector<int32_t>& sizes) {
  std::string text = format("zelmor: %zu chain%s, sizes:", sizes.size(), plural(static_cast<int64_t>(sizes.size())));
  for (size_t i = 0; i < sizes.size() && i < kListedChains; ++i) text += format(" %d", sizes[i]);
  if (sizes.size() > kListedChains) text += format(" ... (%zu more)", sizes.size() - kListedChains);
  return text + "\n";
}

// A fit collapses when the data's units are tiny: every point sits well
// inside a unit covariance, and one microcluster takes them all.
std::string collapseWarning(const RunSummary& summary, int32_t K) {
  std::string what;
  if (summary.meansEqual) {
    what = format("all %d means are equal", K);
  } else if (K > 1 && int64_t{summary.emptyClusters} * 2 > K) {
    what = format("%d of %d microclusters are no point's most probable", summary.emptyClusters, K);
  } else {
    return "";
  }
  return "zelmor: warning: the fit collapsed: " + what +
         ".\n"
         "zelmor: the usual cause is data in tiny units, which collapse into one mean.\n" +
         kStandardiseAdvice;
}

}  // namespace

std::string iterationNote(int32_t iteration, double logLikelihood) {
  return format("zelmor: iteration %d: log-likelihood %.6g\n", iteration, logLikelihood);
}

std::string loopEndNote(const RunSummary& summary, double epsilonLikelihood) {
  if (summary.iterations == 0) {
    return epsilonLikelihood >= kInitialLogLikelihood
               ? format("zelmor: no EM iteration ran: epsilon_likelihood %g is %g or more\n", epsilonLikelihood,
                        static_cast<double>(kInitialLogLikelihood))
               : std::string("zelmor: no EM iteration ran: MaxLoopNum is 0\n");
  }
  if (summary.converged) {
    return format("zelmor: converged after %d iteration%s (last change %.3g, within epsilon_likelihood %g)\n",
                  summary.iterations, plural(summary.iterations), summary.lastChange, epsilonLikelihood);
  }
  return format(
      "zelmor: stopped at MaxLoopNum after %d iteration%s without converging (last change %.3g, above "
      "epsilon_likelihood %g)\n",
      summary.iterations, plural(summary.iterations), summary.lastChange, epsilonLikelihood);
}

std::string lowCoverageAdvice(const RunSummary& summary, int32_t N) {
  std::string text = format(
      "zelmor: the microclusters cover %.2f of %d points (%.1f%%, 95%% needed); no output file was written, and "
      "earlier ones are left as they were.\n",
      summary.coverage, N, N > 0 ? 100.0 * summary.coverage / N : 0.0);
  if (summary.iterations == 0) {
    return text +
           "zelmor: no EM iteration ran, so no point was reached: MaxLoopNum must be above 0 and "
           "epsilon_likelihood below 100000.\n";
  }
  text += format(
      "zelmor: the usual cause is the data's scale: every fit starts from unit covariances, and a point whose\n"
      "        quadratic form passes %g counts as density zero, so data in large units is mostly uncovered.\n",
      static_cast<double>(kDensityCutoff));
  return text + kStandardiseAdvice + "        Centres that lie nearer the data, or fewer far-off points, help too.\n";
}

std::string runSummaryNote(const RunSummary& summary, int32_t N, int32_t K, const std::vector<std::string>& files,
                           double wallSeconds) {
  std::string text =
      format("zelmor: summary: %s; %.2f of %d points covered; %lld unassigned (-1); %d of %d microclusters empty\n",
             loopState(summary).c_str(), summary.coverage, N, static_cast<long long>(summary.unassigned),
             summary.emptyClusters, K);
  text += chainsNote(summary.chainSizes);
  std::string names;
  for (const std::string& file : files) names += (names.empty() ? "" : ", ") + file;
  text += "zelmor: wrote " + names + " in " + seconds(wallSeconds) + "\n";
  return text + collapseWarning(summary, K);
}

}  // namespace zelmor
