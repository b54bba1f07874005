// RunTimer: the start line of a run, and at its end the processor and
// wall-clock seconds and the end line.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace zelmor {

struct RunTimer {
  double cpuSeconds = 0.0;
  double realSeconds = 0.0;
  int32_t startTicks = 0;  // process clock at start, milliseconds
  int32_t stopTicks = 0;
  std::time_t startTime = 0;
  std::time_t stopTime = 0;
  std::tm startLocal{};
  std::tm stopLocal{};

  // Records the start readings and prints "start time: ..." and an empty line.
  void start();
  // Records the stop readings and prints the seconds line and "end time: ...".
  void stop();
};

// The fixed 25-character form "Sun Dec 06 08:14:46 2026\n".
std::string formatTimeText(const std::tm& local);

// Process clock in milliseconds, as a signed 32-bit count.
int32_t processClockMillis();

}  // namespace zelmor
