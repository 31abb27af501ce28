#include "app/run_log.h"

#include <cstdio>

#include "session/reboot_session.h"
#include "session/router_return.h"

namespace {

constexpr std::string_view kPasswordPrefix = "/pw:";

// A value as key=value wants it: bare when it is plain, else in quotes with
// quotes, backslashes and control bytes escaped.
void AppendValue(std::string_view value, std::string* out) {
  std::string text(value);
  // A password given in the wrong position keeps its prefix: star what
  // follows it.
  const size_t prefix = text.find(kPasswordPrefix);
  if (prefix != std::string::npos) {
    const size_t start = prefix + kPasswordPrefix.size();
    text.replace(start, std::string::npos, text.size() - start, '*');
  }
  bool plain = !text.empty();
  for (unsigned char c : text) {
    if (c <= ' ' || c == '"' || c == '\\' || c == '=' || c == 0x7f) plain = false;
  }
  if (plain) {
    *out += text;
    return;
  }
  *out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c < ' ' || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      *out += escaped;
    } else {
      *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

void AppendField(std::string_view key, std::string_view value, std::string* out) {
  if (!out->empty()) *out += ' ';
  *out += key;
  *out += '=';
  AppendValue(value, out);
}

}  // namespace

std::string RunLogLine(const RunLogEntry& entry) {
  std::string line;
  if (entry.listLine > 0) AppendField("line", std::to_string(entry.listLine), &line);
  if (entry.hasTarget) {
    AppendField("address", entry.address, &line);
    const int32_t port = entry.port == 0 ? kSshDefaultPort : entry.port;
    AppendField("port", std::to_string(port), &line);
    AppendField("user", entry.user, &line);
    if (!entry.givenName.empty()) AppendField("name", entry.givenName, &line);
  }
  AppendField("outcome", entry.outcome, &line);
  if (!entry.reason.empty()) AppendField("reason", entry.reason, &line);
  if (entry.downMs >= 0) AppendField("down", SecondsText(entry.downMs), &line);
  if (entry.backMs >= 0) AppendField("back", SecondsText(entry.backMs), &line);
  if (!entry.addedKey.empty()) {
    AppendField("added_key", entry.addedKey, &line);
    AppendField("known_hosts", entry.addedTo, &line);
  }
  if (!entry.question.empty()) AppendField("question", entry.question, &line);
  return line;
}

std::string FleetLogLine(std::string_view list, int routers, int rebooted, int failed,
                         int64_t elapsedMs, int reportRowsWritten, int notStarted,
                         std::string_view halted, bool preflight) {
  std::string line;
  AppendField("list", list, &line);
  if (preflight) AppendField("check", "y", &line);
  AppendField("routers", std::to_string(routers), &line);
  AppendField(preflight ? "ready" : "rebooted", std::to_string(rebooted), &line);
  AppendField("failed", std::to_string(failed), &line);
  if (!halted.empty()) {
    AppendField("not_started", std::to_string(notStarted), &line);
    AppendField("halted", halted, &line);
  }
  AppendField("seconds", SecondsText(elapsedMs), &line);
  if (reportRowsWritten >= 0) {
    AppendField("report", "incomplete", &line);
    AppendField("report_rows", std::to_string(reportRowsWritten), &line);
  }
  return line;
}
