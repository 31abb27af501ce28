#include "testing/test_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "base/clock.h"

extern char** environ;

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                        "/swkicker-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::string();
  return pattern;
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      if (entry->d_type == DT_DIR) {
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

bool StartChild(const std::vector<std::string>& argv, Child* child) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    return false;
  }
  child->pid = pid;
  child->out = pipeFds[0];
  return true;
}

bool ReadChildLine(Child* child, int timeoutMs, std::string* line) {
  line->clear();
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd fd = {child->out, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char c;
    const ssize_t n = read(child->out, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    *line += c;
  }
}

int WaitChild(Child* child, int timeoutMs) {
  if (child->pid < 0) return -1;
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child->pid, &status, WNOHANG);
    if (done == child->pid) {
      child->pid = -1;
      if (child->out >= 0) close(child->out);
      child->out = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (done < 0 || MonotonicMs() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void StopChild(Child* child) {
  if (child->pid < 0) return;
  kill(child->pid, SIGTERM);
  if (WaitChild(child, 2000) == -1 && child->pid >= 0) {
    kill(child->pid, SIGKILL);
    waitpid(child->pid, nullptr, 0);
    child->pid = -1;
  }
  if (child->out >= 0) close(child->out);
  child->out = -1;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

std::vector<std::string> WaitForLines(const std::string& path, size_t count, int timeoutMs) {
  const int64_t deadline = MonotonicMs() + timeoutMs;
  std::vector<std::string> lines;
  for (;;) {
    lines.clear();
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    if (lines.size() >= count || MonotonicMs() >= deadline) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string JsonField(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const size_t at = line.find(marker);
  if (at == std::string::npos) return "<missing>";
  size_t i = at + marker.size();
  if (i >= line.size()) return "<missing>";
  if (line[i] != '"') {
    const size_t end = line.find_first_of(",}", i);
    return line.substr(i, end - i);
  }
  std::string value;
  for (++i; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      value += line[i];
    } else if (line[i + 1] == 'u' && i + 5 < line.size()) {
      value += static_cast<char>(std::strtol(line.substr(i + 2, 4).c_str(), nullptr, 16));
      i += 5;
    } else {
      value += line[++i];
    }
  }
  return value;
}

namespace {

// Runs argv with the given extra environment entries; its exit status, or -1.
int RunQuietly(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& entry : extraEnv) env.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool MakeKeyPair(const std::string& path, const std::string& type,
                 const std::string& passphrase) {
  return RunQuietly({"ssh-keygen", "-q", "-t", type, "-N", passphrase, "-C", "swkicker-test",
                     "-f", path},
                    {}) == 0;
}

bool StartAgent(const std::string& socketPath, const std::vector<std::string>& keyFiles,
                Child* agent) {
  if (!StartChild({"/usr/bin/ssh-agent", "-D", "-a", socketPath}, agent)) return false;
  struct stat info;
  for (int wait = 0; wait < 500 && stat(socketPath.c_str(), &info) != 0; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (const std::string& key : keyFiles) {
    if (RunQuietly({"ssh-add", key}, {"SSH_AUTH_SOCK=" + socketPath}) != 0) {
      StopChild(agent);
      return false;
    }
  }
  return true;
}
