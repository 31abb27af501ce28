#include "app/fleet_retry.h"

#include <ctime>
#include <map>

#include "base/clock.h"
#include "base/wipe.h"

namespace {

// Text for a comment line: control characters as '?'.
std::string Printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return shown;
}

// The local time as the first comment gives it.
std::string LocalTimeText() {
  const std::tm local = LocalTimeOf(std::time(nullptr));
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) return "?";
  return text;
}

}  // namespace

bool BelongsInRetry(const RouterResult& result) {
  const std::string_view outcome = OutcomeOf(result);
  return (outcome == "failed" || outcome == "not started") && result.sameAsLine == 0;
}

std::string RetryListText(std::string_view listName, std::string_view when,
                          const std::vector<FleetRouter>& routers,
                          const std::vector<RouterResult>& results) {
  std::map<int, const RouterResult*> byLine;
  for (const RouterResult& result : results) {
    if (OutcomeOf(result) != "rebooted") byLine[result.line] = &result;
  }
  // Written twice over the same pieces: first only counted, then into a
  // string reserved to the whole, so no growth leaves a password behind.
  const auto build = [&](auto&& put) {
    put("# Retry list of " + Printable(listName) + ", written " + std::string(when) +
        ": the routers that failed or were not started, their lines as written there.\n");
    int lastGroup = -1;
    for (const FleetRouter& router : routers) {
      const auto at = byLine.find(router.line);
      if (at == byLine.end()) continue;
      const RouterResult& result = *at->second;
      if (result.sameAsLine != 0 && OutcomeOf(result) == "failed") {
        put("# line " + std::to_string(router.line) + " is left out: it reached the same router as line " +
            std::to_string(result.sameAsLine) + "\n");
        continue;
      }
      if (!BelongsInRetry(result)) continue;
      if (lastGroup >= 0 && router.group != lastGroup) put("---\n");
      lastGroup = router.group;
      put("# line " + std::to_string(router.line) + ": status " + std::to_string(result.status) +
          ", " + Printable(result.reason) + "\n");
      put(std::string_view(router.text));
      // A line that ended in CR CR keeps its last CR: the reader takes one
      // CR before the LF as part of the line end.
      put(!router.text.empty() && router.text.back() == '\r' ? "\r\n" : "\n");
    }
    if (lastGroup < 0) {
      put("# Nothing is left to retry: every router rebooted or took the answer.\n"
          "# As a list this file holds no router, and a run of it is refused.\n");
    }
  };
  size_t size = 0;
  build([&size](std::string_view piece) { size += piece.size(); });
  std::string text;
  text.reserve(size);
  build([&text](std::string_view piece) { text.append(piece); });
  return text;
}

bool SaveFleetRetry(const std::string& path, std::string_view listName,
                    const std::vector<FleetRouter>& routers,
                    const std::vector<RouterResult>& results, std::string* error) {
  std::string text = RetryListText(listName, LocalTimeText(), routers, results);
  const bool written = WriteFleetRetry(path, text, error);
  Wipe(&text);
  return written;
}
