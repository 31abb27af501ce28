// Keeping the process's memory private on Linux.
#include <sys/prctl.h>
#include <sys/resource.h>

#include "app/process_guard.h"

void GuardProcessMemory() {
  // Not dumpable: no core file, and /proc/PID/mem, ptrace and the process's
  // /proc entries belong to root instead of the user.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // A system set to dump even non-dumpable processes (fs.suid_dumpable=2)
  // still writes no core file past a zero limit.
  const struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
}

void RaiseOpenFileLimit() {
  struct rlimit files = {};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}
