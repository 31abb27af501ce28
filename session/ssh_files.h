#ifndef SESSION_SSH_FILES_H_
#define SESSION_SSH_FILES_H_

// Where the user's SSH files are. The shared part is ssh_files.cc; the
// platform's part is ssh_files_posix.cc or ssh_files_win32.cc, chosen by
// CMake. Paths, and one question to the agent; nothing here reads or
// writes a file.

#include <string>
#include <vector>

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

#endif  // SESSION_SSH_FILES_H_
