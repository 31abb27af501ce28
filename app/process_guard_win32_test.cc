// A crash after GuardProcessMemory ends the process at once with status
// 255: no error dialog waiting for a click, no debugger or error report
// started on a process whose memory holds the password.
#include "app/process_guard.h"

#include <gtest/gtest.h>

namespace {

void CrashGuarded() {
  GuardProcessMemory();
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

TEST(ProcessGuardWin32Test, CrashEndsAtOnceWithStatus255) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CrashGuarded(), testing::ExitedWithCode(255), "");
}

}  // namespace
