// The SSH library and the session against dropbear, the server of many small
// routers, on loopback: a throwaway user and a forced command (-c) that asks
// without a line feed, as a router's CLI does, and records the answer. Needs
// root (user) and dropbear-bin; skipped otherwise.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/memory_screen.h"
#include "session/reboot_session.h"
#include "session/ssh_library.h"
#include "session/test_process.h"
#include "session/test_servers.h"

namespace {

const char kDropbear[] = "/usr/sbin/dropbear";
const char kDropbearKey[] = "/usr/bin/dropbearkey";
const char kPassword[] = "Kick-7 pass";

class DropbearInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user";
    if (access(kDropbear, X_OK) != 0 || access(kDropbearKey, X_OK) != 0) {
      GTEST_SKIP() << kDropbear << " is not installed (dropbear-bin)";
    }
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_TRUE(AddThrowawayUser("swkickdb", dir_, kPassword, &user_));
    ASSERT_EQ(mkdir((dir_ + "/out").c_str(), 0755), 0);
    ASSERT_EQ(Shell("chown " + user_.name + " " + dir_ + "/out"), 0);
    ASSERT_EQ(Shell(std::string(kDropbearKey) + " -t ed25519 -f " + dir_ +
                    "/host_key >/dev/null 2>&1"),
              0);
    ASSERT_TRUE(WriteFile(dir_ + "/ask.sh",
                          "#!/bin/sh\n"
                          "printf '%s\\n' \"$SSH_ORIGINAL_COMMAND\" > " + dir_ + "/out/command\n"
                          "printf 'Reboot now? [y/N]: '\n"
                          "read -r answer\n"
                          "printf '%s\\n' \"$answer\" > " + dir_ + "/out/answer\n"
                          "printf 'rebooting\\n'\n"));
    ASSERT_EQ(chmod((dir_ + "/ask.sh").c_str(), 0755), 0);
    home_ = dir_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    SaveVariable("HOME", &savedHome_);
    setenv("HOME", home_.c_str(), 1);
    port_ = StartOnFreePort(
        [this](int port, Child* dropbear) {
          // -F: in the foreground; -E: log to stderr; -w, -j, -k: no root
          // login, no forwarding; -c: the forced command.
          return StartChild({kDropbear, "-F", "-E", "-w", "-j", "-k", "-r", dir_ + "/host_key",
                             "-P", dir_ + "/dropbear.pid", "-p",
                             "127.0.0.1:" + std::to_string(port), "-c", dir_ + "/ask.sh"},
                            dropbear);
        },
        &dropbear_);
    ASSERT_GT(port_, 0) << "dropbear did not start";
    ASSERT_NE(SshInitializeA("", nullptr), 0);
    initialized_ = true;
  }

  void TearDown() override {
    if (initialized_) SshUninitialize();
    StopChild(&dropbear_);
    RemoveThrowawayUser(&user_);
    RestoreVariable(&savedHome_);
    RemoveTree(dir_);
  }

  std::string dir_;
  std::string home_;
  ThrowawayUser user_;
  bool initialized_ = false;
  SavedVariable savedHome_;
  Child dropbear_;
  int port_ = -1;
};

TEST_F(DropbearInteropTest, ForcedCommandAskingWithoutLineFeedGetsTheAnswerSoon) {
  MemoryScreenReset(120, 25);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunRebootSession(user_.name, kPassword, std::to_string(port_), "y", "127.0.0.1"),
            SshFailure::kNone);
  // Loose, against waiting out the 20 s deadline; speed is the benchmark's.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"connecting to 127.0.0.1 and sending reboot command",
                                      "responding 'y' to question",
                                      "disconnecting from 127.0.0.1"}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "/system reboot\n");
  EXPECT_EQ(ReadAll(dir_ + "/out/answer"), "y\n");
  EXPECT_TRUE(ListDir(home_).empty()) << "known_hosts was written";
}

TEST_F(DropbearInteropTest, WrongPasswordIsRefused) {
  MemoryScreenReset(120, 25);
  EXPECT_EQ(RunRebootSession(user_.name, "wrong", std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kAuthenticationRefused);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"Connection attempt failed. Error: 'invalid client'.",
                                      "Reason: the user name or password was refused."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "");
}

}  // namespace
