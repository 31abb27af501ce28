#ifndef APP_RUN_LOG_H_
#define APP_RUN_LOG_H_

// The trace a run leaves in the system log when no terminal shows its
// messages (cron, a systemd timer): one line per run. The line is built here
// without I/O; system_log_*.cc sends it.

#include <cstdint>
#include <string>
#include <string_view>

/// What one run did. Texts are as given on the command line; none of them is
/// the password.
struct RunLogEntry {
  std::string_view address;
  int32_t port = 0;            // as used: 0 stands for 22
  std::string_view user;
  // The router's name as given, when the session went elsewhere (an alias
  // in the SSH configuration); empty otherwise.
  std::string_view givenName;
  std::string_view outcome;    // one word: "answered", "failed", "no-options"
  std::string_view reason;     // why it failed; empty otherwise
  bool hasTarget = true;       // false: the options were never read
  // With /wait:, when the router went down and when it was back, in
  // milliseconds after the answer; -1 where that was not seen.
  int64_t downMs = -1;
  int64_t backMs = -1;
  // In a fleet run, the router's line in the list; 0 otherwise.
  int listLine = 0;
  // A first contact's key recorded in known_hosts ("ED25519 SHA256:...")
  // and the file; empty when none was.
  std::string_view addedKey;
  std::string_view addedTo;
  // The router's question, the line the answer went to; empty when none
  // came.
  std::string_view question;
};

/// The line, e.g. address=192.0.2.1 port=22 user=admin outcome=failed
/// reason="authentication refused"; name=ALIAS follows the user when the
/// router was given by another name, added_key="ED25519 SHA256:..." and
/// known_hosts=FILE come last when its key was recorded, and after them
/// question="Reboot, yes? [y/N]:" when the router asked one. Values with blanks, quotes or control
/// characters are quoted and escaped so the line stays one line; down=3.2
/// and back=47.9 (seconds) follow when they were seen; anything
/// after a "/pw:" in a value (a password given out of order) is starred.
std::string RunLogLine(const RunLogEntry& entry);

/// A fleet run's closing line, e.g. list=routers.txt routers=120
/// rebooted=118 failed=2 seconds=41.3; when the report could not be
/// written whole, report=incomplete report_rows=96 follow (the rows it
/// holds whole). A preflight's says check=y and ready=118 in place of
/// rebooted=118.
std::string FleetLogLine(std::string_view list, int routers, int rebooted, int failed,
                         int64_t elapsedMs, int reportRowsWritten = -1,
                         int notStarted = 0, std::string_view halted = {},
                         bool preflight = false);

/// Sends one line to the system log: on POSIX syslog, facility user,
/// identity "swKicker", a warning for a failure and a notice otherwise; on
/// Windows one event in the Application log, source swKicker, a warning for
/// a failure and information otherwise.
void WriteSystemLog(bool failure, std::string_view line);

#endif  // APP_RUN_LOG_H_
