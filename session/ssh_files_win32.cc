#include "session/ssh_files.h"

#include <cstdlib>

// Where Windows' own OpenSSH client keeps them.
std::string UserSshFolder() {
  const char* profile = std::getenv("USERPROFILE");
  if (profile == nullptr || profile[0] == '\0') return "";
  return std::string(profile) + "\\.ssh";
}

std::string GlobalKnownHostsPath() {
  const char* data = std::getenv("ProgramData");
  if (data == nullptr || data[0] == '\0') return NullPath();
  return std::string(data) + "\\ssh\\ssh_known_hosts";
}

// libssh 0.10 speaks to an agent only over a Unix socket.
bool AgentNamed() { return false; }

// "NUL" opens as an empty file, like /dev/null.
const char* NullPath() { return "NUL"; }

char PathSeparator() { return '\\'; }

bool AgentAnswers(int) { return false; }
