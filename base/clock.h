#ifndef BASE_CLOCK_H_
#define BASE_CLOCK_H_

#include <chrono>
#include <cstdint>

/// Milliseconds on a clock that only moves forward: for timeouts and
/// deadlines, never for the time of day.
inline int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

#endif  // BASE_CLOCK_H_
