// The calling thread's CPU time as a clock: the machine is shared, and time spent descheduled would
// swamp the ratios the benchmarks report.
#pragma once

#include <chrono>
#include <ctime>

namespace tarvell::bench {

// Seconds of CPU time the calling thread has used.
inline double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct ThreadClock {
  using time_point = std::chrono::duration<double>;
  static time_point now() { return time_point(ThreadSeconds()); }
};

}  // namespace tarvell::bench
