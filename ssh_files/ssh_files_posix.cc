// Where the user's SSH files are on POSIX systems (~/.ssh and /etc/ssh),
// the agent's socket, and the file operations that differ there.

#include "ssh_files/ssh_files.h"

#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/clock.h"

namespace {

// This process's passwd entry, its texts kept in *room. getpwuid's own
// copy would be shared with every other thread's sessions.
const passwd* OwnPasswdEntry(passwd* entry, std::vector<char>* room) {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  room->resize(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  for (;;) {
    passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), entry, room->data(), room->size(), &found);
    if (error != ERANGE || room->size() >= (1u << 20)) return error == 0 ? found : nullptr;
    room->resize(room->size() * 2);
  }
}

// Two sessions on different threads may record new routers in the same
// file at once. flock keeps them apart on a local disk, but on NFS the
// system makes it a lock of the whole process, which lets both threads in:
// they take turns here as well.
std::mutex g_appendLock;

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  passwd entry;
  std::vector<char> room;
  const passwd* found = OwnPasswdEntry(&entry, &room);
  if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') return "";
  return found->pw_dir;
}

std::string UserSshFolder() {
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.ssh";
}

std::string GlobalKnownHostsPath() { return "/etc/ssh/ssh_known_hosts"; }

std::string SystemSshFolder() { return "/etc/ssh"; }

std::string LocalUserName() {
  passwd entry;
  std::vector<char> room;
  const passwd* found = OwnPasswdEntry(&entry, &room);
  return found != nullptr && found->pw_name != nullptr ? found->pw_name : "";
}

std::vector<KnownHostsText> ReadMatchingFiles(const std::string& pattern) {
  glob_t found = {};
  std::vector<std::string> paths;
  // A pattern that matches nothing is no file.
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  return ReadKnownHostsFiles(paths);
}

bool RandomBytes(uint8_t* bytes, size_t size) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, bytes + done, size - done);
    if (got <= 0 && errno != EINTR) break;
    if (got > 0) done += static_cast<size_t>(got);
  }
  close(fd);
  return done == size;
}

bool AppendUnderLock(const std::string& path,
                     std::string (*entryFor)(const std::string& text, void* context),
                     void* context, std::string* error) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    // As ssh does: the user's SSH folder is made for the user only.
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = path + " cannot be opened for writing";
    return false;
  }
  std::lock_guard<std::mutex> turn(g_appendLock);
  bool ok = false;
  int locked;
  do {
    locked = flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  struct stat info = {};
  if (locked != 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = path + " cannot be locked";
  } else {
    std::string text;
    char chunk[4096];
    ssize_t got;
    off_t at = 0;
    while ((got = pread(fd, chunk, sizeof chunk, at)) > 0) {
      text.append(chunk, static_cast<size_t>(got));
      at += got;
    }
    const std::string entry = got < 0 ? std::string() : entryFor(text, context);
    if (got < 0) {
      *error = path + " cannot be read";
    } else if (entry.empty() ||
               write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size())) {
      ok = true;
    } else {
      *error = path + " cannot be written";
    }
  }
  close(fd);  // releases the lock
  return ok;
}

bool AgentNamed() {
  const char* socket = std::getenv("SSH_AUTH_SOCK");
  return socket != nullptr && socket[0] != '\0';
}

const char* NullPath() { return "/dev/null"; }

char PathSeparator() { return '/'; }

namespace {

// Waits until fd is ready for events or deadlineMs has passed.
bool WaitFor(int fd, short events, int64_t deadlineMs) {
  for (;;) {
    const int64_t left = deadlineMs - MonotonicMs();
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
  const int64_t deadline = MonotonicMs() + timeoutMs;
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
