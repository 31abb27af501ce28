#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/fleet.h"
#include "base/wipe.h"

namespace {

// Reads fd to its end, refusing more than the cap. The whole cap is reserved
// first (a large allocation is mapped, so untouched pages cost nothing): the
// text never moves, and no copy of a password is left behind unwiped.
bool ReadAll(int fd, std::string* text) {
  text->reserve(kFleetListMaxBytes);
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (text->size() + static_cast<size_t>(n) > kFleetListMaxBytes) {
      WipeBytes(buffer, sizeof buffer);
      return false;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  WipeBytes(buffer, sizeof buffer);
  return true;
}

bool HoldsPassword(const std::vector<FleetRouter>& routers) {
  for (const FleetRouter& router : routers) {
    if (!router.password.empty()) return true;
  }
  return false;
}

}  // namespace

bool LoadFleetList(const std::string& path, std::vector<FleetRouter>* routers,
                   std::string* error) {
  std::string text;
  std::string name = path;
  bool isPrivate = true;
  unsigned mode = 0;
  if (path == "-") {
    name = "standard input";
    if (!ReadAll(STDIN_FILENO, &text)) {
      Wipe(&text);
      *error = name + ": cannot be read, or holds more than 16 MB";
      return false;
    }
  } else {
    // Opened without blocking, so a FIFO never holds the run.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      *error = path + ": " + std::strerror(errno);
      return false;
    }
    struct stat status = {};
    bool read = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (!read) {
      *error = path + ": not a regular file";
    } else if (!ReadAll(fd, &text)) {
      *error = path + ": cannot be read, or holds more than 16 MB";
      read = false;
    }
    close(fd);
    if (!read) {
      Wipe(&text);
      return false;
    }
    mode = status.st_mode & 07777;
    isPrivate = ModeIsPrivate(mode);
  }
  std::vector<FleetRouter> read;
  const bool ok = ReadFleetList(name, text, &read, error);
  Wipe(&text);
  if (!ok) return false;
  if (!isPrivate && HoldsPassword(read)) {
    for (FleetRouter& router : read) Wipe(&router.password);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode);
    *error = path + ": holds passwords but is open to group or others (mode " +
             octal + "); make it private with chmod 600";
    return false;
  }
  *routers = std::move(read);
  return true;
}
