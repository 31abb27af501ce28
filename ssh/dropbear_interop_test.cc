// The SSH library and the session against dropbear, the server of many small
// routers, on loopback: a throwaway user and a forced command (-c) that asks
// without a line feed, as a router's CLI does, and records the answer. Needs
// root (user) and dropbear-bin; skipped otherwise.

#include <unistd.h>

#include <string>

#include "testing/forced_command_router.h"

namespace {

const char kDropbear[] = "/usr/sbin/dropbear";
const char kDropbearKey[] = "/usr/bin/dropbearkey";

class DropbearInteropTest : public ForcedCommandRouterTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user";
    if (access(kDropbear, X_OK) != 0 || access(kDropbearKey, X_OK) != 0) {
      GTEST_SKIP() << kDropbear << " is not installed (dropbear-bin)";
    }
    ASSERT_NO_FATAL_FAILURE(PrepareRouter("swkickdb"));
    ASSERT_EQ(Shell(std::string(kDropbearKey) + " -t ed25519 -f " + dir_ +
                    "/host_key >/dev/null 2>&1"),
              0);
    port_ = StartOnFreePort(
        [this](int port, Child* dropbear) {
          // -F: in the foreground; -E: log to stderr; -w, -j, -k: no root
          // login, no forwarding; -c: the forced command.
          return StartChild({kDropbear, "-F", "-E", "-w", "-j", "-k", "-r", dir_ + "/host_key",
                             "-P", dir_ + "/dropbear.pid", "-p",
                             "127.0.0.1:" + std::to_string(port), "-c", dir_ + "/ask.sh"},
                            dropbear);
        },
        &server_);
    ASSERT_GT(port_, 0) << "dropbear did not start";
    StartLibrary();
  }
};

TEST_F(DropbearInteropTest, ForcedCommandAskingWithoutLineFeedGetsTheAnswerSoon) {
  ExpectVerboseRebootDelivered();
}

TEST_F(DropbearInteropTest, WrongPasswordIsRefused) { ExpectWrongPasswordRefused(); }

}  // namespace
