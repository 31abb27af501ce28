// The command line as Windows hands it over, in real processes: a child is
// started with a command line of the test's choosing (any program name, any
// quoting), reports the values it reads, scrubs the password, and the test
// reads the child's command line from its process parameter block the way
// process listers do.
#include "app/command_line.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/process_command_line_win32.h"

namespace {

std::string Ansi(std::u16string_view text) {
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  int size = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr,
                                  nullptr);
  std::string narrow(bytes > 0 ? bytes : 0, '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, size, narrow.data(), bytes, nullptr,
                      nullptr);
  return narrow;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct ChildReport {
  bool started = false;
  std::vector<std::string> lines;  // decoded from hex
  std::u16string visibleLine;      // what other processes see afterwards
  DWORD exitCode = 1;
};

// Runs the child with the given command line (its first word is only a
// name; the child's path is given separately).
ChildReport RunChild(std::u16string commandLine) {
  ChildReport report;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE toChildRead, toChildWrite, fromChildRead, fromChildWrite;
  if (!CreatePipe(&toChildRead, &toChildWrite, &inherit, 0)) return report;
  if (!CreatePipe(&fromChildRead, &fromChildWrite, &inherit, 0)) return report;
  SetHandleInformation(toChildWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(fromChildRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = toChildRead;
  startup.hStdOutput = fromChildWrite;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring child(SWK_WIN32_CHILD, SWK_WIN32_CHILD + sizeof SWK_WIN32_CHILD - 1);
  std::wstring line(commandLine.begin(), commandLine.end());
  report.started = CreateProcessW(child.c_str(), line.data(), nullptr, nullptr,
                                  TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
  CloseHandle(toChildRead);
  CloseHandle(fromChildWrite);
  if (report.started) {
    // Ten lines: emptiness, five values, three narrow copies, the wide copy.
    std::string output;
    char buffer[512];
    DWORD read = 0;
    while (std::count(output.begin(), output.end(), '\n') < 10 &&
           ReadFile(fromChildRead, buffer, sizeof buffer, &read, nullptr) &&
           read > 0) {
      output.append(buffer, read);
    }
    const std::wstring visible = ReadProcessCommandLine(process.hProcess);
    report.visibleLine.assign(visible.begin(), visible.end());
    size_t from = 0;
    for (size_t end; (end = output.find('\n', from)) != std::string::npos;
         from = end + 1) {
      std::string hex = output.substr(from, end - from);
      if (!hex.empty() && hex.back() == '\r') hex.pop_back();
      report.lines.push_back(FromHex(hex));
    }
  }
  CloseHandle(toChildWrite);  // lets the child end
  if (report.started) {
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &report.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(fromChildRead);
  return report;
}

struct LineCase {
  const char* name;
  std::u16string line;
  bool empty;
  std::vector<std::u16string> values;  // user, password, port, verbose, address
  std::u16string visible;              // the line after the scrub
  std::vector<std::u16string> hidden;  // gone from the narrow copies too
};

const LineCase kLineCases[] = {
    {"all five, verbose lower-cased",
     u"swKicker /user:Admin /pw:s\u00e9cret /port:22 /V:Y /ip:10.0.0.1", false,
     {u"Admin", u"s\u00e9cret", u"22", u"y", u"10.0.0.1"},
     u"swKicker /user:Admin /pw:****** /port:22 /V:Y /ip:10.0.0.1",
     {u"s\u00e9cret"}},
    {"quoted path, no space after it",
     u"\"C:\\my tools\\swKicker.exe\"/user:a /pw:pass /port:1 /v:n /ip:h",
     false, {u"a", u"pass", u"1", u"n", u"h"},
     u"\"C:\\my tools\\swKicker.exe\"/user:a /pw:**** /port:1 /v:n /ip:h",
     {u"pass"}},
    // A TAB is no separator: it belongs to the first parameter.
    {"tab after the name", u"swKicker\t/user:admin", false,
     {u"\tadmin", u"", u"", u"", u""}, u"swKicker\t/user:admin", {}},
    {"whole password quoted, with a space",
     u"swKicker /user:a \"/pw:my secret\" /port:22", false,
     {u"a", u"my secret", u"22", u"", u""},
     u"swKicker /user:a \"/pw:*********\" /port:22", {u"my", u"secret"}},
    {"password without its prefix", u"swKicker /user:a secret", false,
     {u"a", u"secret", u"", u"", u""}, u"swKicker /user:a ******",
     {u"secret"}},
    // A quote followed by a space shifts the parameters: what is read as
    // the password goes, and so does the word meant as the password.
    {"quote and space before",
     u"swKicker /user:a\" bb /pw:xx /port:22", false,
     {u"a\"", u"bb", u"/pw:xx", u"/port:22", u""},
     u"swKicker /user:a\" ** /pw:** /port:22", {u"xx"}},
    {"verbose lower-cased beyond ASCII",
     u"swKicker /user:a /pw:b /port:22 /V:\u00c9 /ip:h", false,
     {u"a", u"b", u"22", u"\u00e9", u"h"},
     u"swKicker /user:a /pw:* /port:22 /V:\u00c9 /ip:h", {}},
    {"name and spaces only", u"swKicker   ", true,
     {u"", u"", u"", u"", u""}, u"swKicker   ", {}},
};

TEST(CommandLineWin32, ValuesAndWhatOtherProcessesSee) {
  for (const LineCase& row : kLineCases) {
    SCOPED_TRACE(row.name);
    ChildReport report = RunChild(row.line);
    ASSERT_TRUE(report.started) << "the child did not start";
    ASSERT_EQ(report.lines.size(), 10u);
    EXPECT_EQ(report.lines[0], row.empty ? "empty" : "text");
    for (int n = 0; n < 5; ++n) {
      SCOPED_TRACE(n + 1);
      EXPECT_EQ(report.lines[1 + n], Ansi(row.values[n]));
    }
    EXPECT_EQ(report.visibleLine, row.visible);
    const std::string& wideCopy = report.lines[9];
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wideCopy.data()),
                             wideCopy.size() / 2),
              row.visible)
        << "the C runtime's wide copy";
    // The narrow copies of the runtime no longer hold the password either.
    for (const std::u16string& secret : row.hidden) {
      for (int copy = 6; copy < 9; ++copy) {
        SCOPED_TRACE(copy);
        EXPECT_EQ(report.lines[copy].find(Ansi(secret)), std::string::npos)
            << report.lines[copy];
      }
    }
    EXPECT_EQ(report.exitCode, 0u);
  }
}

// Characters outside the ANSI code page come out the way Windows replaces
// them, never as raw UTF-16 halves or lost bytes.
TEST(CommandLineWin32, ToNarrowUsesTheAnsiCodePage) {
  const std::u16string kTexts[] = {u"", u"admin", u"\u00e9\u00e8",
                                   u"\u4e2d\u6587", u"\U0001f511"};
  for (const std::u16string& text : kTexts) {
    EXPECT_EQ(ToNarrow(text), Ansi(text));
  }
  EXPECT_EQ(LowerText(u"/V:Y\u00c9"), u"/v:y\u00e9");
  EXPECT_EQ(LowerText(u""), u"");
}

}  // namespace
