// The run's trace to syslog, when no terminal shows the run.
#include <syslog.h>

#include <string>

#include "app/run_log.h"

void WriteSystemLog(bool failure, std::string_view line) {
  // No LOG_CONS: a run without a system log must not write to the console.
  openlog("swKicker", LOG_PID, LOG_USER);
  const std::string text(line);
  syslog(LOG_USER | (failure ? LOG_WARNING : LOG_NOTICE), "%s", text.c_str());
  closelog();
}
