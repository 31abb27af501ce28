// The fleet's files on Windows: reading the list, private by its access
// list, opening, writing and closing the report, and replacing the retry
// list.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/fleet_list.h"
#include "app/fleet_report.h"
#include "app/fleet_retry.h"
#include "base/text_codec.h"

// The list file on Windows: the path is 8-bit text in the ANSI code page, as
// the rest of the program has it, and is widened for CreateFileW. Who else
// may read the file is told by its access list, not by mode bits.

static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

// The system's own words for an error, without the closing period.
std::string SystemErrorText(DWORD code) {
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&message), 0, nullptr);
  std::string text = length > 0 ? std::string(message, length)
                                : "error " + std::to_string(code);
  LocalFree(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                           text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

// Reads handle to its end through ReadFleetText. A pipe whose writer has
// closed it ends with ERROR_BROKEN_PIPE: that is its end, not an error.
bool ReadAll(std::string_view name, HANDLE handle, std::string* text,
             std::string* error) {
  return ReadFleetText(
      name,
      [handle](char* buffer, size_t size) -> long long {
        DWORD got = 0;
        if (!ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr)) {
          return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
        }
        return got;
      },
      text, error);
}

// The entries of an access list, their SIDs as text; false when one cannot
// be read.
bool ReadEntries(const ACL* list, std::vector<AccessEntry>* entries) {
  for (DWORD i = 0; i < list->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(list), i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    AccessEntry entry;
    entry.allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    if (entry.allows) {
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      entry.mask = allowed->Mask;
      char* sid = nullptr;
      if (!ConvertSidToStringSidA(&allowed->SidStart, &sid)) return false;
      entry.sid = sid;
      LocalFree(sid);
    }
    entries->push_back(std::move(entry));
  }
  return true;
}

// Empty when only the owner's side may read the file; else why it is open,
// and how to close it.
std::string ExposureOf(HANDLE file, const std::string& path) {
  ACL* list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status =
      GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, &list, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    return "its access list cannot be read (" + SystemErrorText(status) + ")";
  }
  std::vector<AccessEntry> entries;
  const bool read = list == nullptr || ReadEntries(list, &entries);
  LocalFree(descriptor);
  if (!read) return "its access list cannot be read";
  const std::string_view group = GroupThatCanRead(list != nullptr, entries);
  if (group.empty()) return {};
  return "can be read by " + std::string(group) +
         "; make it private with icacls \"" + path +
         "\" /inheritance:r /grant:r \"%USERNAME%:F\"";
}

