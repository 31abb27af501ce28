#ifndef APP_FLEET_LIST_H_
#define APP_FLEET_LIST_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The list of routers a fleet run reboots: cutting its lines, reading and
// checking them, and loading the file, which must be private when it holds
// passwords. The platform opens the file and tells who else may read it
// (fleet_file_posix.cc, fleet_file_win32.cc); the rest is pure.

struct FleetRouter {
  int line = 0;
  std::string user;
  std::string password;
  std::string port;
  int portNumber = 0;  // the port the session will use
  std::string address;
  int group = 0;  // counted from 0; a line holding only --- ends a group
  // The line as written, without its line end, for the retry list: it
  // holds the password too, and is wiped with it.
  std::string text;
};

/// Wipes each router's password and line text.
void WipeFleetRouters(std::vector<FleetRouter>* routers);

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
/// character makes it a comment, and blank lines are skipped. A line that
/// holds only `---` (spaces around it allowed) ends a group: the routers
/// after it are in the next group. Every line is
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

#endif  // APP_FLEET_LIST_H_
