#include "app/fleet_text.h"

#include <cstdio>

std::string ElapsedText(double seconds) {
  long whole = seconds < 0 ? 0 : static_cast<long>(seconds);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600,
                  whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

std::string ProgressLine(int total, int done, int failed, int running, int down,
                         double seconds, int held, bool preflight) {
  return (preflight ? "checking " : "rebooting ") + std::to_string(total) +
         (total == 1 ? " router: " : " routers: ") + std::to_string(done) +
         " done, " + std::to_string(failed) + " failed, " +
         std::to_string(running) + " running, " +
         (down >= 0 ? std::to_string(down) + " down, " : std::string()) +
         (held >= 0 ? std::to_string(held) + " waiting, " : std::string()) +
         ElapsedText(seconds);
}

std::string ShortProgressLine(int total, int done, int failed, double seconds) {
  return std::to_string(done) + "/" + std::to_string(total) + " done, " +
         std::to_string(failed) + " failed, " + ElapsedText(seconds);
}

std::string RouterName(std::string_view address, std::string_view port) {
  std::string name(address);
  if (port == "22") return name;
  if (name.find(':') != std::string::npos) name = '[' + name + ']';
  name += ':';
  name += port;
  return name;
}

std::string FinishedLine(const RouterResult& result) {
  std::string line = RouterName(result.address, result.port);
  // An alias is named beside where it went.
  if (!result.givenName.empty()) line.append(" (").append(result.givenName).append(")");
  line.append(" ").append(OutcomeOf(result)).append(" ").append(SecondsText(result.seconds));
  line.append(" s");
  if (!result.reason.empty()) line += ": " + result.reason;
  return line;
}

std::string SummaryLine(int rebooted, int failed, double seconds, int rowsMissing,
                        int rows, int notStarted, std::string_view halt, bool preflight) {
  std::string line = std::to_string(rebooted) + (preflight ? " ready, " : " rebooted, ") +
                     std::to_string(failed) +
                     " failed";
  if (!halt.empty()) line += ", " + std::to_string(notStarted) + " not started";
  line += " in " + ElapsedText(seconds);
  if (!halt.empty()) line.append("; halted: ").append(halt);
  if (rowsMissing > 0) {
    line += "; the report lacks " + std::to_string(rowsMissing) + " of " +
            std::to_string(rows) + " rows";
  }
  return line;
}

int FleetStatus(int failed, bool reportWhole, bool halted) {
  if (!reportWhole) return kExitReportIncomplete;
  if (halted) return kExitHalted;
  return failed == 0 ? 0 : kExitSomeFailed;
}

std::string SameRouterReason(int line) {
  return "the same router as line " + std::to_string(line) + ": not rebooted twice";
}
