#ifndef SESSION_SSH_FILES_H_
#define SESSION_SSH_FILES_H_

// Where the user's SSH files are. One implementation per platform, chosen by
// CMake: ssh_files_posix.cc, ssh_files_win32.cc. Paths only; nothing here
// reads or writes a file.

#include <string>
#include <vector>

/// The user's SSH folder: $HOME/.ssh, or the passwd entry's home when HOME
/// is unset or empty (POSIX); %USERPROFILE%\.ssh (Windows). Empty when no
/// home is known.
std::string UserSshFolder();

/// The user's known_hosts file in that folder; a path that opens as an
/// empty file when no home is known.
std::string UserKnownHostsPath();

/// The machine-wide known_hosts file: /etc/ssh/ssh_known_hosts (POSIX);
/// %ProgramData%\ssh\ssh_known_hosts (Windows).
std::string GlobalKnownHostsPath();

/// The identity files tried after the agent, in the order tried:
/// id_ed25519, id_ecdsa, id_rsa in the user's SSH folder. Empty when no home
/// is known.
std::vector<std::string> DefaultIdentityFiles();

/// Whether an ssh-agent is named for this run (SSH_AUTH_SOCK set and not
/// empty). Always false on Windows, where libssh has no agent support.
bool AgentNamed();

#endif  // SESSION_SSH_FILES_H_
