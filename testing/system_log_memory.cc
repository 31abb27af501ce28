#include "testing/system_log_memory.h"

#include "app/run_log.h"

namespace {

std::vector<SystemLogRecord> g_records;

}  // namespace

void WriteSystemLog(bool failure, std::string_view line) {
  g_records.push_back({failure, std::string(line)});
}

void SystemLogMemoryReset() { g_records.clear(); }

const std::vector<SystemLogRecord>& SystemLogMemoryRecords() { return g_records; }
