#ifndef TESTING_SYSTEM_LOG_MEMORY_H_
#define TESTING_SYSTEM_LOG_MEMORY_H_

// A stand-in for the system log, for tests (link swkicker_system_log_memory
// instead of swkicker_system_log): lines are kept in memory.

#include <string>
#include <vector>

struct SystemLogRecord {
  bool failure = false;
  std::string line;
};

void SystemLogMemoryReset();
const std::vector<SystemLogRecord>& SystemLogMemoryRecords();

#endif  // TESTING_SYSTEM_LOG_MEMORY_H_
