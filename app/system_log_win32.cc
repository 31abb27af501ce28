// The system log on Windows, where the run leaves no line.
#include "app/run_log.h"

// Windows has no syslog; a scheduled task's result is its exit status, which
// Task Scheduler records as the task's last run result.
void WriteSystemLog(bool, std::string_view) {}
