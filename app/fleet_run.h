#ifndef APP_FLEET_RUN_H_
#define APP_FLEET_RUN_H_

#include <string>
#include <vector>

/// The fleet run, once the SSH library has started: reads its options
/// (params: the command line's parameters, the /list: one first) and the
/// list, then reboots every router, /jobs: at a time, each on a thread of
/// its own with the single command's whole session. Shows each router as it
/// finishes and the progress in place on a terminal, writes the report's row
/// as each finishes, and a system-log line per router when no terminal
/// watches. /down:, the list's groups, /maxfail: and /until: decide when
/// each router may start; a halted run's rest are not started. The first
/// SIGINT, SIGTERM or SIGHUP stops new starts, a second ends the waits.
/// Returns 0 when every router rebooted, 10 when one did not, 14 when the
/// run was halted, 128 + the signal when it was stopped by one, 13 when the
/// report could not be written whole or the retry list (/retry:) not
/// written, 1 when the options, the list, the report or the retry list's
/// path cannot be used (nothing is contacted then). The retry list is
/// written after the report closes, a halted or stopped run's too. A line whose
/// router turns out at connect time to be one another line already reached
/// is not rebooted again: it fails with 1, naming that line.
int RunFleet(const std::vector<std::u16string>& params);

#endif  // APP_FLEET_RUN_H_
