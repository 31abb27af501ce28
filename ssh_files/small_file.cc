#include "ssh_files/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>

namespace {

#if defined(_WIN32)
int OpenNonBlocking(const std::string& path) {
  return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
int ReadSome(int fd, char* buffer, size_t size) {
  return _read(fd, buffer, static_cast<unsigned>(size));
}
void CloseFile(int fd) { _close(fd); }
// Takes (or with lock false gives back) the appenders' lock, shared.
bool ShareAppendLock(int fd, bool lock) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED at = {};
  at.OffsetHigh = kAppendLockOffsetHigh;
  return lock ? LockFileEx(file, 0, 0, 1, 0, &at) != 0 : UnlockFileEx(file, 0, 1, 0, &at) != 0;
}
// The size of a regular file; -1 for anything else.
int64_t RegularSize(int fd) {
  struct _stat64 info;
  if (_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return static_cast<int64_t>(info.st_size);
}
#else
int OpenNonBlocking(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}
int ReadSome(int fd, char* buffer, size_t size) {
  return static_cast<int>(read(fd, buffer, size));
}
void CloseFile(int fd) { close(fd); }
// Takes (or with lock false gives back) the appenders' lock, shared.
bool ShareAppendLock(int fd, bool lock) {
  int done;
  do {
    done = flock(fd, lock ? LOCK_SH : LOCK_UN);
  } while (done != 0 && errno == EINTR);
  return done == 0;
}
// The size of a regular file; -1 for anything else.
int64_t RegularSize(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<int64_t>(info.st_size);
}
#endif

// ReadSmallFile's work, with the appenders' lock held shared while reading
// when shared is true.
SmallFileStatus ReadWhole(const std::string& path, size_t maxBytes, bool shared,
                           std::string* text) {
  text->clear();
  const int fd = OpenNonBlocking(path);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? SmallFileStatus::kMissing
                                               : SmallFileStatus::kUnreadable;
  }
  SmallFileStatus status = SmallFileStatus::kUnreadable;
  const bool locked = shared && RegularSize(fd) >= 0 && ShareAppendLock(fd, true);
  if (RegularSize(fd) >= 0) {
    char chunk[4096];
    for (;;) {
      const int got = ReadSome(fd, chunk, sizeof chunk);
      if (got < 0) break;
      if (got == 0) {
        status = SmallFileStatus::kRead;
        break;
      }
      if (text->size() + static_cast<size_t>(got) > maxBytes) break;
      text->append(chunk, static_cast<size_t>(got));
    }
  }
  if (locked) ShareAppendLock(fd, false);
  CloseFile(fd);
  if (status != SmallFileStatus::kRead) text->clear();
  return status;
}

}  // namespace

SmallFileStatus ReadSmallFile(const std::string& path, size_t maxBytes, std::string* text) {
  return ReadWhole(path, maxBytes, false, text);
}

SmallFileStatus ReadSmallFileShared(const std::string& path, size_t maxBytes,
                                    std::string* text) {
  return ReadWhole(path, maxBytes, true, text);
}

SmallFileStatus CheckSmallFile(const std::string& path, size_t maxBytes) {
  const int fd = OpenNonBlocking(path);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? SmallFileStatus::kMissing
                                               : SmallFileStatus::kUnreadable;
  }
  const int64_t size = RegularSize(fd);
  CloseFile(fd);
  return size >= 0 && static_cast<uint64_t>(size) <= maxBytes ? SmallFileStatus::kRead
                                                              : SmallFileStatus::kUnreadable;
}
