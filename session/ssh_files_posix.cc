#include "session/ssh_files.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace {

constexpr const char* kIdentityNames[] = {"id_ed25519", "id_ecdsa", "id_rsa"};

}  // namespace

std::string UserSshFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.ssh";
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0') return "";
  return std::string(entry->pw_dir) + "/.ssh";
}

std::string UserKnownHostsPath() {
  const std::string folder = UserSshFolder();
  if (folder.empty()) return "/dev/null";
  return folder + "/known_hosts";
}

std::string GlobalKnownHostsPath() { return "/etc/ssh/ssh_known_hosts"; }

std::vector<std::string> DefaultIdentityFiles() {
  std::vector<std::string> files;
  const std::string folder = UserSshFolder();
  if (folder.empty()) return files;
  for (const char* name : kIdentityNames) files.push_back(folder + "/" + name);
  return files;
}

bool AgentNamed() {
  const char* socket = std::getenv("SSH_AUTH_SOCK");
  return socket != nullptr && socket[0] != '\0';
}
