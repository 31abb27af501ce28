// LoadFleetList on Windows, on lists made with real access lists.
//
// Wine keeps no access list of a file's own: the one it shows is made from
// the file's Unix mode (SYSTEM, the owner, and Everyone when others may
// read), and the list a file is created with is turned into that mode once.
// Setting a list on a file that exists succeeds but changes nothing, so the
// files here are created with theirs. A private list, Everyone and a NULL
// DACL come through that trip; Users and Authenticated Users have no place
// in a Unix mode, so their test runs only where the list is kept as made,
// and GroupThatCanRead's own test covers them everywhere.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/fleet_list.h"
#include "app/fleet_report.h"
#include "app/fleet_retry.h"
#include "base/text_codec.h"

namespace {

using Sid = std::vector<BYTE>;

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
  Sid sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
  sid.resize(size);
  return sid;
}

Sid CurrentUser() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  BYTE buffer[256];
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
  CloseHandle(token);
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  const BYTE* bytes = static_cast<const BYTE*>(user);
  return Sid(bytes, bytes + GetLengthSid(user));
}

struct Grant {
  Sid sid;
  DWORD access;
};

// An explicit access list built by SetEntriesInAcl; free with LocalFree.
ACL* BuildList(std::vector<Grant>& grants) {
  std::vector<EXPLICIT_ACCESSW> entries;
  for (Grant& grant : grants) {
    EXPLICIT_ACCESSW entry = {};
    entry.grfAccessPermissions = grant.access;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(grant.sid.data());
    entries.push_back(entry);
  }
  ACL* list = nullptr;
  EXPECT_EQ(SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(),
                             nullptr, &list),
            static_cast<DWORD>(ERROR_SUCCESS));
  return list;
}

// Whether the file's access list, read back, lets sid in: false where the
// list was not kept as made.
bool ListAllows(const std::wstring& path, const Sid& sid) {
  ACL* list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &list, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool allows = false;
  for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(list, i, &ace) &&
        static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
        EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart,
                 const_cast<BYTE*>(sid.data()))) {
      allows = true;
    }
  }
  LocalFree(descriptor);
  return allows;
}

class FleetFileWin32Test : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    folder_ = std::wstring(temp) + L"fleet_file_test." +
              std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  }
  void TearDown() override {
    for (const std::wstring& file : files_) DeleteFileW(file.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  // Creates the list with an access list of its own: grants, protected from
  // the folder's, or a NULL DACL when nullList.
  std::wstring Create(const std::wstring& name, const std::string& text,
                      std::vector<Grant> grants, bool nullList = false) {
    const std::wstring path = folder_ + L"\\" + name;
    ACL* list = nullList ? nullptr : BuildList(grants);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE);
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    LocalFree(list);
    files_.push_back(path);
    return path;
  }
  // The file's text, up to 64 bytes.
  static std::string ReadBack(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    char text[64] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text, &got, nullptr);
    CloseHandle(file);
    return std::string(text, got);
  }
  static std::string Narrow(const std::wstring& wide) {
    return NarrowText(std::u16string(wide.begin(), wide.end()));
  }
  static std::wstring WidenPath(const std::string& path) {
    const std::u16string wide = WidenText(path);
    return std::wstring(wide.begin(), wide.end());
  }
  std::wstring folder_;
  std::vector<std::wstring> files_;
};

constexpr char kGood[] =
    "/user:a /pw:p /port:22 /ip:10.0.0.1\n/user:a /pw:p /port:22 /ip:10.0.0.2\n";
constexpr char kNoPassword[] = "/user:a /pw: /port:22 /ip:10.0.0.1\n";

TEST_F(FleetFileWin32Test, ListOpenToEveryoneIsRefusedUnlessItHoldsNoPassword) {
  const Sid me = CurrentUser();
  const Sid everyone = WellKnown(WinWorldSid);
  struct Case {
    std::wstring name;
    std::string text;
    std::vector<Grant> grants;
    bool nullList;
    std::string refusal;  // empty: read
  };
  const std::string fix = "; make it private with icacls";
  const Case cases[] = {
      // The name is not ASCII: the path reaches CreateFileW widened.
      {L"priv\u00e9", kGood, {{me, GENERIC_ALL}}, false, ""},
      {L"everyone", kGood, {{me, GENERIC_ALL}, {everyone, GENERIC_READ}}, false,
       "holds passwords but can be read by Everyone"},
      {L"everyone-data", kGood, {{me, GENERIC_ALL}, {everyone, FILE_READ_DATA}}, false,
       "holds passwords but can be read by Everyone"},
      {L"null", kGood, {}, true, "holds passwords but can be read by Everyone"},
      {L"keys", kNoPassword, {{me, GENERIC_ALL}, {everyone, GENERIC_READ}}, false, ""},
  };
  for (const Case& c : cases) {
    const std::string path = Narrow(Create(c.name, c.text, c.grants, c.nullList));
    std::vector<FleetRouter> routers;
    std::string error;
    const bool read = LoadFleetList(path, &routers, &error);
    if (c.refusal.empty()) {
      EXPECT_TRUE(read) << error;
      EXPECT_FALSE(routers.empty()) << path;
    } else {
      EXPECT_FALSE(read) << path;
      EXPECT_EQ(error.substr(0, path.size() + 2 + c.refusal.size()),
                path + ": " + c.refusal);
      EXPECT_NE(error.find(fix + " \"" + path + "\" /inheritance:r"),
                std::string::npos)
          << error;
      EXPECT_TRUE(routers.empty());
    }
  }
}

