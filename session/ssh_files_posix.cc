#include "session/ssh_files.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

std::string UserSshFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.ssh";
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0') return "";
  return std::string(entry->pw_dir) + "/.ssh";
}

std::string GlobalKnownHostsPath() { return "/etc/ssh/ssh_known_hosts"; }

bool AgentNamed() {
  const char* socket = std::getenv("SSH_AUTH_SOCK");
  return socket != nullptr && socket[0] != '\0';
}

const char* NullPath() { return "/dev/null"; }

char PathSeparator() { return '/'; }
