// Keeping the password out of crash dumps on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "app/process_guard.h"

// Windows has no switch that makes a process private to its user the way a
// non-dumpable process is on Linux: the user's own processes may always open
// it. What is there keeps the password out of crash dumps: no error dialog,
// and a crash ends the process at once instead of reaching Windows Error
// Reporting, which would write the memory to a dump file.

namespace {

constexpr UINT kExitFatal = 255;

LONG WINAPI EndWithoutReport(EXCEPTION_POINTERS*) {
  TerminateProcess(GetCurrentProcess(), kExitFatal);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void GuardProcessMemory() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndWithoutReport);
}

void RaiseOpenFileLimit() {}
