// The SSH library and the session against OpenSSH's sshd on loopback, with
// a throwaway user and a forced command that asks the question and records
// the answer. Needs root (user and sshd); skipped otherwise.

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

const char kSshd[] = "/usr/sbin/sshd";
const char kPassword[] = "Kick-7 pass";

class SshdInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user and run sshd";
    if (access(kSshd, X_OK) != 0) GTEST_SKIP() << kSshd << " is not installed";
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_TRUE(AddThrowawayUser("swkick", dir_, kPassword, &user_));
    ASSERT_EQ(mkdir((dir_ + "/out").c_str(), 0755), 0);
    ASSERT_EQ(Shell("chown " + user_.name + " " + dir_ + "/out"), 0);
    ASSERT_EQ(Shell("ssh-keygen -q -t ed25519 -N '' -f " + dir_ + "/host_key"), 0);
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
    SaveVariable("SSH_AUTH_SOCK", &savedAgent_);
    unsetenv("SSH_AUTH_SOCK");
    ASSERT_TRUE(WriteFile(dir_ + "/authorized_keys", ""));
    port_ = StartSshd(dir_, user_.name, dir_ + "/ask.sh",
                      "PubkeyAuthentication yes\n"
                      "AuthorizedKeysFile " + dir_ + "/authorized_keys\n",
                      dir_ + "/sshd.log", &sshd_);
    ASSERT_GT(port_, 0) << "sshd did not start";
    ASSERT_NE(SshInitializeA("", nullptr), 0);
    initialized_ = true;
  }

  void TearDown() override {
    if (initialized_) SshUninitialize();
    StopChild(&sshd_);
    StopChild(&agent_);
    RemoveThrowawayUser(&user_);
    RestoreVariable(&savedHome_);
    RestoreVariable(&savedAgent_);
    RemoveTree(dir_);
  }

  std::string dir_;
  std::string home_;
  ThrowawayUser user_;
  bool initialized_ = false;
  SavedVariable savedHome_;
  SavedVariable savedAgent_;
  Child sshd_;
  Child agent_;
  int port_ = -1;
};

TEST_F(SshdInteropTest, ForcedCommandGetsTheAnswerBeforeTheSessionCloses) {
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

TEST_F(SshdInteropTest, WrongPasswordIsRefused) {
  MemoryScreenReset(120, 25);
  EXPECT_EQ(RunRebootSession(user_.name, "wrong", std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kAuthenticationRefused);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"Connection attempt failed. Error: 'invalid client'.",
                                      "Reason: the user name or password was refused."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "");
}

// The method sshd logged as accepted for the throwaway user, waiting a
// moment for the line; empty when none was.
std::string AcceptedMethod(const std::string& log, const std::string& user) {
  for (const std::string& line : WaitForLines(log, 1, 0)) {
    const size_t at = line.find("Accepted ");
    const size_t for_ = line.find(" for " + user + " ");
    if (at != std::string::npos && for_ != std::string::npos && for_ > at) {
      return line.substr(at + 9, for_ - at - 9);
    }
  }
  return "";
}

struct SshdKeyCase {
  const char* name;
  const char* identityPassphrase;  // nullptr: no identity file
  bool identityAuthorized;
  bool agentHoldsAuthorizedKey;
  const char* password;
  const char* method;  // as sshd logs it
};

TEST_F(SshdInteropTest, KeysAreTriedBeforeThePasswordAsOpenSshDoes) {
  const SshdKeyCase kCases[] = {
      {"agent holds the key, empty password", nullptr, false, true, "", "publickey"},
      {"identity file, empty password", "", true, false, "", "publickey"},
      {"refused key, then the password", "", false, false, kPassword, "password"},
      {"passphrase-protected key skipped, then the password", "pass phrase", true, false,
       kPassword, "password"},
  };
  for (const SshdKeyCase& c : kCases) {
    SCOPED_TRACE(c.name);
    StopChild(&agent_);
    unsetenv("SSH_AUTH_SOCK");
    RemoveTree(home_ + "/.ssh");
    unlink((dir_ + "/agent.sock").c_str());
    unlink((dir_ + "/out/answer").c_str());
    ASSERT_TRUE(WriteFile(dir_ + "/sshd.log", ""));
    std::string authorized;
    if (c.identityPassphrase != nullptr) {
      ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
      const std::string key = home_ + "/.ssh/id_ed25519";
      ASSERT_TRUE(MakeKeyPair(key, "ed25519", c.identityPassphrase));
      if (c.identityAuthorized) authorized += ReadAll(key + ".pub");
    }
    if (c.agentHoldsAuthorizedKey) {
      const std::string key = dir_ + "/agent_key";
      unlink(key.c_str());
      unlink((key + ".pub").c_str());
      ASSERT_TRUE(MakeKeyPair(key, "ed25519", ""));
      authorized += ReadAll(key + ".pub");
      ASSERT_TRUE(StartAgent(dir_ + "/agent.sock", {key}, &agent_));
      setenv("SSH_AUTH_SOCK", (dir_ + "/agent.sock").c_str(), 1);
    }
    ASSERT_TRUE(WriteFile(dir_ + "/authorized_keys", authorized));
    MemoryScreenReset(120, 25);
    EXPECT_EQ(RunRebootSession(user_.name, c.password, std::to_string(port_), "n", "127.0.0.1"),
              SshFailure::kNone);
    EXPECT_TRUE(MemoryScreenLines().empty());
    EXPECT_EQ(ReadAll(dir_ + "/out/answer"), "y\n");
    EXPECT_EQ(AcceptedMethod(dir_ + "/sshd.log", user_.name), c.method)
        << ReadAll(dir_ + "/sshd.log");
  }
}

// A forced command that takes the answer and then exits with status 1 is a
// failed reboot, told with its last line.
TEST_F(SshdInteropTest, ExitStatusAfterTheAnswerIsAFailedReboot) {
  ASSERT_TRUE(WriteFile(dir_ + "/fail", ""));
  MemoryScreenReset(120, 25);
  EXPECT_EQ(RunRebootSession(user_.name, kPassword, std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kRemoteFailed);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"The reboot failed: the router reported exit status 1 "
                                      "(failure: not enough permissions)."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/answer"), "y\n");
}

// A command whose output has ended is asking nothing, though its channel
// stays open a moment longer: the answer is not delivered.
TEST_F(SshdInteropTest, OutputEndedBeforeAskingLeavesTheAnswerUndelivered) {
  ASSERT_TRUE(WriteFile(dir_ + "/eof", ""));
  MemoryScreenReset(120, 25);
  EXPECT_EQ(RunRebootSession(user_.name, kPassword, std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kRemoteEnded);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"Sending the answer failed.",
                                      "Reason: the router ended the session before asking."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "/system reboot\n");
}

}  // namespace
