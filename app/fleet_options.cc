#include "app/fleet_options.h"

#include <cstdint>
#include <utility>

#include "app/command_line.h"
#include "base/numbers.h"

namespace {

constexpr char kVerbosePrefix[] = "/v:";
constexpr char kJobsPrefix[] = "/jobs:";
constexpr char kReportPrefix[] = "/report:";
constexpr char kRetryPrefix[] = "/retry:";
constexpr char kWaitPrefix[] = "/wait:";
constexpr char kDownPrefix[] = "/down:";
constexpr char kMaxFailPrefix[] = "/maxfail:";
constexpr char kUntilPrefix[] = "/until:";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The options' prefixes are ASCII: each unit is compared as one byte.
std::string Narrow(std::u16string_view wide) {
  std::string bytes;
  for (char16_t c : wide) bytes.push_back(static_cast<char>(c));
  return bytes;
}

// HH:MM, 00:00 to 23:59 (one digit for the hour is taken too), as minutes
// since midnight.
bool ParseClockTime(std::string_view text, int* minute) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2 ||
      text.size() != colon + 3) {
    return false;
  }
  int64_t hour = 0;
  int64_t minutes = 0;
  if (!ParseDecimal(text.substr(0, colon), 0, 23, &hour) ||
      !ParseDecimal(text.substr(colon + 1), 0, 59, &minutes)) {
    return false;
  }
  *minute = static_cast<int>(hour * 60 + minutes);
  return true;
}

// N (a count of failed routers) or P% (of the list, 0 to 100).
bool ParseMaxFail(std::string_view text, FleetOptions* read) {
  int64_t value = 0;
  if (!text.empty() && text.back() == '%') {
    if (!ParseDecimal(text.substr(0, text.size() - 1), 0, 100, &value)) return false;
    read->maxFailPercent = static_cast<int>(value);
    read->maxFailCount = -1;
    return true;
  }
  if (!ParseDecimal(text, 0, kMaxFailCount, &value)) return false;
  read->maxFailCount = value;
  read->maxFailPercent = -1;
  return true;
}

}  // namespace

bool FailuresExceedBound(const FleetOptions& options, int64_t failed, int64_t total) {
  if (options.maxFailCount >= 0 && failed > options.maxFailCount) return true;
  return options.maxFailPercent >= 0 && failed * 100 > options.maxFailPercent * total;
}

bool IsFleetInvocation(std::u16string_view firstParam) {
  return StartsWith(Narrow(firstParam), kListPrefix);
}

bool ReadFleetOptions(const std::vector<std::u16string>& params,
                      FleetOptions* options, std::string* error) {
  FleetOptions read;
  if (params.empty() || !IsFleetInvocation(params[0])) {
    *error = "the first argument must be /list:FILE";
    return false;
  }
  // Paths in the program's 8-bit encoding, as the file calls take them.
  read.listPath = ToNarrow(params[0]).substr(sizeof kListPrefix - 1);
  if (read.listPath.empty()) {
    *error = "/list: names no file";
    return false;
  }
  for (size_t i = 1; i < params.size(); ++i) {
    const std::string param = Narrow(params[i]);
    if (StartsWith(param, kVerbosePrefix)) {
      std::string value = Narrow(LowerText(params[i])).substr(3);
      if (value != "y" && value != "n") {
        *error = "unknown argument \"" + param + "\": /v: takes y or n";
        return false;
      }
      read.verbose = value == "y";
    } else if (StartsWith(param, kJobsPrefix)) {
      int64_t jobs = 0;
      if (ParseDecimal(param.substr(sizeof kJobsPrefix - 1), kMinJobs, kMaxJobs, &jobs)) {
        read.jobs = static_cast<int>(jobs);
      } else {
        *error = "unknown argument \"" + param + "\": /jobs: takes 1 to 256";
        return false;
      }
    } else if (StartsWith(param, kReportPrefix)) {
      read.reportPath = ToNarrow(params[i]).substr(sizeof kReportPrefix - 1);
      if (read.reportPath.empty()) {
        *error = "unknown argument \"" + param + "\": /report: names no file";
        return false;
      }
    } else if (StartsWith(param, kRetryPrefix)) {
      read.retryPath = ToNarrow(params[i]).substr(sizeof kRetryPrefix - 1);
      if (read.retryPath.empty()) {
        *error = "unknown argument \"" + param + "\": /retry: names no file";
        return false;
      }
      // "-" is standard input or output elsewhere; a file of that name
      // would surprise.
      if (read.retryPath == "-") {
        *error = "unknown argument \"" + param + "\": /retry: names a file, not standard output";
        return false;
      }
    } else if (StartsWith(param, kWaitPrefix)) {
      read.hasWait = true;
      read.wait = param.substr(sizeof kWaitPrefix - 1);
    } else if (StartsWith(param, kDownPrefix)) {
      int64_t down = 0;
      if (!ParseDecimal(param.substr(sizeof kDownPrefix - 1), 1, kMaxDown, &down)) {
        *error = "unknown argument \"" + param + "\": /down: takes 1 to " +
                 std::to_string(kMaxDown);
        return false;
      }
      read.down = static_cast<int>(down);
    } else if (StartsWith(param, kMaxFailPrefix)) {
      if (!ParseMaxFail(std::string_view(param).substr(sizeof kMaxFailPrefix - 1), &read)) {
        *error = "unknown argument \"" + param +
                 "\": /maxfail: takes a count of routers or a percentage from 0% to 100%";
        return false;
      }
    } else if (StartsWith(param, kUntilPrefix)) {
      if (!ParseClockTime(std::string_view(param).substr(sizeof kUntilPrefix - 1),
                          &read.untilMinute)) {
        *error = "unknown argument \"" + param + "\": /until: takes a local time HH:MM";
        return false;
      }
    } else if (StartsWith(param, kCheckPrefix)) {
      const std::string value = Narrow(LowerText(params[i])).substr(sizeof kCheckPrefix - 1);
      if (value != "y" && value != "n") {
        *error = "unknown argument \"" + param + "\": /check: takes y (contact every router, "
                 "reboot none) or n";
        return false;
      }
      read.check = value == "y";
    } else if (StartsWith(param, "/pw:")) {
      // The refusal is shown and logged: a password given here is not
      // repeated in it.
      *error = "unknown argument \"/pw:...\": passwords belong in the list file";
      return false;
    } else {
      *error = "unknown argument \"" + param + "\"";
      return false;
    }
  }
  // Checked together, before anything is contacted: a bound on routers down
  // means nothing when nobody watches them come back.
  if (read.down > 0 && !read.hasWait) {
    *error = "/down: needs /wait:, which tells when a router is back";
    return false;
  }
  *options = std::move(read);
  return true;
}
