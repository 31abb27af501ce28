// A Windows helper for the tests under Wine: runs a program in the same
// console and reports, into a file, what another process can see of it.
//   process_watch REPORT PEEK_MS COMMAND_LINE [hidden]
// The report holds the console's modes and title before the program starts,
// while it runs and after it ends, the program's command line as read from its process
// memory PEEK_MS milliseconds after it started (the way process listers read
// it), and its exit status. With "hidden" the program runs in a window
// station of its own that nobody can see, as a task scheduled to run whether
// a user is logged on or not does; it keeps the console all the same.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "testing/process_command_line_win32.h"

namespace {

std::string Utf8(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                         static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), length, nullptr, nullptr);
  return out;
}

// The console's own input or screen buffer, whatever the standard handles are.
HANDLE OpenConsole(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}

void ReportConsole(FILE* report, const char* when) {
  DWORD inputMode = 0, outputMode = 0;
  HANDLE input = OpenConsole(L"CONIN$");
  HANDLE output = OpenConsole(L"CONOUT$");
  const BOOL haveInput = GetConsoleMode(input, &inputMode);
  const BOOL haveOutput = GetConsoleMode(output, &outputMode);
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  GetConsoleScreenBufferInfo(output, &info);
  wchar_t title[512] = {};
  GetConsoleTitleW(title, 512);
  std::fprintf(report, "%s input-mode %s output-mode %s attribute %x title [%s]\n",
               when,
               haveInput ? std::to_string(inputMode).c_str() : "none",
               haveOutput ? std::to_string(outputMode).c_str() : "none",
               info.wAttributes, Utf8(title).c_str());
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool hidden = argc == 5 && std::wcscmp(argv[4], L"hidden") == 0;
  if (argc != 4 && !hidden) {
    std::fprintf(stderr,
                 "usage: process_watch REPORT PEEK_MS COMMAND_LINE [hidden]\n");
    return 2;
  }
  FILE* report = _wfopen(argv[1], L"wb");
  if (report == nullptr) return 2;
  const DWORD peekMs = static_cast<DWORD>(_wtoi(argv[2]));
  std::wstring commandLine = argv[3];

  // A title of its own, so a program that marks the title has one to mark,
  // and a colour and output mode a program must not leave changed.
  SetConsoleTitleW(L"process watch");
  HANDLE console = OpenConsole(L"CONOUT$");
  DWORD outputMode = 0;
  if (GetConsoleMode(console, &outputMode)) {
    SetConsoleMode(console, outputMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    SetConsoleTextAttribute(console, FOREGROUND_RED | FOREGROUND_GREEN |
                                         FOREGROUND_INTENSITY | BACKGROUND_BLUE);
  }
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
  ReportConsole(report, "before");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  wchar_t hiddenDesktop[] = L"process-watch\\Default";
  if (hidden) {
    // A new window station is not visible; the desktop makes it usable.
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationW(L"process-watch", 0,
                                           WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr || !SetProcessWindowStation(station) ||
        CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL,
                       nullptr) == nullptr) {
      std::fprintf(report, "hidden window station failed %lu\n",
                   GetLastError());
    }
    SetProcessWindowStation(own);
    startup.lpDesktop = hiddenDesktop;
  }
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &child)) {
    std::fprintf(report, "start failed %lu\n", GetLastError());
    std::fclose(report);
    return 2;
  }
  if (WaitForSingleObject(child.hProcess, peekMs) == WAIT_TIMEOUT) {
    std::fprintf(report, "command-line [%s]\n",
                 Utf8(ReadProcessCommandLine(child.hProcess)).c_str());
    ReportConsole(report, "during");
  } else {
    std::fprintf(report, "command-line (ended before the look)\n");
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  std::fprintf(report, "status %lu\n", status);
  ReportConsole(report, "after");
  std::fclose(report);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return 0;
}
