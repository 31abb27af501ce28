// The SSH library and the session against OpenSSH's sshd on loopback, with
// a throwaway user and a forced command that asks the question and records
// the answer. Needs root (user and sshd); skipped otherwise.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/reboot_console.h"
#include "ssh/ssh_library.h"
#include "testing/forced_command_router.h"
#include "testing/memory_screen.h"

namespace {

const char kSshd[] = "/usr/sbin/sshd";

class SshdInteropTest : public ForcedCommandRouterTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user and run sshd";
    if (access(kSshd, X_OK) != 0) GTEST_SKIP() << kSshd << " is not installed";
    ASSERT_NO_FATAL_FAILURE(PrepareRouter("swkick"));
    ASSERT_EQ(Shell("ssh-keygen -q -t ed25519 -N '' -f " + dir_ + "/host_key"), 0);
    SaveVariable("SSH_AUTH_SOCK", &savedAgent_);
    unsetenv("SSH_AUTH_SOCK");
    ASSERT_TRUE(WriteFile(dir_ + "/authorized_keys", ""));
    port_ = StartSshd(dir_, user_.name, dir_ + "/ask.sh",
                      "PubkeyAuthentication yes\n"
                      "AuthorizedKeysFile " + dir_ + "/authorized_keys\n",
                      dir_ + "/sshd.log", &server_);
    ASSERT_GT(port_, 0) << "sshd did not start";
    StartLibrary();
  }

  void TearDown() override {
    StopChild(&agent_);
    RestoreVariable(&savedAgent_);
    ForcedCommandRouterTest::TearDown();
  }

  SavedVariable savedAgent_;
  Child agent_;
};

TEST_F(SshdInteropTest, ForcedCommandGetsTheAnswerBeforeTheSessionCloses) {
  ExpectVerboseRebootDelivered();
}

TEST_F(SshdInteropTest, WrongPasswordIsRefused) { ExpectWrongPasswordRefused(); }

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
      {"refused key, then the password", "", false, false, kRouterPassword, "password"},
      {"passphrase-protected key skipped, then the password", "pass phrase", true, false,
       kRouterPassword, "password"},
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
  EXPECT_EQ(RunRebootSession(user_.name, kRouterPassword, std::to_string(port_), "n", "127.0.0.1"),
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
  EXPECT_EQ(RunRebootSession(user_.name, kRouterPassword, std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kRemoteEnded);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"Sending the answer failed.",
                                      "Reason: the router ended the session before asking."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "/system reboot\n");
}

}  // namespace