// A new file beside path whose access list grants its owner alone and
// inherits nothing from the folder; never one that was there, nor what a
// reparse point of that name leads to (CREATE_NEW opens nothing that
// exists). Its name is *made; INVALID_HANDLE_VALUE with error when none can
// be made.
HANDLE CreateBeside(const std::string& path, std::u16string* made, std::string* error) {
  HANDLE token = nullptr;
  BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  DWORD size = 0;
  const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                     GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  if (token != nullptr) CloseHandle(token);
  if (!known) {
    *error = path + ": " + SystemErrorText(GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  const PSID owner = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  BYTE listBytes[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
  ACL* list = reinterpret_cast<ACL*>(listBytes);
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(list, sizeof listBytes, ACL_REVISION) ||
      !AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, owner) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    *error = path + ": " + SystemErrorText(GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  DWORD code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && code == ERROR_FILE_EXISTS; ++attempt) {
    *made = WidenText(path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(attempt) + ".new");
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t*>(made->c_str()), GENERIC_WRITE, 0,
                    &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    code = GetLastError();
  }
  *error = path + ": its folder cannot take a new file (" + SystemErrorText(code) + ")";
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool CheckFleetRetry(const std::string& path, std::string* error) {
  const std::u16string wide = WidenText(path);
  // What is there is looked at, not used: a reparse point itself (it is
  // replaced, never followed), a device or pipe by its type, a folder by
  // its attributes.
  const HANDLE there = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                   nullptr);
  if (there != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION information = {};
    const bool plain = GetFileType(there) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(there, &information) &&
                       ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
    CloseHandle(there);
    if (!plain) {
      *error = path + ": not a regular file";
      return false;
    }
  } else if (const DWORD code = GetLastError();
             code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
    *error = path + ": " + SystemErrorText(code);
    return false;
  }
  // The folder is tried as the end of the run will use it.
  std::u16string made;
  const HANDLE file = CreateBeside(path, &made, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  DeleteFileW(reinterpret_cast<const wchar_t*>(made.c_str()));
  return true;
}

bool WriteFleetRetry(const std::string& path, std::string_view text, std::string* error) {
  std::u16string made;
  const HANDLE file = CreateBeside(path, &made, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  const auto* madeName = reinterpret_cast<const wchar_t*>(made.c_str());
  bool written = true;
  DWORD code = ERROR_SUCCESS;
  for (size_t done = 0; written && done < text.size();) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    written = WriteFile(file, text.data() + done, chunk, &wrote, nullptr) && wrote > 0;
    if (!written) code = GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError();
    done += wrote;
  }
  // A disk that defers its writes reports their failure here.
  if (written && !FlushFileBuffers(file)) {
    written = false;
    code = GetLastError();
  }
  CloseHandle(file);
  const std::u16string wide = WidenText(path);
  if (written && !MoveFileExW(madeName, reinterpret_cast<const wchar_t*>(wide.c_str()),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    written = false;
    code = GetLastError();
  }
  if (!written) {
    DeleteFileW(madeName);
    *error = path + ": " + SystemErrorText(code);
  }
  return written;
}

bool LoadFleetList(const std::string& path, std::vector<FleetRouter>* routers,
                   std::string* error) {
  std::string text;
  if (path == "-") {
    const std::string name = "standard input";
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
      *error = name + ": not open";
      return false;
    }
    if (!ReadAll(name, input, &text, error)) return false;
    return FinishFleetList(name, &text, {}, routers, error);
  }
  const std::u16string wide = WidenText(path);
  const auto* name = reinterpret_cast<const wchar_t*>(wide.c_str());
  // GENERIC_READ brings READ_CONTROL, which the access list needs.
  const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS: say what it
    // is rather than that access was denied.
    const DWORD attributes = GetFileAttributesW(name);
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *error = path + ": " + (folder ? "not a regular file" : SystemErrorText(code));
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  bool read = GetFileType(file) == FILE_TYPE_DISK &&
              GetFileInformationByHandle(file, &information) &&
              (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  std::string exposure;
  if (!read) {
    *error = path + ": not a regular file";
  } else {
    read = ReadAll(path, file, &text, error);
    if (read) exposure = ExposureOf(file, path);
  }
  CloseHandle(file);
  if (!read) return false;
  return FinishFleetList(path, &text, exposure, routers, error);
}

bool OpenFleetReport(const std::string& path, ReportFile* file, std::string* error) {
  if (path == "-") {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
      *error = "-: standard output is not open";
      return false;
    }
    // Standard output holds the CSV alone; a console is where the run's
    // own lines go.
    if (GetFileType(output) == FILE_TYPE_CHAR && GetConsoleMode(output, &mode)) {
      *error = "-: standard output is a console; send it to a file or a pipe";
      return false;
    }
    *file = ReportFile{reinterpret_cast<intptr_t>(output), false};
    return true;
  }
  const std::u16string wide = WidenText(path);
  const auto* name = reinterpret_cast<const wchar_t*>(wide.c_str());
  const std::string notFollowed =
      path + ": is a symbolic link or other reparse point, which is not followed; "
             "name the file itself";
  const DWORD before = GetFileAttributesW(name);
  if (before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = notFollowed;
    return false;
  }
  // The reparse point itself is opened, never what it leads to, and the
  // file is not emptied until it is known to be a plain file on a disk.
  const HANDLE handle =
      CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      *error = notFollowed;
    } else if (attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      *error = path + ": not a regular file";
    } else {
      *error = path + ": " + SystemErrorText(code);
    }
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  const bool disk = GetFileType(handle) == FILE_TYPE_DISK &&
                    GetFileInformationByHandle(handle, &information);
  if (disk && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = notFollowed;
  } else if (!disk || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + ": not a regular file";
  } else if (!SetEndOfFile(handle)) {  // OPEN_ALWAYS leaves the pointer at 0
    *error = path + ": " + SystemErrorText(GetLastError());
  } else {
    *file = ReportFile{reinterpret_cast<intptr_t>(handle), true};
    return true;
  }
  CloseHandle(handle);
  return false;
}

bool WriteFleetReport(ReportFile* file, std::string_view bytes, std::string* error) {
  const HANDLE handle = reinterpret_cast<HANDLE>(file->handle);
  // Where the row starts, to cut a part of it back off; a pipe has none.
  LARGE_INTEGER start = {};
  const LARGE_INTEGER none = {};
  const bool seekable = GetFileType(handle) == FILE_TYPE_DISK &&
                        SetFilePointerEx(handle, none, &start, FILE_CURRENT);
  size_t written = 0;
  while (written < bytes.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    if (!WriteFile(handle, bytes.data() + written, chunk, &wrote, nullptr) || wrote == 0) {
      *error = wrote == 0 && GetLastError() == ERROR_SUCCESS ? "nothing more could be written"
                                                             : SystemErrorText(GetLastError());
      if (written > 0 && seekable && SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
        SetEndOfFile(handle);
      }
      return false;
    }
    written += wrote;
  }
  return true;
}

bool CloseFleetReport(ReportFile* file, std::string* error) {
  const HANDLE handle = reinterpret_cast<HANDLE>(file->handle);
  bool whole = true;
  if (file->handle != -1) {
    // A disk that defers its writes reports their failure here.
    if (GetFileType(handle) == FILE_TYPE_DISK && !FlushFileBuffers(handle)) {
      *error = SystemErrorText(GetLastError());
      whole = false;
    }
    if (file->owned) CloseHandle(handle);
  }
  *file = ReportFile();
  return whole;
}
