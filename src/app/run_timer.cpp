#include "app/run_timer.h"

#include <cstdio>

namespace zelmor {

namespace {

const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm localTimeOf(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}

}  // namespace

std::string formatTimeText(const std::tm& local) {
  char text[64];
  const int weekday = local.tm_wday >= 0 && local.tm_wday < 7 ? local.tm_wday : 0;
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", kWeekdays[weekday], kMonths[month],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
  return text;
}

int32_t processClockMillis() {
  // Wraps like the signed 32-bit tick counter it stands for.
  const std::clock_t ticks = std::clock();
  const long long millis = static_cast<long long>(ticks) * 1000 / CLOCKS_PER_SEC;
  return static_cast<int32_t>(static_cast<uint32_t>(millis));
}

void RunTimer::start() {
  startTicks = processClockMillis();
  startTime = std::time(nullptr);
  startLocal = localTimeOf(startTime);
  std::printf("start time: %s\n", formatTimeText(startLocal).c_str());
  std::fflush(stdout);
}

void RunTimer::stop() {
  stopTime = std::time(nullptr);
  stopTicks = processClockMillis();
  const int32_t elapsedTicks = static_cast<int32_t>(static_cast<uint32_t>(stopTicks) - static_cast<uint32_t>(startTicks));
  cpuSeconds = static_cast<double>(elapsedTicks) * 0.001;
  stopLocal = localTimeOf(stopTime);
  realSeconds = std::difftime(stopTime, startTime);
  std::fputs("\n", stdout);
  std::fflush(stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
  std::printf("%f sec cpu,   %f sec real\n", cpuSeconds, realSeconds);
  std::printf("end time: %s\n", formatTimeText(stopLocal).c_str());
  std::fflush(stdout);
}

}  // namespace zelmor
