// The fleet's files on POSIX: reading the list, private by its mode bits,
// opening, writing and closing the report, and replacing the retry list.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/fleet_list.h"
#include "app/fleet_report.h"
#include "app/fleet_retry.h"

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

// Writes bytes whole to fd, looping on short writes and EINTR; false with
// *error the system's words when it stops, *written what got out before.
bool WriteWhole(int fd, std::string_view bytes, size_t* written, std::string* error) {
  *written = 0;
  while (*written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + *written, bytes.size() - *written);
    if (n > 0) {
      *written += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      *error = n < 0 ? std::strerror(errno) : "nothing more could be written";
      return false;
    }
  }
  return true;
}

// A new file beside path, mode 0600 whatever the umask, never through a
// symbolic link and never one that was there: its name is *made, its
// descriptor returned; below 0 with error when none can be made.
int CreateBeside(const std::string& path, std::string* made, std::string* error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *made = path + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".new";
    const int fd = open(made->c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      if (fchmod(fd, 0600) == 0) return fd;
      *error = path + ": " + std::strerror(errno);
      close(fd);
      unlink(made->c_str());
      return -1;
    }
    if (errno != EEXIST) break;
  }
  *error = path + ": its folder cannot take a new file (" + std::strerror(errno) + ")";
  return -1;
}

// Flushes the folder that holds path, so that a rename in it is on the disk
// too; a file system that cannot is left to its own pace.
void FlushFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool CheckFleetRetry(const std::string& path, std::string* error) {
  struct stat status = {};
  if (lstat(path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
      *error = path + ": not a regular file";
      return false;
    }
  } else if (errno != ENOENT) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  // The folder is tried as the end of the run will use it.
  std::string made;
  const int fd = CreateBeside(path, &made, error);
  if (fd < 0) return false;
  close(fd);
  unlink(made.c_str());
  return true;
}

bool WriteFleetRetry(const std::string& path, std::string_view text, std::string* error) {
  std::string made;
  const int fd = CreateBeside(path, &made, error);
  if (fd < 0) return false;
  // A full disk may show at the write, at fsync or at close.
  size_t out = 0;
  std::string why;
  bool written = WriteWhole(fd, text, &out, &why);
  if (written && fsync(fd) != 0) {
    written = false;
    why = std::strerror(errno);
  }
  if (close(fd) != 0 && written && errno != EINTR) {
    written = false;
    why = std::strerror(errno);
  }
  if (written && rename(made.c_str(), path.c_str()) != 0) {
    written = false;
    why = std::strerror(errno);
  }
  if (!written) {
    unlink(made.c_str());
    *error = path + ": " + why;
    return false;
  }
  FlushFolderOf(path);
  return true;
}

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

bool OpenFleetReport(const std::string& path, ReportFile* file, std::string* error) {
  if (path == "-") {
    // Standard output holds the CSV alone; on a terminal it is where the
    // run's own lines go.
    if (isatty(STDOUT_FILENO)) {
      *error = "-: standard output is a terminal; send it to a file or a pipe";
      return false;
    }
    *file = ReportFile{STDOUT_FILENO, false};
    return true;
  }
  // Not emptied yet (no O_TRUNC): that waits until it is known to be a
  // regular file. O_NONBLOCK keeps a FIFO without a reader from holding the
  // run; O_NOFOLLOW refuses a symbolic link in the last place.
  const int fd = open(path.c_str(),
                      O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    const int code = errno;
    struct stat status = {};
    if (code == ELOOP && lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      *error = path + ": is a symbolic link, which is not followed; name the file itself";
    } else if (code == ENXIO || code == EISDIR) {
      *error = path + ": not a regular file";
    } else {
      *error = path + ": " + std::strerror(code);
    }
    return false;
  }
  struct stat status = {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = path + ": not a regular file";
    close(fd);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (ftruncate(fd, 0) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = path + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  *file = ReportFile{fd, true};
  return true;
}

bool WriteFleetReport(ReportFile* file, std::string_view bytes, std::string* error) {
  const int fd = static_cast<int>(file->handle);
  // Where the row starts, to cut a part of it back off; a pipe has none.
  const off_t start = lseek(fd, 0, SEEK_CUR);
  size_t written = 0;
  if (WriteWhole(fd, bytes, &written, error)) return true;
  if (written > 0 && start >= 0 && ftruncate(fd, start) == 0) lseek(fd, start, SEEK_SET);
  return false;
}

bool CloseFleetReport(ReportFile* file, std::string* error) {
  const int fd = static_cast<int>(file->handle);
  bool whole = true;
  if (fd >= 0) {
    // A disk that defers its writes reports their failure here (EIO, or
    // ENOSPC on a file system that allocates late).
    struct stat status = {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && fsync(fd) != 0 &&
        errno != EINVAL) {
      *error = std::strerror(errno);
      whole = false;
    }
    if (file->owned && close(fd) != 0 && whole && errno != EINTR) {
      *error = std::strerror(errno);
      whole = false;
    }
  }
  *file = ReportFile();
  return whole;
}
