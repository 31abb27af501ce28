#include "app/fleet.h"

#include <cstdio>
#include <map>
#include <utility>

#include "app/command_line.h"
#include "base/address_text.h"
#include "base/numbers.h"
#include "base/wipe.h"

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

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds < 0 ? 0.0 : seconds);
  return text;
}

// Reads one line's parameters into router; on a refused one, says why.
bool ReadRouterLine(std::string_view line, FleetRouter* router,
                    std::string* reason) {
  struct Field {
    std::string_view prefix;
    std::string* value;
    bool seen;
  };
  std::string ignoredVerbose;
  Field fields[] = {{"/user:", &router->user, false},
                    {"/pw:", &router->password, false},
                    {"/port:", &router->port, false},
                    {"/v:", &ignoredVerbose, false},
                    {"/ip:", &router->address, false}};
  std::vector<std::string> params;
  bool read = SplitListLine(line, &params, reason);
  for (size_t i = 0; read && i < params.size(); ++i) {
    const std::string& param = params[i];
    const int n = static_cast<int>(i) + 1;
  Field* match = nullptr;
    for (Field& field : fields) {
      if (StartsWith(param, field.prefix)) match = &field;
    }
    if (match == nullptr) {
      // The parameter may be a password written without its prefix: only
      // its position is named.
      *reason = "parameter " + std::to_string(n) +
                " has no known prefix (a value with spaces goes in quotes: /pw:\"two words\")";
      read = false;
    } else if (match->seen) {
      *reason = std::string(match->prefix) + " given twice";
      read = false;
    } else {
      match->seen = true;
      *match->value = param.substr(match->prefix.size());
    }
  }
  for (std::string& param : params) Wipe(&param);
  if (!read) return false;
  // /user: and /port: may be left out, as the single command's may be
  // empty: the SSH configuration's User and Port, or ssh's defaults, apply.
  for (const Field& field : fields) {
    if (!field.seen && (field.prefix == "/pw:" || field.prefix == "/ip:")) {
      *reason = std::string(field.prefix) + " missing";
      return false;
    }
  }
  // The port and the lengths are judged as the single command judges them,
  // so that a line refused there is refused here before any router is
  // contacted, and two spellings of one port are one router.
  const struct {
    std::string_view name;
    const std::string& value;
    size_t most;
  } lengths[] = {{"/user:", router->user, 127},
                 {"/pw:", router->password, 127},
                 {"/port:", router->port, 31},
                 {"/ip:", router->address, 127}};
  for (const auto& length : lengths) {
    if (length.value.size() > length.most) {
      *reason = std::string(length.name) + " is longer than " +
                std::to_string(length.most) + " bytes";
      return false;
    }
  }
  int32_t port = PortFromText(router->port);
  if (port == 0) port = 22;
  if (port < 1 || port > 65535) {
    *reason = "port \"" + router->port + "\" is not 1 to 65535";
    return false;
  }
  router->portNumber = port;
  if (router->address.empty()) {
    *reason = "/ip: is empty";
    return false;
  }
  return true;
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

bool SplitListLine(std::string_view line, std::vector<std::string>* params,
                   std::string* reason) {
  std::vector<std::string> split;
  size_t i = 0;
  bool closed = true;
  while (closed) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    std::string param;
    bool quoted = false;
    bool hadQuote = false;
    for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
      if (line[i] != '"') {
        param += line[i];
      } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        param += '"';
        ++i;
      } else {
        quoted = !quoted;
        hadQuote = true;
      }
    }
    if (quoted) {
      *reason = "a quote is left open (a value with spaces goes in quotes: /pw:\"two words\")";
      closed = false;
    } else if (!param.empty() || !hadQuote) {
      split.push_back(std::move(param));
    }
    Wipe(&param);
  }
  if (!closed) {
    for (std::string& param : split) Wipe(&param);
    return false;
  }
  *params = std::move(split);
  return true;
}

std::string RouterKey(std::string_view address) {
  std::string key = CanonicalAddress(std::string(address));
  // An IPv4 address written as IPv6 reaches the IPv4 router.
  constexpr std::string_view kMapped = "::ffff:";
  if (key.size() > kMapped.size() && key.compare(0, kMapped.size(), kMapped) == 0 &&
      key.find('.') != std::string::npos) {
    key.erase(0, kMapped.size());
  }
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (key.size() > 1 && key.back() == '.') key.pop_back();
  return key;
}

bool ReadFleetList(std::string_view name, std::string_view text,
                   std::vector<FleetRouter>* routers, std::string* error) {
  std::vector<FleetRouter> read;
  std::map<std::pair<std::string, int>, int> seen;  // router and port: its line
  int lineNumber = 0;
  size_t start = 0;
  bool ok = true;
  while (ok && start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    FleetRouter router;
    router.line = lineNumber;
    std::string reason;
    const std::string where =
        std::string(name) + ":" + std::to_string(lineNumber) + ": ";
    if (!ReadRouterLine(line, &router, &reason)) {
      *error = where + reason;
      ok = false;
    } else if (const auto [at, added] = seen.insert(
                   {{RouterKey(router.address), router.portNumber}, lineNumber});
               !added) {
      *error = where + router.address + " port " + std::to_string(router.portNumber) +
               " is already on line " + std::to_string(at->second);
      ok = false;
    }
    if (ok) {
      read.push_back(std::move(router));
    } else {
      Wipe(&router.password);
    }
  }
  if (ok && read.empty()) {
    *error = std::string(name) + ": the list holds no router";
    ok = false;
  }
  if (!ok) {
    for (FleetRouter& r : read) Wipe(&r.password);
    return false;
  }
  *routers = std::move(read);
  return true;
}