TEST_F(FleetFileWin32Test, ListReadableByUsersOrAuthenticatedUsersIsRefused) {
  const Sid me = CurrentUser();
  struct Case {
    std::wstring name;
    Sid group;
    DWORD access;
    std::string groupName;
  };
  const Case cases[] = {
      {L"users", WellKnown(WinBuiltinUsersSid), GENERIC_READ, "Users"},
      {L"authenticated", WellKnown(WinAuthenticatedUserSid), FILE_ALL_ACCESS,
       "Authenticated Users"},
  };
  for (const Case& c : cases) {
    const std::wstring wide = Create(c.name, kGood, {{me, GENERIC_ALL}, {c.group, c.access}});
    if (!ListAllows(wide, c.group)) {
      GTEST_SKIP() << "this system did not keep the access list the file was "
                      "created with (Wine shows one made from the Unix mode, "
                      "which has no place for "
                   << c.groupName << ")";
    }
    const std::string path = Narrow(wide);
    std::vector<FleetRouter> routers;
    std::string error;
    EXPECT_FALSE(LoadFleetList(path, &routers, &error));
    const std::string refusal =
        path + ": holds passwords but can be read by " + c.groupName + ";";
    EXPECT_EQ(error.rfind(refusal, 0), 0u) << error;
  }
}

TEST_F(FleetFileWin32Test, OnlyARegularFileIsRead) {
  const std::string folder = Narrow(folder_);
  // A pipe opens like a file, and would hand over whatever its writer sends.
  const std::string pipe =
      "\\\\.\\pipe\\fleet_file_test." + std::to_string(GetCurrentProcessId());
  const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {folder, folder + ": not a regular file"},
      {"NUL", "NUL: not a regular file"},
      {pipe, pipe + ": not a regular file"},
  };
  for (const Case& c : cases) {
    std::vector<FleetRouter> routers;
    std::string error;
    EXPECT_FALSE(LoadFleetList(c.path, &routers, &error)) << c.path;
    EXPECT_EQ(error, c.error);
  }
  CloseHandle(server);
  std::vector<FleetRouter> routers;
  std::string error;
  EXPECT_FALSE(LoadFleetList(folder + "\\missing", &routers, &error));
  EXPECT_EQ(error.rfind(folder + "\\missing: ", 0), 0u) << error;
  EXPECT_EQ(error.find("not a regular file"), std::string::npos) << error;
}

TEST_F(FleetFileWin32Test, ListFromStandardInputAsFileOrPipe) {
  const std::wstring path = Create(L"stdin", kGood, {{CurrentUser(), GENERIC_ALL}});
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE pipeRead = nullptr;
  HANDLE pipeWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
  DWORD written = 0;
  WriteFile(pipeWrite, kGood, sizeof kGood - 1, &written, nullptr);
  CloseHandle(pipeWrite);  // the reader then sees the end
  const HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
  for (HANDLE input : {file, pipeRead}) {
    SetStdHandle(STD_INPUT_HANDLE, input);
    std::vector<FleetRouter> routers;
    std::string error;
    const bool read = LoadFleetList("-", &routers, &error);
    SetStdHandle(STD_INPUT_HANDLE, saved);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(routers.size(), 2u);
    EXPECT_EQ(routers[1].address, "10.0.0.2");
    CloseHandle(input);
  }
}

