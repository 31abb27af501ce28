#ifndef APP_FLEET_OPTIONS_H_
#define APP_FLEET_OPTIONS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The fleet run's own options, read from the command line: the list, /v:,
// /jobs:, /report:, /retry:, /wait:, and the bounds on what is down at once
// and when the run stops starting routers: /down:, /maxfail: and /until:;
// and the preflight, /check:y.

constexpr char kListPrefix[] = "/list:";
// The preflight's option: a fleet option only.
constexpr char kCheckPrefix[] = "/check:";
constexpr int kMinJobs = 1;
constexpr int kMaxJobs = 256;
// Measured with bench/fleet.sh: on routers that answer at once (1000
// simulator routers, 200 sshd ones) 8 to 128 at once take the same time and
// the same CPU per router; on 1000 routers that wait 50 ms before each step,
// as distant ones do, 8, 16, 32, 64 and 128 take 51, 26, 13, 7 and 4 s, at
// about 2 ms of CPU a router whatever the number and about 0.3 MB a job.
// 64 halves 32's time there for about 11 MB; 128 would save 3 s more for
// 20 MB more.
constexpr int kDefaultJobs = 64;

struct FleetOptions {
  std::string listPath;  // "-" for standard input
  bool verbose = true;
  int jobs = kDefaultJobs;
  std::string reportPath;  // empty: no report
  std::string retryPath;   // empty: no retry list
  bool hasWait = false;
  std::string wait;
  int down = 0;              // 0: no bound; else at most this many not yet back
  int64_t maxFailCount = -1;  // below 0: no count bound
  int maxFailPercent = -1;    // below 0: no percentage bound
  int untilMinute = -1;       // below 0: no window; else HH * 60 + MM, local time
  // /check:y, the preflight: every router is contacted up to an open
  // channel and none is sent the command.
  bool check = false;
};

constexpr int64_t kMaxDown = 1000000;
constexpr int64_t kMaxFailCount = 1000000;

/// True when failed routers out of total exceed the /maxfail: bound, so no
/// further router may start.
bool FailuresExceedBound(const FleetOptions& options, int64_t failed, int64_t total);

/// True when the first parameter starts the fleet mode.
bool IsFleetInvocation(std::u16string_view firstParam);

/// Reads the fleet's options from the parameters after the program's name
/// (params[0] is the /list: one). On a refused parameter returns false with
/// error naming it.
bool ReadFleetOptions(const std::vector<std::u16string>& params,
                      FleetOptions* options, std::string* error);

#endif  // APP_FLEET_OPTIONS_H_
