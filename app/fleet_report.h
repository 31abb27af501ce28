#ifndef APP_FLEET_REPORT_H_
#define APP_FLEET_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

// The fleet run's report: a CSV record for each router, written to its file
// as each router finishes. The platform opens, writes and closes the file
// (fleet_file_posix.cc, fleet_file_win32.cc); the records are pure.

/// One field of a CSV record, quoted as RFC 4180 asks when it holds a comma,
/// a quote, CR or LF.
std::string CsvField(std::string_view text);

/// A text cell of the report: one a spreadsheet would take for a formula
/// (starting with =, +, -, @, TAB or CR) gets a leading ', then CsvField.
std::string ReportCell(std::string_view text);

/// The report's header record, with the waited columns when asked.
std::string ReportHeader(bool waited);

struct RouterResult {
  int line = 0;
  // Where the session went, as used after the SSH configuration (as given
  // when it got nowhere); the list's /ip: value when it differs.
  std::string address;
  std::string port;
  std::string user;
  std::string givenName;
  // A first contact's key recorded in known_hosts: "ED25519 SHA256:..." and
  // the file; empty when none was.
  std::string addedKey;
  std::string addedTo;
  // The question the router asked, as it came; empty when it asked none.
  std::string question;
  // A preflight's row (/check:y): status 0 is "ready", not "rebooted".
  bool preflight = false;
  int status = 0;
  std::string reason;  // empty when rebooted (a ready row may hold a note)
  int sameAsLine = 0;  // not rebooted: the same router as this list line
  double seconds = 0;
  double downSeconds = -1;  // below 0: not known
  double backSeconds = -1;
};

/// The status of a router the run never started: a halted run's rest.
constexpr int kExitNotStarted = 14;
/// The status of a router that took the answer while a second interrupt
/// ended the wait for its return.
constexpr int kExitNotConfirmed = 15;

/// The outcome word of a result: "rebooted" (a preflight's: "ready"),
/// "failed", "not started" or "not confirmed".
std::string_view OutcomeOf(const RouterResult& result);

/// Seconds with one decimal, as the report and the finished lines show
/// them; below 0 shows as 0.0.
std::string SecondsText(double seconds);

/// A router's question as a report cell: control characters (C0, DEL, C1),
/// which a terminal showing the file would obey, become "?".
std::string QuestionCell(std::string_view question);

/// One report record (CRLF ended), never with a password.
std::string ReportRow(const RouterResult& result, bool waited);

// The report file. The platform opens it when the list is read, before any
// router is contacted: "-" is standard output (refused when it is a
// terminal, where the run's own text goes); any other path must be a
// regular file or not exist: a symbolic link (a reparse point on Windows)
// is not followed, and a FIFO, device or folder is refused, all without
// blocking. It is emptied only once it is known to be a regular file.
struct ReportFile {
  intptr_t handle = -1;  // a descriptor, or a HANDLE on Windows
  bool owned = false;    // closed by CloseFleetReport; not standard output
};

/// Opens path as the report; on failure error is "path: reason".
bool OpenFleetReport(const std::string& path, ReportFile* file, std::string* error);

/// Writes bytes whole, looping on short writes. On failure the file is cut
/// back to where it was, so that it holds no part of a row, and error says
/// why (the system's words: "No space left on device").
bool WriteFleetReport(ReportFile* file, std::string_view bytes, std::string* error);

/// Flushes the report to its disk and closes it; false with error when the
/// system reports that what was written did not all reach it.
bool CloseFleetReport(ReportFile* file, std::string* error);

// The report of one run: the header at once, then each router's row written
// out as it finishes, so that a run cut short still leaves what was done. A
// row that cannot be written whole leaves no part of itself; the later ones
// are still tried, and the run counts those missing.
class FleetReport {
 public:
  ~FleetReport();

  /// Opens path and writes the header, with the waited columns when asked;
  /// on failure error is "path: reason".
  bool Open(const std::string& path, bool waited, std::string* error);

  /// Writes result's row; nothing when no report was opened.
  void Add(const RouterResult& result);

  /// Closes the file; false when a row is missing or what was written did
  /// not all reach the disk.
  bool Close();

  int written() const { return written_; }
  int missing() const { return missing_; }
  const std::string& error() const { return error_; }

 private:
  ReportFile file_;
  bool open_ = false;
  bool waited_ = false;
  int written_ = 0;
  int missing_ = 0;
  std::string error_;  // the first fault
};

#endif  // APP_FLEET_REPORT_H_