// What the report may be: a new or plain file on a disk (emptied only then);
// a folder, device or pipe is refused without blocking.
TEST_F(FleetFileWin32Test, ReportOpensOnlyAPlainFile) {
  const std::string folder = Narrow(folder_);
  const std::string pipe =
      "\\\\.\\pipe\\fleet_report_test." + std::to_string(GetCurrentProcessId());
  const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const std::wstring old = Create(L"old.csv", "old rows\r\n", {{CurrentUser(), GENERIC_ALL}});
  files_.push_back(folder_ + L"\\new.csv");
  struct Case {
    std::string path;
    std::string error;  // empty: opened
  };
  const Case cases[] = {
      {folder, folder + ": not a regular file"},
      {"NUL", "NUL: not a regular file"},
      {pipe, pipe + ": not a regular file"},
      {Narrow(old), ""},
      {folder + "\\new.csv", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ReportFile file;
    std::string error;
    const bool opened = OpenFleetReport(c.path, &file, &error);
    EXPECT_EQ(opened, c.error.empty());
    EXPECT_EQ(error, c.error);
    if (!opened) continue;
    ASSERT_TRUE(WriteFleetReport(&file, "line\r\n", &error)) << error;
    ASSERT_TRUE(CloseFleetReport(&file, &error)) << error;
    EXPECT_EQ(ReadBack(WidenPath(c.path)), "line\r\n");
  }
  CloseHandle(server);
}

// A symbolic link (a reparse point) is refused, not followed: its target
// keeps its text.
TEST_F(FleetFileWin32Test, ReportSymbolicLinkIsNotFollowed) {
  const std::wstring target = Create(L"target.csv", "precious", {{CurrentUser(), GENERIC_ALL}});
  const std::wstring link = folder_ + L"\\link.csv";
  CreateSymbolicLinkW(link.c_str(), target.c_str(), 0);
  // Wine says it made the link and makes nothing: only a reparse point that
  // is there counts.
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "this system made no symbolic link";
  }
  files_.push_back(link);
  ReportFile file;
  std::string error;
  EXPECT_FALSE(OpenFleetReport(Narrow(link), &file, &error));
  EXPECT_EQ(error, Narrow(link) +
                       ": is a symbolic link or other reparse point, which is not followed; "
                       "name the file itself");
  EXPECT_EQ(ReadBack(target), "precious");
}

// /report:- writes to standard output when it is a file or a pipe.
TEST_F(FleetFileWin32Test, ReportOnStandardOutput) {
  const std::wstring path = Create(L"stdout.csv", "", {{CurrentUser(), GENERIC_ALL}});
  const HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  ReportFile file;
  std::string error;
  const bool opened = OpenFleetReport("-", &file, &error);
  const bool wrote = opened && WriteFleetReport(&file, "header\r\n", &error);
  const bool closed = opened && CloseFleetReport(&file, &error);
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(out);  // standard output is the caller's to close
  ASSERT_TRUE(opened && wrote && closed) << error;
  EXPECT_EQ(ReadBack(path), "header\r\n");
}

// The retry list: a new file that grants only its owner, renamed over the
// old one, so that a rerun of it passes the list's own privacy check; a
// folder, device, pipe or missing folder is refused before the run.
TEST_F(FleetFileWin32Test, RetryListReplacesItsFileAndStaysPrivate) {
  const std::string folder = Narrow(folder_);
  const std::string pipe =
      "\\\\.\\pipe\\fleet_retry_test." + std::to_string(GetCurrentProcessId());
  const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const Sid everyone = WellKnown(WinWorldSid);
  // An old retry list anyone may read: the new one is private all the same.
  const std::wstring old =
      Create(L"old.txt", "old list\n", {{CurrentUser(), GENERIC_ALL}, {everyone, GENERIC_READ}});
  files_.push_back(folder_ + L"\\new.txt");
  const std::string missing = folder + "\\none\\r.txt";
  struct Case {
    std::string path;
    std::string error;  // empty: written; else how it starts
  };
  const Case cases[] = {
      {Narrow(old), ""},
      {folder + "\\new.txt", ""},
      {folder, folder + ": not a regular file"},
      {"NUL", "NUL: not a regular file"},
      {pipe, pipe + ": not a regular file"},
      {missing, missing + ": its folder cannot take a new file ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_EQ(CheckFleetRetry(c.path, &error), c.error.empty());
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    if (!c.error.empty()) continue;
    ASSERT_TRUE(WriteFleetRetry(c.path, kNoPassword + std::string("/pw:p /ip:::1\n"), &error))
        << error;
    EXPECT_EQ(ReadBack(WidenPath(c.path)), kNoPassword + std::string("/pw:p /ip:::1\n"));
    EXPECT_FALSE(ListAllows(WidenPath(c.path), everyone));
    std::vector<FleetRouter> routers;
    EXPECT_TRUE(LoadFleetList(c.path, &routers, &error)) << error;
    EXPECT_EQ(routers.size(), 2u);
  }
  CloseHandle(server);
  // No new file was left beside them.
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder_ + L"\\*.new").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

}  // namespace
