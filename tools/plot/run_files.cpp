// Line-by-line reading of zelmor's output files through NumberScanner, with
// the checks that the files hold what a completed run writes.
#include "plot/run_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>

#include "common/rng.h"
#include "common/tool_support.h"
#include "io/number_scanner.h"

namespace zelmor::tools {

namespace {

// Seed of the drawn sample: fixed, so the same run always gives the same picture.
constexpr uint64_t kSampleSeed = 20240607;

std::string describe(ScanStatus status, const NumberScanner& in) {
  if (status == ScanStatus::ReadError) return std::string("cannot be read (") + std::strerror(in.readError()) + ")";
  return "\"" + in.token() + "\" " + (status == ScanStatus::NotFinite ? "is not a finite number" : "is not a number");
}

// The numbers of a file, one line at a time: the output files hold one
// record or point per line.
class LineReader {
 public:
  explicit LineReader(std::string path) : path_(std::move(path)) {
    errno = 0;
    if (!in_.open(path_.c_str())) throw ToolError(openFailure(path_, errno));
  }

  // The values of the next line that holds any; false at the end of the file.
  bool next(std::vector<float>& values) {
    values.clear();
    if (!havePending_ && !read()) return false;
    line_ = pendingLine_;
    values.push_back(pending_);
    havePending_ = false;
    while (read()) {
      if (pendingLine_ != line_) return true;
      values.push_back(pending_);
      havePending_ = false;
    }
    return true;
  }

  int64_t line() const { return line_; }
  const std::string& path() const { return path_; }
  [[noreturn]] void fail(const std::string& what) const {
    throw ToolError(path_ + ", line " + std::to_string(line_) + ": " + what);
  }

 private:
  bool read() {
    const ScanStatus status = in_.next(pending_);
    if (status == ScanStatus::End) return false;
    if (status != ScanStatus::Ok) {
      throw ToolError(path_ + ", line " + std::to_string(in_.line()) + ": " + describe(status, in_));
    }
    pendingLine_ = in_.line();
    havePending_ = true;
    return true;
  }

