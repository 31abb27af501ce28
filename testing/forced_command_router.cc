#include "testing/forced_command_router.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "app/reboot_console.h"
#include "ssh/ssh_library.h"
#include "testing/memory_screen.h"

const char kRouterPassword[] = "Kick-7 pass";

void ForcedCommandRouterTest::PrepareRouter(const char* userPrefix) {
  dir_ = MakeTempDir();
  ASSERT_FALSE(dir_.empty());
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_TRUE(AddThrowawayUser(userPrefix, dir_, kRouterPassword, &user_));
  ASSERT_EQ(mkdir((dir_ + "/out").c_str(), 0755), 0);
  ASSERT_EQ(Shell("chown " + user_.name + " " + dir_ + "/out"), 0);
  ASSERT_TRUE(WriteFile(dir_ + "/ask.sh",
                        "#!/bin/sh\n"
                        "printf '%s\\n' \"$SSH_ORIGINAL_COMMAND\" > " + dir_ + "/out/command\n"
                        // Output ends at once; the command lives on a moment.
                        "if [ -e " + dir_ + "/eof ]; then exec >&- 2>&-; sleep 1; exit 0; fi\n"
                        "printf 'Reboot now? [y/N]: '\n"
                        "read -r answer\n"
                        "printf '%s\\n' \"$answer\" > " + dir_ + "/out/answer\n"
                        "if [ -e " + dir_ + "/fail ]; then\n"
                        "  printf 'failure: not enough permissions\\n'; exit 1\n"
                        "fi\n"
                        "printf 'rebooting\\n'\n"));
  ASSERT_EQ(chmod((dir_ + "/ask.sh").c_str(), 0755), 0);
  home_ = dir_ + "/home";
  ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
  SaveVariable("HOME", &savedHome_);
  setenv("HOME", home_.c_str(), 1);
  // The machine's ssh_config is the test's own: an empty file bound over it
  // in a mount namespace no other process sees.
  systemConfig_ = dir_ + "/ssh_config";
  ownSystemConfig_ = OwnSystemSshConfig(systemConfig_);
  ASSERT_TRUE(ownSystemConfig_) << "no private " << kSystemSshConfig;
}

void ForcedCommandRouterTest::StartLibrary() {
  ASSERT_NE(SshInitializeA("", nullptr), 0);
  initialized_ = true;
}

void ForcedCommandRouterTest::TearDown() {
  if (initialized_) SshUninitialize();
  StopChild(&server_);
  RemoveThrowawayUser(&user_);
  if (ownSystemConfig_) ReleaseSystemSshConfig();
  RestoreVariable(&savedHome_);
  RemoveTree(dir_);
}

void ForcedCommandRouterTest::ExpectVerboseRebootDelivered() {
  // Wide enough for the first contact's line with its long file name.
  MemoryScreenReset(300, 25);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunRebootSession(user_.name, kRouterPassword, std::to_string(port_), "y", "127.0.0.1"),
            SshFailure::kNone);
  // Loose, against waiting out the 20 s deadline; speed is the benchmark's.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The first contact says what it recorded, as ssh's "Permanently added".
  const std::vector<std::string> lines = MemoryScreenLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "connecting to 127.0.0.1 and sending reboot command");
  const std::string added = "permanently added '[127.0.0.1]:" + std::to_string(port_) + "' (";
  EXPECT_EQ(lines[1].substr(0, added.size()), added) << lines[1];
  EXPECT_NE(lines[1].find(" key SHA256:"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "responding 'y' to question");
  EXPECT_EQ(lines[3], "disconnecting from 127.0.0.1");
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "/system reboot\n");
  EXPECT_EQ(ReadAll(dir_ + "/out/answer"), "y\n");
  // The unknown router's key is recorded, and nothing else is written.
  EXPECT_EQ(ListDir(home_), std::vector<std::string>{".ssh"});
  EXPECT_EQ(ListDir(home_ + "/.ssh"), std::vector<std::string>{"known_hosts"});
  const std::string recorded = ReadAll(home_ + "/.ssh/known_hosts");
  EXPECT_EQ(recorded.rfind("[127.0.0.1]:" + std::to_string(port_) + " ", 0), 0u) << recorded;
  EXPECT_EQ(std::count(recorded.begin(), recorded.end(), '\n'), 1) << recorded;
}

void ForcedCommandRouterTest::ExpectWrongPasswordRefused() {
  MemoryScreenReset(120, 25);
  EXPECT_EQ(RunRebootSession(user_.name, "wrong", std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kAuthenticationRefused);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"Connection attempt failed. Error: 'invalid client'.",
                                      "Reason: the user name or password was refused."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "");
}
