// The SSH library and the session against dropbear, the server of many small
// routers, on loopback: a throwaway user and a forced command (-c) that asks
// without a line feed, as a router's CLI does, and records the answer. Needs
// root (user) and dropbear-bin; skipped otherwise.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/memory_screen.h"
#include "session/reboot_session.h"
#include "session/ssh_library.h"
#include "session/test_process.h"

namespace {

const char kDropbear[] = "/usr/sbin/dropbear";
const char kDropbearKey[] = "/usr/bin/dropbearkey";
const char kPassword[] = "Kick-7 pass";

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

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
    user_ = "swkickdb" + std::to_string(getpid());
    ASSERT_EQ(Shell("useradd -M -s /bin/sh -d " + dir_ + " " + user_), 0);
    userAdded_ = true;
    ASSERT_EQ(Shell("printf '%s:%s\\n' " + user_ + " '" + kPassword + "' | chpasswd"), 0);
    ASSERT_EQ(mkdir((dir_ + "/out").c_str(), 0755), 0);
    ASSERT_EQ(Shell("chown " + user_ + " " + dir_ + "/out"), 0);
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
    const char* oldHome = std::getenv("HOME");
    hadHome_ = oldHome != nullptr;
    if (hadHome_) oldHome_ = oldHome;
    setenv("HOME", home_.c_str(), 1);
    // A free port may be taken between the look and dropbear's bind: try again.
    for (int attempt = 0; attempt < 5 && port_ <= 0; ++attempt) StartDropbear();
    ASSERT_GT(port_, 0) << "dropbear did not start";
    ASSERT_NE(SshInitializeA("", nullptr), 0);
    initialized_ = true;
  }

  void TearDown() override {
    if (initialized_) SshUninitialize();
    StopChild(&dropbear_);
    if (userAdded_) Shell("userdel " + user_ + " 2>/dev/null");
    if (!dir_.empty()) {
      if (hadHome_) {
        setenv("HOME", oldHome_.c_str(), 1);
      } else {
        unsetenv("HOME");
      }
    }
    RemoveTree(dir_);
  }

  void StartDropbear() {
    const int port = FreeLoopbackPort();
    // -F: in the foreground; -E: log to stderr; -w, -j, -k: no root login,
    // no forwarding; -c: the forced command.
    ASSERT_TRUE(StartChild({kDropbear, "-F", "-E", "-w", "-j", "-k", "-r", dir_ + "/host_key",
                            "-P", dir_ + "/dropbear.pid", "-p",
                            "127.0.0.1:" + std::to_string(port), "-c", dir_ + "/ask.sh"},
                           &dropbear_));
    for (int wait = 0; wait < 100; ++wait) {
      if (Listening(port)) {
        port_ = port;
        return;
      }
      if (WaitChild(&dropbear_, 0) != -1 || dropbear_.pid < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    StopChild(&dropbear_);
  }

  std::string dir_;
  std::string home_;
  std::string user_;
  bool userAdded_ = false;
  bool initialized_ = false;
  bool hadHome_ = false;
  std::string oldHome_;
  Child dropbear_;
  int port_ = -1;
};

TEST_F(DropbearInteropTest, ForcedCommandAskingWithoutLineFeedGetsTheAnswerSoon) {
  MemoryScreenReset(120, 25);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunRebootSession(user_, kPassword, std::to_string(port_), "y", "127.0.0.1"),
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
  EXPECT_EQ(RunRebootSession(user_, "wrong", std::to_string(port_), "n", "127.0.0.1"),
            SshFailure::kAuthenticationRefused);
  EXPECT_EQ(MemoryScreenLines(),
            (std::vector<std::string>{"Connection attempt failed. Error: 'invalid client'.",
                                      "Reason: the user name or password was refused."}));
  EXPECT_EQ(ReadAll(dir_ + "/out/command"), "");
}

}  // namespace
