#include "app/fleet_options.h"

#include <cstdint>
#include <utility>

#include "app/command_line.h"
#include "base/numbers.h"

namespace {

constexpr char kVerbosePrefix[] = "/v:";
constexpr char kJobsPrefix[] = "/jobs:";
constexpr char kReportPrefix[] = "/report:";
constexpr char kWaitPrefix[] = "/wait:";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The options' prefixes are ASCII: each unit is compared as one byte.
std::string Narrow(std::u16string_view wide) {
  std::string bytes;
  for (char16_t c : wide) bytes.push_back(static_cast<char>(c));
  return bytes;
}

}  // namespace

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
    } else if (StartsWith(param, kWaitPrefix)) {
      read.hasWait = true;
      read.wait = param.substr(sizeof kWaitPrefix - 1);
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
  *options = std::move(read);
  return true;
}
