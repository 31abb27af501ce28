// The fleet's list reader on arbitrary text: it accepts or refuses with a
// reason naming the list and, for a bad line, a line that is in the text;
// an accepted list holds routers in line order, each with the values the
// single command would take, no two of them one router; a refusal never
// repeats a password; a line cut into parameters and quoted back gives the
// same parameters; and the retry list of an accepted list whose routers all
// failed reads back as the same routers, in the same groups.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/fleet_list.h"
#include "app/fleet_retry.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr char kName[] = "list";
constexpr char kSecret[] = "Zq9-never-shown";

int LineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

// A parameter quoted so that SplitListLine gives it back unchanged.
std::string Quoted(const std::string& param) {
  std::string quoted = "\"";
  for (char c : param) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

void CheckSplit(const std::string& line) {
  std::vector<std::string> params;
  std::string reason;
  if (!SplitListLine(line, &params, &reason)) {
    FUZZ_CHECK(!reason.empty());
    return;
  }
  std::string rebuilt;
  for (const std::string& param : params) {
    FUZZ_CHECK(!param.empty());
    rebuilt += Quoted(param) + " ";
  }
  std::vector<std::string> again;
  FUZZ_CHECK(SplitListLine(rebuilt, &again, &reason));
  FUZZ_CHECK(again == params);
}

// Every router failed: its retry list, read as a list, gives each router
// back with its values, and a new group exactly where one began.
void CheckRetryReadsBack(const std::vector<FleetRouter>& routers) {
  std::vector<RouterResult> failed;
  for (const FleetRouter& router : routers) {
    RouterResult result;
    result.line = router.line;
    result.status = 3;
    result.reason = router.address;  // any text: it goes in a comment
    failed.push_back(result);
  }
  const std::string text = RetryListText(kName, "now", routers, failed);
  std::vector<FleetRouter> again;
  std::string error;
  FUZZ_CHECK(ReadFleetList("retry", text, &again, &error));
  FUZZ_CHECK(again.size() == routers.size());
  for (size_t i = 0; i < routers.size(); ++i) {
    FUZZ_CHECK(again[i].text == routers[i].text);
    FUZZ_CHECK(again[i].user == routers[i].user);
    FUZZ_CHECK(again[i].password == routers[i].password);
    FUZZ_CHECK(again[i].port == routers[i].port);
    FUZZ_CHECK(again[i].address == routers[i].address);
    if (i > 0) {
      FUZZ_CHECK((again[i].group != again[i - 1].group) ==
                 (routers[i].group != routers[i - 1].group));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool withSecret = input.ConsumeBool();
  std::string text = input.ConsumeRemainingBytesAsString();
  // A line whose password is known, so a refusal can be searched for it.
  if (withSecret) text = "/user:a /pw:" + std::string(kSecret) + " /port:22 /ip:h.example\n" + text;

  const size_t firstBreak = text.find('\n');
  CheckSplit(text.substr(0, firstBreak == std::string::npos ? text.size() : firstBreak));

  std::vector<FleetRouter> routers;
  std::string error;
  if (!ReadFleetList(kName, text, &routers, &error)) {
    FUZZ_CHECK(routers.empty());
    const std::string where = std::string(kName) + ":";
    FUZZ_CHECK(error.rfind(where, 0) == 0);
    // Only the first line's password is known not to be anything else too:
    // the same text may stand in a port or an address, which a refusal names.
    if (withSecret && text.find(kSecret, text.find(kSecret) + 1) == std::string::npos) {
      FUZZ_CHECK(error.find(kSecret) == std::string::npos);
    }
    // "list:N: reason" names a line of the text.
    const size_t digits = error.find_first_not_of("0123456789", where.size());
    if (digits > where.size() && digits != std::string::npos && error[digits] == ':') {
      const int line = std::stoi(error.substr(where.size(), digits - where.size()));
      FUZZ_CHECK(line >= 1 && line <= LineCount(text));
    }
    return 0;
  }
  FUZZ_CHECK(!routers.empty());
  std::set<std::pair<std::string, int>> seen;
  int last = 0;
  for (const FleetRouter& router : routers) {
    FUZZ_CHECK(router.line > last && router.line <= LineCount(text));
    last = router.line;
    // The user may be left to the SSH configuration: empty is fine.
    FUZZ_CHECK(router.user.size() <= 127);
    FUZZ_CHECK(router.password.size() <= 127);
    FUZZ_CHECK(!router.address.empty() && router.address.size() <= 127);
    FUZZ_CHECK(router.portNumber >= 1 && router.portNumber <= 65535);
    FUZZ_CHECK(seen.insert({RouterKey(router.address), router.portNumber}).second);
  }
  if (withSecret) FUZZ_CHECK(routers[0].password == kSecret);
  CheckRetryReadsBack(routers);
  return 0;
}
