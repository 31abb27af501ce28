#include "ssh_files/ssh_files.h"

namespace {

constexpr const char* kIdentityNames[] = {"id_ed25519", "id_ecdsa", "id_rsa"};

}  // namespace

std::string UserKnownHostsPath() {
  const std::string folder = UserSshFolder();
  if (folder.empty()) return NullPath();
  return folder + PathSeparator() + "known_hosts";
}

std::vector<std::string> DefaultIdentityFiles() {
  std::vector<std::string> files;
  const std::string folder = UserSshFolder();
  if (folder.empty()) return files;
  for (const char* name : kIdentityNames) files.push_back(folder + PathSeparator() + name);
  return files;
}
