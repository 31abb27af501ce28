#ifndef APP_FLEET_RETRY_H_
#define APP_FLEET_RETRY_H_

#include <string>
#include <string_view>
#include <vector>

#include "app/fleet_list.h"
#include "app/fleet_report.h"

// The retry list a fleet run writes at its end (/retry:FILE): the list lines
// of the routers that failed or were never started, as written, in list
// order with their groups, so that /list:FILE reruns exactly those. The text
// is pure; the platform checks the path before the run and replaces the file
// at the end (fleet_file_posix.cc, fleet_file_win32.cc).

/// Whether a finished router's line goes in the retry list: it failed or was
/// not started. One that rebooted or took the answer (not confirmed) does
/// not, nor one left alone as the same router as another line: that line
/// speaks for it.
bool BelongsInRetry(const RouterResult& result);

/// The retry list's text. results: rows of the run, in any order (those
/// that do not belong are passed over). A first comment names the list and
/// when (the caller's wording of the time); above each router line a comment
/// "# line 7: status 6, REASON"; a line of --- between two groups that both
/// have lines in it. With no line left, comments alone say so. Names and
/// reasons show control characters as '?', so no comment spills onto a line
/// of its own. The text holds the lines' passwords: it is built in one
/// allocation, never moved, and the caller wipes it.
std::string RetryListText(std::string_view listName, std::string_view when,
                          const std::vector<FleetRouter>& routers,
                          const std::vector<RouterResult>& results);

/// Checks before any router is contacted that path can take the retry list:
/// a regular file, a symbolic link (which is replaced, never followed) or
/// nothing yet, in a folder where this process can create a file. On failure
/// error is "path: reason".
bool CheckFleetRetry(const std::string& path, std::string* error);

/// Replaces path with text as one step: a new file beside it that only its
/// owner may read (mode 0600; on Windows an access list that grants the
/// owner alone, inheriting nothing), flushed to the disk, then renamed over
/// path; a symbolic link there is replaced, not followed. On failure the new
/// file is removed, path is left as it was, and error says why.
bool WriteFleetRetry(const std::string& path, std::string_view text, std::string* error);

/// At the run's end: the retry list of listName's routers written to path
/// with the local time, its text wiped after. False with error as
/// WriteFleetRetry gives it.
bool SaveFleetRetry(const std::string& path, std::string_view listName,
                    const std::vector<FleetRouter>& routers,
                    const std::vector<RouterResult>& results, std::string* error);

#endif  // APP_FLEET_RETRY_H_
