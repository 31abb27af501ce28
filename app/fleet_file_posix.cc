#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/fleet.h"

namespace {

// Reads fd to its end through ReadFleetText.
bool ReadAll(std::string_view name, int fd, std::string* text,
             std::string* error) {
  return ReadFleetText(
      name,
      [fd](char* buffer, size_t size) -> long long {
        for (;;) {
          const ssize_t n = read(fd, buffer, size);
          if (n >= 0 || errno != EINTR) return n;
        }
      },
      text, error);
}

}  // namespace

bool LoadFleetList(const std::string& path, std::vector<FleetRouter>* routers,
                   std::string* error) {
  std::string text;
  if (path == "-") {
    const std::string name = "standard input";
    if (!ReadAll(name, STDIN_FILENO, &text, error)) return false;
    return FinishFleetList(name, &text, {}, routers, error);
  }
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
  } else {
    read = ReadAll(path, fd, &text, error);
  }
  close(fd);
  if (!read) return false;
  const unsigned mode = status.st_mode & 07777;
  std::string exposure;
  if (!ModeIsPrivate(mode)) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode);
    exposure = std::string("is open to group or others (mode ") + octal +
               "); make it private with chmod 600";
  }
  return FinishFleetList(path, &text, exposure, routers, error);
}