bool ModeIsPrivate(unsigned mode) { return (mode & 077) == 0; }

bool ReadFleetText(std::string_view name,
                   const std::function<long long(char* buffer, size_t size)>& readSome,
                   std::string* text, std::string* error) {
  text->reserve(kFleetListMaxBytes);
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const long long n = readSome(buffer, sizeof buffer);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (text->size() + static_cast<size_t>(n) > kFleetListMaxBytes) {
      ok = false;
      break;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  WipeBytes(buffer, sizeof buffer);
  if (!ok) {
    Wipe(text);
    *error = std::string(name) + ": cannot be read, or holds more than 16 MB";
  }
  return ok;
}

bool FinishFleetList(std::string_view name, std::string* text,
                     std::string_view exposure,
                     std::vector<FleetRouter>* routers, std::string* error) {
  std::vector<FleetRouter> read;
  const bool ok = ReadFleetList(name, *text, &read, error);
  Wipe(text);
  if (!ok) return false;
  bool holdsPassword = false;
  for (const FleetRouter& router : read) {
    if (!router.password.empty()) holdsPassword = true;
  }
  if (holdsPassword && !exposure.empty()) {
    for (FleetRouter& router : read) Wipe(&router.password);
    *error = std::string(name) + ": holds passwords but " + std::string(exposure);
    return false;
  }
  *routers = std::move(read);
  return true;
}

std::string_view GroupThatCanRead(bool hasList,
                                  const std::vector<AccessEntry>& entries) {
  if (!hasList) return "Everyone";
  struct Group {
    std::string_view sid;
    std::string_view name;
  };
  static constexpr Group kGroups[] = {
      {"S-1-1-0", "Everyone"},
      {"S-1-5-32-545", "Users"},
      {"S-1-5-11", "Authenticated Users"},
  };
  constexpr unsigned kFileReadData = 0x0001;
  constexpr unsigned kGenericAll = 0x10000000;
  constexpr unsigned kGenericRead = 0x80000000;
  for (const AccessEntry& entry : entries) {
    if (!entry.allows || entry.inheritOnly) continue;
    if ((entry.mask & (kFileReadData | kGenericRead | kGenericAll)) == 0) continue;
    for (const Group& group : kGroups) {
      if (entry.sid == group.sid) return group.name;
    }
  }
  return {};
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ReportCell(std::string_view text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    return CsvField("'" + std::string(text));
  }
  return CsvField(text);
}

std::string ReportHeader(bool waited) {
  std::string header =
      "line,address,port,user,exit status,outcome,reason,seconds";
  if (waited) header += ",down seconds,back seconds";
  return header + ",name as given,added host key,added to\r\n";
}

std::string_view OutcomeOf(const RouterResult& result) {
  return result.status == 0 ? "rebooted" : "failed";
}

std::string ReportRow(const RouterResult& result, bool waited) {
  std::string row = std::to_string(result.line) + "," +
                    ReportCell(result.address) + "," + ReportCell(result.port) +
                    "," + ReportCell(result.user) + "," +
                    std::to_string(result.status) + "," +
                    std::string(OutcomeOf(result)) + "," +
                    ReportCell(result.reason) + "," + Seconds(result.seconds);
  if (waited) {
    row += ",";
    if (result.downSeconds >= 0) row += Seconds(result.downSeconds);
    row += ",";
    if (result.backSeconds >= 0) row += Seconds(result.backSeconds);
  }
  for (const std::string* cell : {&result.givenName, &result.addedKey, &result.addedTo}) {
    row.append(",").append(ReportCell(*cell));
  }
  return row + "\r\n";
}

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

std::string ProgressLine(int total, int done, int failed, int running, int waiting,
                         double seconds) {
  return "rebooting " + std::to_string(total) +
         (total == 1 ? " router: " : " routers: ") + std::to_string(done) +
         " done, " + std::to_string(failed) + " failed, " +
         std::to_string(running) + " running, " +
         (waiting >= 0 ? std::to_string(waiting) + " coming back, " : std::string()) +
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
  line.append(" ").append(OutcomeOf(result)).append(" ").append(Seconds(result.seconds));
  line.append(" s");
  if (result.status != 0) line += ": " + result.reason;
  return line;
}

std::string SummaryLine(int rebooted, int failed, double seconds, int rowsMissing,
                        int rows) {
  std::string line = std::to_string(rebooted) + " rebooted, " + std::to_string(failed) +
                     " failed in " + ElapsedText(seconds);
  if (rowsMissing > 0) {
    line += "; the report lacks " + std::to_string(rowsMissing) + " of " +
            std::to_string(rows) + " rows";
  }
  return line;
}

int FleetStatus(int failed, bool reportWhole) {
  if (!reportWhole) return kExitReportIncomplete;
  return failed == 0 ? 0 : kExitSomeFailed;
}

std::string SameRouterReason(int line) {
  return "the same router as line " + std::to_string(line) + ": not rebooted twice";
}
