#ifndef SSH_FILES_SMALL_FILE_H_
#define SSH_FILES_SMALL_FILE_H_

#include <cstddef>
#include <string>

enum class SmallFileStatus {
  kRead,        // a regular file, read whole
  kMissing,     // no such file (or a folder on the way is missing)
  kUnreadable,  // there but not read: closed to us, not a regular file, or
                // larger than the cap
};

/// The bytes of one of the user's SSH files. It is opened without
/// blocking, so a FIFO or a device never holds the run; only a regular file
/// is read, and only up to maxBytes: a larger one is kUnreadable.
SmallFileStatus ReadSmallFile(const std::string& path, size_t maxBytes, std::string* text);

/// The same, holding shared, while it reads, the lock a known_hosts appender
/// (AppendUnderLock) holds exclusive from its read to its write: a line
/// being appended meanwhile is read whole or not at all, never in part.
/// Where the lock cannot be taken the file is read as ReadSmallFile reads it.
SmallFileStatus ReadSmallFileShared(const std::string& path, size_t maxBytes,
                                    std::string* text);

/// Where an appender's lock lies on Windows: one byte far past any real end
/// of the file, since Windows enforces a lock on reads through other
/// handles (POSIX locks the whole file, advisory only).
constexpr unsigned long kAppendLockOffsetHigh = 0x40000000;  // 2^62

/// What ReadSmallFile would give, without reading: the file is opened the
/// same way and its size is taken from the system. For a file another
/// library then reads itself (a private key stays out of our memory).
SmallFileStatus CheckSmallFile(const std::string& path, size_t maxBytes);

/// The most any known_hosts or identity file may hold.
constexpr size_t kSshFileMaxBytes = 4u << 20;

#endif  // SSH_FILES_SMALL_FILE_H_
