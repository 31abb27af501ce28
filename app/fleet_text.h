#ifndef APP_FLEET_TEXT_H_
#define APP_FLEET_TEXT_H_

#include <string>
#include <string_view>

#include "app/fleet_report.h"

// What a fleet run shows while it runs and when it ends, and its exit
// status. Pure: texts from numbers and results.

/// Elapsed time as m:ss (h:mm:ss past an hour).
std::string ElapsedText(double seconds);

/// "rebooting 120 routers: 37 done, 2 failed, 16 running, 0:07"; under
/// /wait: with the routers that took the answer and are being waited for,
/// "16 running, 40 down, 0:07" (down < 0: no /wait:); with the routers not
/// yet started, held by /down:, a group or a full set of jobs, "16 running,
/// 40 down, 64 waiting, 0:07" (held < 0: the run holds none back). A
/// preflight's begins "checking 120 routers: ".
std::string ProgressLine(int total, int done, int failed, int running, int down,
                         double seconds, int held = -1, bool preflight = false);

/// "37/120 done, 2 failed, 0:07", for a terminal too narrow for the above.
std::string ShortProgressLine(int total, int done, int failed, double seconds);

/// The router as its line names it: the address, with ":port" (the address
/// in brackets when it holds colons) unless the port is 22.
std::string RouterName(std::string_view address, std::string_view port);

/// A finished router's line: router name, outcome, seconds, and the reason
/// (or a ready router's note).
std::string FinishedLine(const RouterResult& result);

/// "118 rebooted, 2 failed in 0:41"; for a halted run "115 rebooted, 3
/// failed, 882 not started in 0:41; halted: more than 2 failed"; when
/// rowsMissing > 0, followed by "; the report lacks 24 of 120 rows". A
/// preflight's counts the routers "ready" in place of "rebooted".
std::string SummaryLine(int rebooted, int failed, double seconds, int rowsMissing = 0,
                        int rows = 0, int notStarted = 0, std::string_view halt = {},
                        bool preflight = false);

/// The fleet's exit status: 0 all rebooted, 10 at least one did not, 14
/// when the run was halted and some routers were never started, 13 when
/// the report could not be written whole or the retry list not written
/// (whatever the routers did: the files no longer tell which); reportWhole
/// false stands for either.
int FleetStatus(int failed, bool reportWhole = true, bool halted = false);

constexpr int kExitHalted = kExitNotStarted;

constexpr int kExitListUnusable = 1;
constexpr int kExitSomeFailed = 10;
constexpr int kExitReportIncomplete = 13;

/// The outcome and reason of a line whose router was reached at connect
/// time as an address and port another line already took in this run.
constexpr int kExitSameRouter = 1;
std::string SameRouterReason(int line);

#endif  // APP_FLEET_TEXT_H_
