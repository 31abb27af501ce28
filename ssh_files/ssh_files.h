#ifndef SSH_FILES_SSH_FILES_H_
#define SSH_FILES_SSH_FILES_H_

// Where the user's SSH files are. The shared part is ssh_files.cc; the
// platform's part is ssh_files_posix.cc or ssh_files_win32.cc, chosen by
// CMake. Paths, one question to the agent, and the few file operations
// that differ by platform.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ssh_files/known_hosts.h"

/// The user's SSH folder: $HOME/.ssh, or the passwd entry's home when HOME
/// is unset or empty (POSIX); %USERPROFILE%\.ssh (Windows). Empty when no
/// home is known. Platform part.
std::string UserSshFolder();

/// The user's known_hosts file in that folder; NullPath() when no home is
/// known.
std::string UserKnownHostsPath();

/// The machine-wide known_hosts file: /etc/ssh/ssh_known_hosts (POSIX);
/// %ProgramData%\ssh\ssh_known_hosts (Windows). Platform part.
std::string GlobalKnownHostsPath();

/// The identity files tried after the agent, in the order tried:
/// id_ed25519, id_ecdsa, id_rsa in the user's SSH folder. Empty when no home
/// is known.
std::vector<std::string> DefaultIdentityFiles();

/// Whether an ssh-agent is named for this run (SSH_AUTH_SOCK set and not
/// empty). Always false on Windows, where libssh has no agent support.
/// Platform part.
bool AgentNamed();

/// Whether the agent SSH_AUTH_SOCK names answers a request for its keys
/// within timeoutMs. An agent that stays silent would hold the run: it is
/// passed over like one that is not there. Always false on Windows.
/// Platform part.
bool AgentAnswers(int timeoutMs);

/// A path that opens as an empty file: /dev/null (POSIX); NUL (Windows).
/// Platform part.
const char* NullPath();

/// What separates a folder from a name in a path: '/' (POSIX); '\' (Windows).
/// Platform part.
char PathSeparator();

/// The home folder the SSH folder is in ("~" in the configuration); empty
/// when none is known. Platform part.
std::string HomeFolder();

/// The machine's SSH folder: /etc/ssh (POSIX); %ProgramData%\ssh (Windows).
/// Platform part.
std::string SystemSshFolder();

/// This process's user name; empty when it cannot be found. Platform part.
std::string LocalUserName();

/// The files whose paths match pattern (wildcards * and ? in the last part),
/// read, in name order; a pattern without wildcards names one file. A
/// missing file yields nothing. Platform part.
std::vector<KnownHostsText> ReadMatchingFiles(const std::string& pattern);

/// Fills bytes with random bytes from the system. Platform part.
bool RandomBytes(uint8_t* bytes, size_t size);

/// Appends to the file at path, creating it (and its folder, for the user
/// only) when missing, under an exclusive lock held from the read to the
/// write, which other processes and other threads of this one wait for
/// (reading the file meanwhile is not held up): entryFor gets the file's
/// text as it is then and returns what to append, which goes out in one
/// write (nothing when empty). False with *error set when the file cannot be
/// locked, read or written. Platform part.
bool AppendUnderLock(const std::string& path, std::string (*entryFor)(const std::string& text,
                                                                      void* context),
                     void* context, std::string* error);

#endif  // SSH_FILES_SSH_FILES_H_
