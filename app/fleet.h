#ifndef APP_FLEET_H_
#define APP_FLEET_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The fleet run: its own options, the list of routers, the report's rows and
// the text shown while it runs. Everything here is pure: it reads texts and
// makes texts, and contacts nothing.

constexpr char kListPrefix[] = "/list:";
constexpr int kMinJobs = 1;
constexpr int kMaxJobs = 256;
// Measured with bench/fleet.sh on 1000 routers: against routers that are
// slow to answer, 8, 16 and 32 at once take 58, 32 and 23 s, and 64 or 128
// are no faster but cost more CPU per router and about 0.3 MB a job more.
constexpr int kDefaultJobs = 32;

struct FleetOptions {
  std::string listPath;  // "-" for standard input
  bool verbose = true;
  int jobs = kDefaultJobs;
  std::string reportPath;  // empty: no report
  bool hasWait = false;
  std::string wait;
};

/// True when the first parameter starts the fleet mode.
bool IsFleetInvocation(std::u16string_view firstParam);

/// Reads the fleet's options from the parameters after the program's name
/// (params[0] is the /list: one). On a refused parameter returns false with
/// error naming it.
bool ReadFleetOptions(const std::vector<std::u16string>& params,
                      FleetOptions* options, std::string* error);

struct FleetRouter {
  int line = 0;
  std::string user;
  std::string password;
  std::string port;
  int portNumber = 0;  // the port the session will use
  std::string address;
};

/// Cuts one list line into its parameters, separated by spaces. A quote
/// anywhere in a parameter opens a stretch, closed by the next lone quote,
/// in which spaces separate nothing (`/pw:"two words"` and `"/pw:two words"`
/// are one parameter); in a stretch, two quotes stand for one. A parameter
/// that is only quotes around nothing is no parameter. False with reason
/// when a quote is left open.
bool SplitListLine(std::string_view line, std::vector<std::string>* params,
                   std::string* reason);

/// What two spellings of one router have in common, known without the
/// network: an address literal in the form the resolver prints it (127.1,
/// 2130706433 and 0x7f.0.0.1 are 127.0.0.1; ::ffff:127.0.0.1 is
/// 127.0.0.1; IPv6 in its short form), a name in lower case without a
/// trailing dot. localhost and 127.0.0.1 stay apart: only the connection
/// tells them.
std::string RouterKey(std::string_view address);

/// Reads the list's text (bytes in the locale's encoding). Each line is cut
/// into parameters by SplitListLine; '#' as a line's first non-space
/// character makes it a comment, and blank lines are skipped. Every line is
/// checked; on the first bad line or the second line for one router (one
/// RouterKey and port), returns false with error "name:line: reason". An
/// empty list is refused too.
bool ReadFleetList(std::string_view name, std::string_view text,
                   std::vector<FleetRouter>* routers, std::string* error);

/// Reads and checks the list named by /list: ("-": standard input), with
/// ReadFleetList. A file that holds a password must be private: no group or
/// other permission bits on POSIX, no read access for Everyone, Users or
/// Authenticated Users on Windows. Only a regular file is read, and at most
/// kFleetListMaxBytes of it. On failure error says why, naming the file.
bool LoadFleetList(const std::string& path, std::vector<FleetRouter>* routers,
                   std::string* error);

constexpr size_t kFleetListMaxBytes = 16u << 20;

/// True when a POSIX file mode gives no permission to group or others, as a
/// file holding passwords must.
bool ModeIsPrivate(unsigned mode);

// What each platform's LoadFleetList shares: the platform opens the list and
// checks who else may read it; reading to the cap, parsing and refusing an
// open list that holds passwords are done here.

/// Reads a list's bytes to their end, at most kFleetListMaxBytes of them.
/// readSome fills up to size bytes of buffer and returns how many it wrote,
/// 0 at the end, or below 0 on an error. The whole cap is reserved first (a
/// large allocation is mapped, so untouched pages cost nothing): the text
/// never moves, and no copy of a password is left behind unwiped. On failure
/// the text is wiped and error is "name: cannot be read, or holds more than
/// 16 MB".
bool ReadFleetText(std::string_view name,
                   const std::function<long long(char* buffer, size_t size)>& readSome,
                   std::string* text, std::string* error);

/// Reads the text with ReadFleetList and wipes it. A list that holds a
/// password is refused when exposure is not empty, with error
/// "name: holds passwords but " + exposure, and its passwords wiped.
bool FinishFleetList(std::string_view name, std::string* text,
                     std::string_view exposure,
                     std::vector<FleetRouter>* routers, std::string* error);

/// One entry of a Windows file's access list, its SID in string form.
struct AccessEntry {
  bool allows = true;        // an access-allowed entry; others grant nothing
  bool inheritOnly = false;  // passed on to children only: not for the file
  unsigned mask = 0;
  std::string sid;  // "S-1-1-0"
};

/// Which of Everyone, Users and Authenticated Users an access list lets read
/// a file (FILE_READ_DATA, GENERIC_READ or GENERIC_ALL), by name, or empty
/// when none of them may. hasList false is a NULL DACL: everyone may.
/// Denying entries are not weighed against allowing ones: a list that needs
/// them to stay private is taken as open.
std::string_view GroupThatCanRead(bool hasList,
                                  const std::vector<AccessEntry>& entries);

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
  std::string address;
  std::string port;
  std::string user;
  int status = 0;
  std::string reason;  // empty when rebooted
  double seconds = 0;
  double downSeconds = -1;  // below 0: not known
  double backSeconds = -1;
};

/// The outcome word of a result: "rebooted" or "failed".
std::string_view OutcomeOf(const RouterResult& result);

/// One report record (CRLF ended), never with a password.
std::string ReportRow(const RouterResult& result, bool waited);

/// Elapsed time as m:ss (h:mm:ss past an hour).
std::string ElapsedText(double seconds);

/// "rebooting 120 routers: 37 done, 2 failed, 16 running, 0:07"; under
/// /wait: with the routers that took the answer and are being waited for,
/// "16 running, 40 coming back, 0:07". waiting < 0: no /wait:.
std::string ProgressLine(int total, int done, int failed, int running, int waiting,
                         double seconds);

/// "37/120 done, 2 failed, 0:07", for a terminal too narrow for the above.
std::string ShortProgressLine(int total, int done, int failed, double seconds);

/// The router as its line names it: the address, with ":port" (the address
/// in brackets when it holds colons) unless the port is 22.
std::string RouterName(std::string_view address, std::string_view port);

/// A finished router's line: router name, outcome, seconds, reason.
std::string FinishedLine(const RouterResult& result);

/// "118 rebooted, 2 failed in 0:41"; when rowsMissing > 0, followed by
/// "; the report lacks 24 of 120 rows".
std::string SummaryLine(int rebooted, int failed, double seconds, int rowsMissing = 0,
                        int rows = 0);

/// The fleet's exit status: 0 all rebooted, 10 at least one did not, 13
/// when the report could not be written whole (whatever the routers did:
/// the report no longer tells which).
int FleetStatus(int failed, bool reportWhole = true);

constexpr int kExitListUnusable = 1;
constexpr int kExitSomeFailed = 10;
constexpr int kExitReportIncomplete = 13;

/// The outcome and reason of a line whose router was reached at connect
/// time as an address and port another line already took in this run.
constexpr int kExitSameRouter = 1;
std::string SameRouterReason(int line);

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

#endif  // APP_FLEET_H_
