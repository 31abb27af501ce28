#include "session/ssh_files.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

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

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits until fd is ready for events or deadlineMs has passed.
bool WaitFor(int fd, short events, int64_t deadlineMs) {
  for (;;) {
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return false;
    pollfd entry = {fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool AgentAnswers(int timeoutMs) {
  const char* path = std::getenv("SSH_AUTH_SOCK");
  if (path == nullptr || path[0] == '\0') return false;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int64_t deadline = NowMs() + timeoutMs;
  bool answered = false;
  // The agent protocol's request for the identities: a 4-byte length, then
  // message 11.
  const unsigned char request[] = {0, 0, 0, 1, 11};
  if ((connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
       (errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline))) &&
      send(fd, request, sizeof request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request)) {
    // Any reply at all within the time shows an agent that answers.
    unsigned char reply[5];
    answered = WaitFor(fd, POLLIN, deadline) && recv(fd, reply, sizeof reply, 0) > 0;
  }
  close(fd);
  return answered;
}
