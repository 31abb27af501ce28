#ifndef BASE_CLOCK_H_
#define BASE_CLOCK_H_

#include <chrono>
#include <cstdint>
#include <ctime>

/// Milliseconds on a clock that only moves forward: for timeouts and
/// deadlines, never for the time of day.
inline int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

/// The local time of day at when, with the platform's thread-safe call.
inline std::tm LocalTimeOf(std::time_t when) {
  std::tm local = {};
#if defined(_WIN32)
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return local;
}

#endif  // BASE_CLOCK_H_
