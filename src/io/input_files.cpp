#include "io/input_files.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "runtime/error.h"

namespace zelmor {

namespace {

std::string describeBadToken(const NumberScanner& in, ScanStatus status) {
  if (status == ScanStatus::ReadError) {
    return std::string("the file cannot be read (") + std::strerror(in.readError()) + ")";
  }
  return "\"" + in.token() + "\" " + (status == ScanStatus::NotFinite ? "is not a finite number" : "is not a number");
}

}  // namespace

bool readMicroclusters(NumberScanner& in, int32_t K, int32_t d, float* means, std::string& problem) {
  for (int64_t i = 0; i < K; ++i) {
    for (int64_t j = 0; j < d; ++j) {
      float value = 0.0f;
      const ScanStatus status = in.next(value);
      if (status == ScanStatus::Ok) {
        means[i * d + j] = value;
        continue;
      }
      char where[160];
      std::snprintf(where, sizeof where, "microcluster %lld of %d, component %lld of %d (line %lld)",
                    static_cast<long long>(i + 1), K, static_cast<long long>(j + 1), d,
                    static_cast<long long>(in.line()));
      if (status == ScanStatus::End) {
        problem = std::string("the file ends before ") + where + "; it must hold #cluster x #dimension numbers";
      } else {
        problem = std::string(where) + ": " + describeBadToken(in, status);
      }
      return false;
    }
  }
  return true;
}

std::vector<float> readStartMeans(const std::string& path, int32_t K, int32_t d) {
  std::vector<float> means(static_cast<size_t>(K) * d);
  NumberScanner in;
  if (!in.open(path.c_str())) throw Error(ErrorKind::Input, "microclus file Not Opened!", kExitFailure);
  std::string problem;
  if (!readMicroclusters(in, K, d, means.data(), problem)) {
    throw Error(ErrorKind::Input, formatMessage("Error in microclus file %s: %s.\n", path.c_str(), problem.c_str()),
                kExitFailure);
  }
  return means;
}

DataFileReader::DataFileReader(const char* path, int32_t d, int32_t N, const char* openFailureMessage)
    : path_(path), d_(d), N_(N) {
  if (!in_.open(path)) throw Error(ErrorKind::Input, openFailureMessage, kExitFailure);
}

DataFileReader::DataFileReader(std::string text, const char* name, int32_t d, int32_t N) : path_(name), d_(d), N_(N) {
  in_.openText(std::move(text));
}

int64_t DataFileReader::readPoints(float* points, int64_t maxPoints) {
  int64_t count = 0;
  std::string problem;
  if (!tryReadPoints(points, maxPoints, count, problem)) fail(problem);
  return count;
}

void DataFileReader::fail(const std::string& problem) const {
  throw Error(ErrorKind::Input, formatMessage("Error in datafile %s: %s.\n", path_.c_str(), problem.c_str()),
              kExitFailure);
}

bool DataFileReader::tryReadPoints(float* points, int64_t maxPoints, int64_t& count, std::string& problem) {
  count = 0;
  while (count < maxPoints && pointsRead_ < N_) {
    float* x = points + count * d_;
    for (int32_t j = 0; j < d_; ++j) {
      const ScanStatus status = in_.next(x[j]);
      if (status == ScanStatus::Ok) continue;
      char where[160];
      std::snprintf(where, sizeof where, "point %lld of %d, value %d of %d (line %lld)",
                    static_cast<long long>(pointsRead_ + 1), N_, j + 1, d_, static_cast<long long>(in_.line()));
      if (status != ScanStatus::End) {
        problem = std::string(where) + ": " + describeBadToken(in_, status);
      } else if (j > 0) {
        problem = std::string("the file ends inside ") + where;
      } else {
        char shortBy[200];
        std::snprintf(shortBy, sizeof shortBy, "it holds %lld points, but #data is %d",
                      static_cast<long long>(pointsRead_), N_);
        problem = shortBy;
      }
      return false;
    }
    ++pointsRead_;
    ++count;
  }
  if (pointsRead_ == N_ && !in_.atEnd()) {
    char more[200];
    if (in_.readError() != 0) {
      std::snprintf(more, sizeof more, "after point %d (line %lld): the file cannot be read (%s)", N_,
                    static_cast<long long>(in_.line()), std::strerror(in_.readError()));
    } else {
      std::snprintf(more, sizeof more, "it holds more than the %d points given as #data (line %lld has more)", N_,
                    static_cast<long long>(in_.line()));
    }
    problem = more;
    return false;
  }
  return true;
}

}  // namespace zelmor
