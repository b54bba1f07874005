// Point-by-point reading of a data file of unknown length.
#include "io/point_stream.h"

#include <cstdio>
#include <cstring>

namespace zelmor {

PointStatus PointStream::next(float* point) {
  for (int32_t j = 0; j < d_; ++j) {
    const ScanStatus status = in_.next(point[j]);
    if (status == ScanStatus::Ok) continue;
    if (status == ScanStatus::End && j == 0) return PointStatus::End;
    if (status == ScanStatus::ReadError) {
      problem_ = std::string("cannot be read (") + std::strerror(in_.readError()) + ")";
      return PointStatus::Bad;
    }
    char where[160];
    std::snprintf(where, sizeof where, "point %lld, value %d of %d (line %lld)",
                  static_cast<long long>(pointsRead_ + 1), j + 1, d_, static_cast<long long>(in_.line()));
    if (status == ScanStatus::End) {
      problem_ = std::string("the file ends inside ") + where + "; every point must hold #dimension numbers";
    } else {
      problem_ = std::string(where) + ": \"" + in_.token() + "\" " +
                 (status == ScanStatus::NotFinite ? "is not a finite number" : "is not a number");
    }
    return PointStatus::Bad;
  }
  ++pointsRead_;
  return PointStatus::Ok;
}

}  // namespace zelmor
