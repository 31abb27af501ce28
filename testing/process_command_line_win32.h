#ifndef TESTING_PROCESS_COMMAND_LINE_WIN32_H_
#define TESTING_PROCESS_COMMAND_LINE_WIN32_H_

// For the Windows tests and their helpers: another process's command line as
// its process parameter block holds it, read the way process listers read
// it. Link ntdll.

#include <windows.h>
#include <winternl.h>

#include <string>

/// The command line of a running process, or a note in parentheses when it
/// cannot be read.
inline std::wstring ReadProcessCommandLine(HANDLE process) {
  PROCESS_BASIC_INFORMATION info{};
  ULONG got = 0;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &info, sizeof info, &got) != 0) {
    return L"(no process information)";
  }
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS params{};
  if (!ReadProcessMemory(process, info.PebBaseAddress, &peb, sizeof peb, nullptr) ||
      !ReadProcessMemory(process, peb.ProcessParameters, &params, sizeof params, nullptr)) {
    return L"(unreadable)";
  }
  std::wstring line(params.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process, params.CommandLine.Buffer, line.data(),
                         params.CommandLine.Length, nullptr)) {
    return L"(unreadable)";
  }
  return line;
}

#endif  // TESTING_PROCESS_COMMAND_LINE_WIN32_H_
