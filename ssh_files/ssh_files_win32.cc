// Where the user's SSH files are on Windows (%USERPROFILE%\.ssh and
// %PROGRAMDATA%\ssh, as Windows' own OpenSSH client has them), and the file
// operations that differ there. rand_s needs _CRT_RAND_S before any header.
#define _CRT_RAND_S
#include "ssh_files/ssh_files.h"
#include "ssh_files/small_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

std::string HomeFolder() {
  const char* profile = std::getenv("USERPROFILE");
  if (profile == nullptr || profile[0] == '\0') return "";
  return profile;
}

// Where Windows' own OpenSSH client keeps them.
std::string UserSshFolder() {
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "\\.ssh";
}

std::string SystemSshFolder() {
  const char* data = std::getenv("ProgramData");
  if (data == nullptr || data[0] == '\0') return NullPath();
  return std::string(data) + "\\ssh";
}

std::string GlobalKnownHostsPath() {
  const std::string folder = SystemSshFolder();
  if (folder == NullPath()) return NullPath();
  return folder + "\\ssh_known_hosts";
}

std::string LocalUserName() {
  char name[256];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

std::vector<KnownHostsText> ReadMatchingFiles(const std::string& pattern) {
  std::vector<std::string> paths;
  const size_t slash = pattern.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        paths.push_back(folder + found.cFileName);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  std::sort(paths.begin(), paths.end());
  return ReadKnownHostsFiles(paths);
}

bool RandomBytes(uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return false;
    bytes[i] = static_cast<uint8_t>(value);
  }
  return true;
}

bool AppendUnderLock(const std::string& path,
                     std::string (*entryFor)(const std::string& text, void* context),
                     void* context, std::string* error) {
  const size_t slash = path.find_last_of("\\/");
  if (slash != std::string::npos) CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = path + " cannot be opened for writing";
    return false;
  }
  // The lock is on one byte far past any real end of the file, not on the
  // text: Windows enforces a lock on reads through other handles, and a
  // session on another thread (or in another run) reading known_hosts then
  // would find it unreadable and refuse its router. Every appender locks
  // that byte, so they still take turns: the lock is the handle's, and
  // another handle of this same process waits too. A whole-file lock, as
  // older runs took, covers the byte as well.
  OVERLAPPED lockByte = {};
  lockByte.OffsetHigh = kAppendLockOffsetHigh;
  bool ok = false;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockByte)) {
    *error = path + " cannot be locked";
  } else {
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    bool readOk = true;
    while ((readOk = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
      text.append(chunk, got);
    }
    const std::string entry = readOk ? entryFor(text, context) : std::string();
    DWORD written = 0;
    if (!readOk) {
      *error = path + " cannot be read";
    } else if (entry.empty() ||
               (SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written,
                          nullptr) &&
                written == entry.size())) {
      ok = true;
    } else {
      *error = path + " cannot be written";
    }
    UnlockFileEx(file, 0, 1, 0, &lockByte);
  }
  CloseHandle(file);
  return ok;
}

// libssh 0.10 speaks to an agent only over a Unix socket.
bool AgentNamed() { return false; }

// "NUL" opens as an empty file, like /dev/null.
const char* NullPath() { return "NUL"; }

char PathSeparator() { return '\\'; }

bool AgentAnswers(int) { return false; }
