// The system log on Windows: one event in the Application log.
#include <windows.h>

#include <string>

#include "app/run_log.h"

namespace {

// Event IDs: one for a run that went well, one for a failure, so a filter
// in Event Viewer or Get-WinEvent can pick the failures out.
constexpr DWORD kEventDone = 1;
constexpr DWORD kEventFailed = 2;

}  // namespace

// A run nobody watches leaves one event in the Application log, source
// swKicker: the same fields as the syslog line on POSIX.
void WriteSystemLog(bool failure, std::string_view line) {
  // The line is in the ANSI code page, as the command line was read.
  const int length = MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()),
                                         nullptr, 0);
  std::wstring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), text.data(),
                        length);
  }
  const HANDLE source = RegisterEventSourceW(nullptr, L"swKicker");
  if (source == nullptr) return;
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, failure ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
               failure ? kEventFailed : kEventDone, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}
