#include "session/ssh_files.h"

#include <cstdlib>

namespace {

constexpr const char* kIdentityNames[] = {"id_ed25519", "id_ecdsa", "id_rsa"};

}  // namespace

// Where Windows' own OpenSSH client keeps them.
std::string UserSshFolder() {
  const char* profile = std::getenv("USERPROFILE");
  if (profile == nullptr || profile[0] == '\0') return "";
  return std::string(profile) + "\\.ssh";
}

// "NUL" opens as an empty file, like /dev/null.
std::string UserKnownHostsPath() {
  const std::string folder = UserSshFolder();
  if (folder.empty()) return "NUL";
  return folder + "\\known_hosts";
}

std::string GlobalKnownHostsPath() {
  const char* data = std::getenv("ProgramData");
  if (data == nullptr || data[0] == '\0') return "NUL";
  return std::string(data) + "\\ssh\\ssh_known_hosts";
}

std::vector<std::string> DefaultIdentityFiles() {
  std::vector<std::string> files;
  const std::string folder = UserSshFolder();
  if (folder.empty()) return files;
  for (const char* name : kIdentityNames) files.push_back(folder + "\\" + name);
  return files;
}

// libssh 0.10 speaks to an agent only over a Unix socket.
bool AgentNamed() { return false; }