  NumberScanner in_;
  std::string path_;
  float pending_ = 0.0f;
  int64_t pendingLine_ = 0;
  bool havePending_ = false;
  int64_t line_ = 0;
};

bool isIndex(float value, int64_t limit) {
  return value >= 0.0f && value < static_cast<float>(limit) && std::floor(value) == value;
}

// Running mean and sum of squared deviations (Welford), in double precision.
void addTo(double x, int64_t n, double& mean, double& m2) {
  const double delta = x - mean;
  mean += delta / static_cast<double>(n);
  m2 += delta * (x - mean);
}

}  // namespace

std::vector<double> unitPrincipals(const Expansion& expansion) {
  const size_t d = static_cast<size_t>(expansion.d);
  std::vector<double> units(expansion.records.size() * d, 0.0);
  for (const ExpansionRecord& r : expansion.records) {
    double length = 0.0;
    for (float v : r.principal) length += static_cast<double>(v) * v;
    length = std::sqrt(length);
    if (length == 0.0) continue;
    for (size_t j = 0; j < d; ++j) units[static_cast<size_t>(r.index) * d + j] = r.principal[j] / length;
  }
  return units;
}

Expansion readExpansion(const std::string& path) {
  LineReader in(path);
  Expansion e;
  std::vector<float> values;
  size_t length = 0;
  while (in.next(values)) {
    if (e.records.empty()) {
      // A record: the level, the index and the d x d orientation block.
      const auto d = static_cast<int64_t>(std::llround(std::sqrt(static_cast<double>(values.size()) - 2.0)));
      if (values.size() < 3 || static_cast<size_t>(d * d) + 2 != values.size()) {
        in.fail("holds " + std::to_string(values.size()) +
                " numbers; a record holds the joining level, the microcluster index and d x d orientation numbers");
      }
      e.d = static_cast<int32_t>(d);
      length = values.size();
    } else if (values.size() != length) {
      in.fail("holds " + std::to_string(values.size()) + " numbers, where the first record holds " +
              std::to_string(length));
    }
    if (!isIndex(values[1], INT32_MAX)) in.fail("the microcluster index is not a whole number of 0 or more");
    ExpansionRecord r;
    r.level = values[0];
    r.index = static_cast<int32_t>(values[1]);
    r.principal.assign(values.end() - e.d, values.end());
    e.records.push_back(std::move(r));
  }
  if (e.records.empty()) throw ToolError(path + ": holds no records");
  const size_t K = e.records.size();
  std::vector<bool> seen(K, false);
  for (const ExpansionRecord& r : e.records) {
    if (static_cast<size_t>(r.index) >= K || seen[static_cast<size_t>(r.index)]) {
      throw ToolError(path + ": the indices of its " + std::to_string(K) + " records are not 0 to " +
                      std::to_string(K - 1) + " each once (microcluster " + std::to_string(r.index) + ")");
    }
    seen[static_cast<size_t>(r.index)] = true;
  }
  return e;
}

RunData readRunData(const std::string& emPath, const std::string& membershipPath, const Expansion& expansion,
                    int64_t maxPoints, std::vector<int32_t>* memberships) {
  const size_t d = static_cast<size_t>(expansion.d);
  const size_t K = expansion.records.size();
  LineReader em(emPath);
  NumberScanner membership;
  if (!membershipPath.empty()) {
    errno = 0;
    if (!membership.open(membershipPath.c_str())) throw ToolError(openFailure(membershipPath, errno));
  }

  RunData run;
  if (memberships != nullptr) memberships->clear();
  run.lo.assign(d, INFINITY);
  run.hi.assign(d, -INFINITY);
  run.mean.assign(d, 0.0);
  run.variance.assign(d, 0.0);  // the sum of squared deviations until the end
  run.means.assign(K * d, 0.0f);
  run.memberCount.assign(K, 0);
  run.axisFrom.assign(K, 0.0);
  run.axisTo.assign(K, 0.0);
  // Projections of each microcluster's points on its principal axis: their
  // mean and sum of squared deviations, by microcluster index.
  const std::vector<double> units = unitPrincipals(expansion);
  std::vector<double> alongMean(K, 0.0), alongM2(K, 0.0);
  Rng rng(kSampleSeed);
  std::vector<int64_t> positions;  // of the sampled points, for putting them back in file order
  std::vector<int32_t> members;
  std::vector<float> values;
  size_t records = 0;
  while (em.next(values)) {
    if (values.size() == d && records == 0) {
      const int64_t i = run.pointCount++;
      for (size_t j = 0; j < d; ++j) {
        run.lo[j] = std::min(run.lo[j], static_cast<double>(values[j]));
        run.hi[j] = std::max(run.hi[j], static_cast<double>(values[j]));
        addTo(values[j], i + 1, run.mean[j], run.variance[j]);
      }
      int32_t member = -1;
      if (!membershipPath.empty()) {
        float m = 0.0f;
        const ScanStatus status = membership.next(m);
        if (status == ScanStatus::End) {
          throw ToolError(membershipPath + ": holds " + std::to_string(i) + " lines, fewer than the points of " +
                          emPath);
        }
        if (status != ScanStatus::Ok) {
          throw ToolError(membershipPath + ", line " + std::to_string(membership.line()) + ": " +
                          describe(status, membership));
        }
        if (m != -1.0f && !isIndex(m, static_cast<int64_t>(K))) {
          throw ToolError(membershipPath + ", line " + std::to_string(membership.line()) +
                          ": names no microcluster (nor -1)");
        }
        member = static_cast<int32_t>(m);
        if (memberships != nullptr) memberships->push_back(member);
      }
      if (member >= 0) {
        const size_t k = static_cast<size_t>(member);
        double along = 0.0;
        for (size_t j = 0; j < d; ++j) along += values[j] * units[k * d + j];
        addTo(along, ++run.memberCount[k], alongMean[k], alongM2[k]);
      }
      // Algorithm R: each point is kept with the same probability.
      size_t slot = positions.size();
      if (i >= maxPoints) {
        slot = static_cast<size_t>(rng.below(static_cast<uint64_t>(i) + 1));
        if (slot >= static_cast<size_t>(maxPoints)) continue;
      }
      if (slot == positions.size()) {
        positions.push_back(i);
        members.push_back(member);
        run.sample.insert(run.sample.end(), values.begin(), values.end());
      } else {
        positions[slot] = i;
        members[slot] = member;
        std::copy(values.begin(), values.end(), run.sample.begin() + static_cast<ptrdiff_t>(slot * d));
      }
    } else if (values.size() == 2 * d + 1) {
      if (records == K) em.fail("holds more microcluster lines than the " + std::to_string(K) + " of the expansion");
      const float index = values[2 * d];
      if (!isIndex(index, static_cast<int64_t>(K)) || static_cast<int32_t>(index) != expansion.records[records].index) {
        em.fail("the microcluster line does not match line " + std::to_string(records + 1) + " of the expansion file");
      }
      std::copy_n(values.begin(), d, run.means.begin() + static_cast<ptrdiff_t>(expansion.records[records].index * d));
      ++records;
    } else {
      em.fail("holds " + std::to_string(values.size()) + " numbers; a point holds " + std::to_string(d) +
              " and a microcluster line " + std::to_string(2 * d + 1));
    }
  }
  if (records != K) {
    throw ToolError(emPath + ": holds " + std::to_string(records) + " microcluster lines, not the " +
                    std::to_string(K) + " of the expansion (an unfinished run?)");
  }
  if (!membershipPath.empty() && !membership.atEnd()) {
    throw ToolError(membershipPath + ": holds more lines than the " + std::to_string(run.pointCount) + " points of " +
                    emPath);
  }

  for (double& v : run.variance) v /= static_cast<double>(std::max<int64_t>(run.pointCount, 1));
  for (size_t k = 0; k < K; ++k) {
    if (run.memberCount[k] == 0) continue;
    double meanAlong = 0.0;
    for (size_t j = 0; j < d; ++j) meanAlong += run.means[k * d + j] * units[k * d + j];
    const double centre = alongMean[k] - meanAlong;
    const double sd = std::sqrt(alongM2[k] / static_cast<double>(run.memberCount[k]));
    run.axisFrom[k] = centre - 2.0 * sd;
    run.axisTo[k] = centre + 2.0 * sd;
  }

  std::vector<size_t> order(positions.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return positions[a] < positions[b]; });
  std::vector<float> sample(run.sample.size());
  for (size_t i = 0; i < order.size(); ++i) {
    std::copy_n(run.sample.begin() + static_cast<ptrdiff_t>(order[i] * d), d,
                sample.begin() + static_cast<ptrdiff_t>(i * d));
    if (!membershipPath.empty()) run.sampleMembership.push_back(members[order[i]]);
  }
  run.sample = std::move(sample);
  return run;
}

}  // namespace zelmor::tools
