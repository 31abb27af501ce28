#include "testing/test_servers.h"

#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char kSshd[] = "/usr/sbin/sshd";

// Waits up to ten seconds for the server to listen on port; stops it when
// it does not, and gives up at once when it has ended.
bool AwaitListening(int port, Child* server) {
  for (int wait = 0; wait < 100; ++wait) {
    if (Listening(port)) return true;
    if (WaitChild(server, 0) != -1 || server->pid < 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  StopChild(server);
  return false;
}

}  // namespace

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

bool AddThrowawayUser(const std::string& prefix, const std::string& home,
                      const std::string& password, ThrowawayUser* user) {
  user->name = prefix + std::to_string(getpid());
  if (Shell("useradd -M -s /bin/sh -d " + home + " " + user->name) != 0) return false;
  user->added = true;
  return Shell("printf '%s:%s\\n' " + user->name + " '" + password + "' | chpasswd") == 0;
}

void RemoveThrowawayUser(ThrowawayUser* user) {
  if (user->added) Shell("userdel " + user->name + " 2>/dev/null");
  user->added = false;
}

void SaveVariable(const std::string& name, SavedVariable* saved) {
  const char* value = std::getenv(name.c_str());
  saved->name = name;
  saved->saved = true;
  saved->had = value != nullptr;
  saved->value = saved->had ? value : "";
}

void RestoreVariable(SavedVariable* saved) {
  if (!saved->saved) return;
  if (saved->had) {
    setenv(saved->name.c_str(), saved->value.c_str(), 1);
  } else {
    unsetenv(saved->name.c_str());
  }
  saved->saved = false;
}

int StartOnFreePort(const std::function<bool(int port, Child* server)>& start, Child* server) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = FreeLoopbackPort();
    if (!start(port, server)) continue;
    if (AwaitListening(port, server)) return port;
  }
  return -1;
}

int StartSshd(const std::string& dir, const std::string& user, const std::string& forceCommand,
              const std::string& extraConfig, const std::string& log, Child* sshd) {
  if (Shell("mkdir -p /run/sshd") != 0) return -1;
  const std::string config = dir + "/sshd_config";
  return StartOnFreePort(
      [&](int port, Child* server) {
        return WriteFile(config, "Port " + std::to_string(port) +
                                     "\nListenAddress 127.0.0.1\n"
                                     "HostKey " + dir + "/host_key\n"
                                     "PidFile " + dir + "/sshd.pid\n"
                                     "PasswordAuthentication yes\n"
                                     "KbdInteractiveAuthentication no\n"
                                     "UsePAM no\n"
                                     "PermitRootLogin no\n"
                                     "StrictModes no\n"
                                     "AllowUsers " + user + "\n"
                                     "ForceCommand " + forceCommand + "\n" + extraConfig) &&
               StartChild({kSshd, "-D", "-E", log, "-f", config}, server);
      },
      sshd);
}

const char kSystemSshConfig[] = "/etc/ssh/ssh_config";

// The file system type is ignored for these two mounts, but valgrind checks
// that it is a readable text.
bool OwnSystemSshConfig(const std::string& path) {
  return geteuid() == 0 && WriteFile(path, "") && unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(path.c_str(), kSystemSshConfig, "none", MS_BIND, nullptr) == 0;
}

void ReleaseSystemSshConfig() { umount2(kSystemSshConfig, MNT_DETACH); }

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
    text->replace(at, from.size(), to);
    at += to.size();
  }
}

std::string PublicBase64(const std::string& pubFile) {
  std::istringstream fields(ReadAll(pubFile));
  std::string type, base64;
  fields >> type >> base64;
  return base64;
}

std::string SshdLogSince(const std::string& log, size_t mark, int waitMs) {
  std::string seen;
  for (int waited = 0;; waited += 100) {
    const std::string all = ReadAll(log);
    seen = all.size() > mark ? all.substr(mark) : std::string();
    if (waited >= waitMs || seen.find("Connection closed") != std::string::npos ||
        seen.find("Disconnected from") != std::string::npos ||
        seen.find("Received disconnect") != std::string::npos ||
        seen.find("Connection reset") != std::string::npos) {
      return seen;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool SshdSawPassword(const std::string& seen) {
  return seen.find("method password") != std::string::npos ||
         seen.find("password for") != std::string::npos ||
         seen.find("keyboard-interactive") != std::string::npos;
}
