// The SSH library on libssh and the reboot session, against the router
// simulator on 127.0.0.1. HOME points into a temporary folder so the
// known_hosts file is the test's own.

#include <fenv.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <set>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testing/memory_screen.h"
#include "app/reboot_console.h"
#include "ssh/ssh_library.h"
#include "ssh/ssh_peer.h"
#include "testing/test_process.h"
#include "testing/test_servers.h"

namespace {

using Lines = std::vector<std::string>;

const char kConnectFailed[] = "Connection attempt failed. Error: 'invalid client'.";
const char kSendFailed[] = "Sending the answer failed.";
const char kEndedEarly[] = "Reason: the router ended the session before asking.";
const char kQuestion[] = "Reboot now? [y/N]: ";
const char kUnverifiable[] =
    "Reason: the router's host key is unverifiable, a known_hosts file cannot be read: "
    "HOME/.ssh/known_hosts.";

// A Unix socket that takes connections (the kernel queues them) and never
// answers: an agent that hangs.
struct SilentListener {
  int fd = -1;
  bool Listen(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           listen(fd, 8) == 0;
  }
  ~SilentListener() {
    if (fd >= 0) close(fd);
  }
};

// A session with the simulator on port as admin, running "/system reboot".
SshClient ConnectToReboot(int port) {
  SshConnectOptions options = {};
  options.size = sizeof options;
  std::strcpy(options.remoteCommand, "/system reboot");
  return SshConnectA("127.0.0.1", port, "admin", "secret", 20, 512, &options, nullptr);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class SimulatorTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    home_ = dir_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    SaveVariable("HOME", &savedHome_);
    setenv("HOME", home_.c_str(), 1);
    // An agent of the user running the tests must not take part.
    SaveVariable("SSH_AUTH_SOCK", &savedAgent_);
    unsetenv("SSH_AUTH_SOCK");
    log_ = dir_ + "/sim.log";
    // Without root the machine's own configuration is read.
    ownSystemConfig_ = OwnSystemSshConfig(dir_ + "/ssh_config");
    ASSERT_NE(SshInitializeA("", nullptr), 0);
  }

  void TearDown() override {
    StopChild(&sim_);
    for (Child& sim : moreSims_) StopChild(&sim);
    moreSims_.clear();
    StopChild(&agent_);
    SshUninitialize();
    if (ownSystemConfig_) ReleaseSystemSshConfig();
    RestoreVariable(&savedHome_);
    RestoreVariable(&savedAgent_);
    RemoveTree(dir_);
  }

  // Starts the simulator with the test's log and bounds; returns its port.
  int StartSim(std::vector<std::string> options) {
    StopChild(&sim_);
    return StartSimInto(&sim_, log_, options);
  }

  // One more simulator, for a test that needs several routers at once (each
  // serves one connection at a time), logging to log; returns its port.
  int StartAnotherSim(const std::string& log, const std::vector<std::string>& options) {
    moreSims_.emplace_back();
    return StartSimInto(&moreSims_.back(), log, options);
  }

 public:
  // The known_hosts text of a key file's key, made on first use.
  std::string PublicKey(const std::string& name, const std::string& type = "ed25519") {
    Child child;
    std::string line;
    const std::vector<std::string> argv = {SWK_ROUTER_SIM, "--host-key", dir_ + "/" + name,
                                           "--key-type", type, "--print-public-key"};
    if (!StartChild(argv, &child)) return std::string();
    ReadChildLine(&child, 10000, &line);
    WaitChild(&child, 10000);
    StopChild(&child);
    return line;
  }

  // Makes ~/.ssh/known_hosts with make(path).
  void MakeKnownHosts(const std::function<bool(const std::string&)>& make) {
    ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
    ASSERT_TRUE(make(home_ + "/.ssh/known_hosts"));
  }

  void ListHost(int port, const std::string& publicKey) {
    ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(home_ + "/.ssh/known_hosts",
                          "[127.0.0.1]:" + std::to_string(port) + " " + publicKey + "\n"));
  }

 protected:

  // The simulator's log line of its only connection so far.
  std::string LogLine() {
    const std::vector<std::string> lines = WaitForLines(log_, 1, 15000);
    return lines.size() == 1 ? lines[0] : "<" + std::to_string(lines.size()) + " lines>";
  }

  std::string dir_;
  std::string home_;
  std::string log_;
  Child sim_;
  std::deque<Child> moreSims_;
  Child agent_;
  SavedVariable savedHome_;
  SavedVariable savedAgent_;
  bool ownSystemConfig_ = false;

 private:
  int StartSimInto(Child* sim, const std::string& log, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {SWK_ROUTER_SIM, "--log", log, "--lifetime", "300",
                                     "--connection-seconds", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string line;
    if (!StartChild(argv, sim) || !ReadChildLine(sim, 10000, &line)) return -1;
    return std::atoi(line.c_str());
  }
};

TEST_F(SimulatorTest, VerboseSessionRebootsAndClosesCleanly) {
  const int port = StartSim({"--user", "admin", "--password", "pa ss\"word"});
  ASSERT_GT(port, 0);
  // Wide enough for the first contact's line with its long file name.
  MemoryScreenReset(300, 25);
  EXPECT_EQ(RunRebootSession("admin", "pa ss\"word", std::to_string(port), "y", "127.0.0.1"),
            SshFailure::kNone);
  // The first contact says what it recorded, as ssh's "Permanently added".
  const Lines lines = MemoryScreenLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "connecting to 127.0.0.1 and sending reboot command");
  const std::string added = "permanently added '[127.0.0.1]:" + std::to_string(port) +
                            "' (ED25519 key SHA256:";
  EXPECT_EQ(lines[1].substr(0, added.size()), added) << lines[1];
  const std::string file = ") to " + home_ + "/.ssh/known_hosts";
  ASSERT_GE(lines[1].size(), file.size());
  EXPECT_EQ(lines[1].substr(lines[1].size() - file.size()), file) << lines[1];
  EXPECT_EQ(lines[2], "responding 'y' to question");
  EXPECT_EQ(lines[3], "disconnecting from 127.0.0.1");
  const std::string log = LogLine();
  EXPECT_EQ(JsonField(log, "command"), "/system reboot") << log;
  EXPECT_EQ(JsonField(log, "answer"), "y") << log;
  EXPECT_EQ(JsonField(log, "user"), "admin") << log;
  EXPECT_EQ(JsonField(log, "password"), "pa ss\"word") << log;
  EXPECT_EQ(JsonField(log, "clean_close"), "true") << log;
  // An unknown host is accepted, its key recorded, and nothing else written.
  EXPECT_EQ(ListDir(home_), std::vector<std::string>{".ssh"});
  EXPECT_EQ(ListDir(home_ + "/.ssh"), std::vector<std::string>{"known_hosts"});
}

// ConnectTimeout in the user's configuration bounds connecting and the key
// exchange instead of the step's 20 s: a router that stalls there for 15 s
// is given up on after 2.
TEST_F(SimulatorTest, ConnectTimeoutFromTheConfigurationBoundsTheKeyExchange) {
  const int port = StartSim({"--mode", "stall", "--stall-ms", "15000"});
  ASSERT_GT(port, 0);
  ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
  ASSERT_TRUE(WriteFile(home_ + "/.ssh/config", "Host 127.0.0.1\n  ConnectTimeout 2\n"));
  MemoryScreenReset(120, 25);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunRebootSession("admin", "secret", std::to_string(port), "n", "127.0.0.1"),
            SshFailure::kTimedOut);
  // Loose: well short of the stall, whatever the machine's load.
  EXPECT_LT(SecondsSince(start), 12.0);
}

TEST_F(SimulatorTest, QuietSessionPrintsNothing) {
  const int port = StartSim({});
  ASSERT_GT(port, 0);
  MemoryScreenReset(120, 25);
  EXPECT_EQ(RunRebootSession("admin", "secret", std::to_string(port), "n", "127.0.0.1"),
            SshFailure::kNone);
  EXPECT_TRUE(MemoryScreenLines().empty());
  EXPECT_TRUE(MemoryScreenSleeps().empty());
  EXPECT_EQ(JsonField(LogLine(), "answer"), "y");
}

struct Fault {
  const char* name;
  std::vector<std::string> simOptions;
  bool noSimulator;  // nothing listens on the port
  // Prepares known_hosts once the port is known.
  std::function<void(SimulatorTest*, int)> prepare;
  Lines lines;
  SshFailure outcome;
  double boundSeconds;
  std::function<void(const std::string&)> checkLog;
};

TEST_F(SimulatorTest, EachFaultEndsWithItsMessageResultAndWithinItsBound) {
  const auto noPasswordSent = [](const std::string& log) {
    EXPECT_EQ(JsonField(log, "password_attempts"), "0") << log;
    EXPECT_EQ(JsonField(log, "password"), "null") << log;
  };
  const auto answered = [](const std::string& log) {
    EXPECT_EQ(JsonField(log, "answer"), "y") << log;
  };
  const std::vector<Fault> kFaults = {
      {"refused connection", {}, true, nullptr,
       {kConnectFailed, "Reason: the router refused the connection."},
       SshFailure::kConnectionRefused, 30, nullptr},
      {"wrong password", {"--password", "other"}, false, nullptr,
       {kConnectFailed, "Reason: the user name or password was refused."},
       SshFailure::kAuthenticationRefused, 30,
       [](const std::string& log) {
         EXPECT_EQ(JsonField(log, "password"), "secret") << log;
         EXPECT_EQ(JsonField(log, "command"), "null") << log;
       }},
      {"host listed with another key",
       {"--host-key", "served"},
       false,
       [](SimulatorTest* t, int port) {
         t->ListHost(port, t->PublicKey("other"));
       },
       {kConnectFailed,
        "Reason: the router's host key has changed: HOME/.ssh/known_hosts line 1; the router "
        "showed ED25519 key SHA256:FINGERPRINT; if that is its new key, remove the old entry "
        "with: ssh-keygen -f \"HOME/.ssh/known_hosts\" -R \"[127.0.0.1]:PORT\"."},
       SshFailure::kHostKeyRefused,
       30,
       noPasswordSent},
      {"host listed with a key of another type",
       {"--host-key", "served"},
       false,
       [](SimulatorTest* t, int port) {
         t->ListHost(
             port, t->PublicKey("other-type", "ecdsa"));
       },
       {kConnectFailed,
        "Reason: the router's host key is of another type than listed: "
        "HOME/.ssh/known_hosts line 1; the router showed ED25519 key SHA256:FINGERPRINT; if "
        "that is its new key, remove the old entry with: ssh-keygen -f "
        "\"HOME/.ssh/known_hosts\" -R \"[127.0.0.1]:PORT\"."},
       SshFailure::kHostKeyRefused,
       30,
       noPasswordSent},
      {"host listed with its own key",
       {"--host-key", "served"},
       false,
       [](SimulatorTest* t, int port) {
         t->ListHost(port, t->PublicKey("served"));
       },
       {},
       SshFailure::kNone,
       30,
       answered},
      {"closed before asking", {"--mode", "close-before-asking"}, false, nullptr,
       {kSendFailed, kEndedEarly}, SshFailure::kRemoteEnded, 30,
       [](const std::string& log) { EXPECT_EQ(JsonField(log, "answer"), "null") << log; }},
      {"never asks: the answer goes after the 20 s deadline",
       {"--mode", "never-ask"}, false, nullptr, {}, SshFailure::kNone, 45,
       [](const std::string& log) {
         EXPECT_EQ(JsonField(log, "answer"), "y") << log;
         const long long waited = std::atoll(JsonField(log, "answer_ms").c_str()) -
                                  std::atoll(JsonField(log, "command_ms").c_str());
         EXPECT_GE(waited, 19500) << log;
       }},
      {"a 5000-byte line before the question", {"--mode", "long-line"}, false, nullptr, {},
       SshFailure::kNone, 30, answered},
      {"dripped question", {"--mode", "drip"}, false, nullptr, {}, SshFailure::kNone, 30,
       answered},
      {"hangs after the answer", {"--mode", "hang-after-answer"}, false, nullptr, {},
       SshFailure::kNone, 15,
       [](const std::string& log) {
         EXPECT_EQ(JsonField(log, "answer"), "y") << log;
         EXPECT_EQ(JsonField(log, "clean_close"), "true") << log;
       }},
      {"keyboard-interactive only", {"--keyboard-interactive"}, false, nullptr, {},
       SshFailure::kNone, 30,
       [](const std::string& log) {
         EXPECT_EQ(JsonField(log, "password"), "secret") << log;
         EXPECT_EQ(JsonField(log, "answer"), "y") << log;
       }},
      // The password goes only into a lone field that is not echoed: a round
      // that also asks for a user name and a code gets nothing.
      {"keyboard-interactive asking three things", {"--mode", "three-prompts"}, false, nullptr,
       {kConnectFailed, "Reason: the router asked for more than the password."},
       SshFailure::kAuthenticationRefused, 30, noPasswordSent},
      {"keyboard-interactive rounds that never ask", {"--mode", "empty-rounds"}, false, nullptr,
       {kConnectFailed, "Reason: the router kept asking without accepting the password."},
       SshFailure::kAuthenticationRefused, 30, noPasswordSent},
      // known_hosts that cannot be read whole and at once fails closed.
      {"known_hosts is a FIFO nobody writes", {}, false,
       [](SimulatorTest* t, int) { t->MakeKnownHosts([](const std::string& path) {
         return mkfifo(path.c_str(), 0600) == 0; }); },
       {kConnectFailed, kUnverifiable}, SshFailure::kHostKeyRefused, 30, noPasswordSent},
      {"known_hosts is /dev/zero", {}, false,
       [](SimulatorTest* t, int) { t->MakeKnownHosts([](const std::string& path) {
         return symlink("/dev/zero", path.c_str()) == 0; }); },
       {kConnectFailed, kUnverifiable}, SshFailure::kHostKeyRefused, 30, noPasswordSent},
      {"known_hosts is a folder", {}, false,
       [](SimulatorTest* t, int) { t->MakeKnownHosts([](const std::string& path) {
         return mkdir(path.c_str(), 0700) == 0; }); },
       {kConnectFailed, kUnverifiable}, SshFailure::kHostKeyRefused, 30, noPasswordSent},
      {"known_hosts over 4 MiB", {}, false,
       [](SimulatorTest* t, int) { t->MakeKnownHosts([](const std::string& path) {
         return WriteFile(path, std::string((4u << 20) + 1, '#')); }); },
       {kConnectFailed, kUnverifiable}, SshFailure::kHostKeyRefused, 30, noPasswordSent},
      {"exit status 1 after the answer", {"--mode", "fail-after-answer"}, false, nullptr,
       {"The reboot failed: the router reported exit status 1 (failure: not enough "
        "permissions)."},
       SshFailure::kRemoteFailed, 30, answered},
      {"killed by a signal after the answer", {"--mode", "signal-after-answer"}, false, nullptr,
       {"The reboot failed: the router reported signal KILL."}, SshFailure::kRemoteFailed, 30,
       answered},
      // The output ends, the close comes later: nothing is asking, so the
      // answer is not written at all.
      {"end of output, then close, before asking", {"--mode", "eof-before-asking"}, false,
       nullptr, {kSendFailed, kEndedEarly}, SshFailure::kRemoteEnded, 30,
       [](const std::string& log) { EXPECT_EQ(JsonField(log, "answer"), "null") << log; }},
      // 19 s at every step stays under the 20 s step bound; the whole session
      // still ends at its 45 s bound, before the password is ever asked for,
      // then the 4 s failure pause.
      {"stalls 19 s at every step", {"--mode", "stall"}, false, nullptr,
       {kConnectFailed, "Reason: the router did not respond in time."}, SshFailure::kTimedOut,
       45 + 4 + 3, noPasswordSent},
  };
  for (const Fault& fault : kFaults) {
    SCOPED_TRACE(fault.name);
    TearDown();
    SetUp();
    std::vector<std::string> options = fault.simOptions;
    for (size_t i = 0; i + 1 < options.size(); ++i) {
      if (options[i] == "--host-key") options[i + 1] = dir_ + "/" + options[i + 1];
    }
    const int port = fault.noSimulator ? FreeLoopbackPort() : StartSim(options);
    ASSERT_GT(port, 0);
    if (fault.prepare) fault.prepare(this, port);
    MemoryScreenReset(400, 25);
    const auto start = std::chrono::steady_clock::now();
    const SshFailure outcome =
        RunRebootSession("admin", "secret", std::to_string(port), "n", "127.0.0.1");
    EXPECT_LT(SecondsSince(start), fault.boundSeconds);
    EXPECT_EQ(outcome, fault.outcome);
    // The test's home folder, the port and the simulator's fresh key differ
    // from row to row: HOME, PORT and FINGERPRINT stand for them.
    Lines lines = MemoryScreenLines();
    for (std::string& line : lines) {
      for (size_t at; (at = line.find(home_)) != std::string::npos;) {
        line.replace(at, home_.size(), "HOME");
      }
      line = std::regex_replace(line, std::regex("\\]:" + std::to_string(port) + "\""),
                                "]:PORT\"");
      line = std::regex_replace(line, std::regex("SHA256:[A-Za-z0-9+/]{43}"),
                                "SHA256:FINGERPRINT");
    }
    EXPECT_EQ(lines, fault.lines);
    if (fault.checkLog) fault.checkLog(LogLine());
  }
}

// One identity file in ~/.ssh.
struct KeyFile {
  const char* name;
  const char* type;
  const char* passphrase;  // "": none
  bool authorized;         // the router takes it
  bool keepPublic;         // FILE.pub stays beside it
  bool publicIsFifo = false;  // FILE.pub is replaced by a FIFO nobody writes
};

enum class Agent {
  kNone,
  kHoldsAuthorizedKey,
  kGone,    // SSH_AUTH_SOCK names a socket nobody listens on
  kSilent,  // SSH_AUTH_SOCK names a socket that takes connections, never answers
};

struct KeyCase {
  const char* name;
  std::vector<KeyFile> files;
  Agent agent;
  const char* password;
  const char* method;          // the method the router logs as successful
  const char* passwordLogged;  // "null": no password reached the router
};

TEST_F(SimulatorTest, KeysAreTriedBeforeThePasswordAndThePasswordOnlyWhenNoKeyWorks) {
  const std::vector<KeyCase> kCases = {
      {"agent holds the key, empty password", {}, Agent::kHoldsAuthorizedKey, "", "publickey",
       "null"},
      {"refused id_ed25519, then an accepted id_ecdsa",
       {{"id_ed25519", "ed25519", "", false, true}, {"id_ecdsa", "ecdsa", "", true, true}},
       Agent::kNone, "", "publickey", "null"},
      {"identity file without its .pub",
       {{"id_ed25519", "ed25519", "", true, false}}, Agent::kNone, "", "publickey", "null"},
      {"refused key, then the password",
       {{"id_ed25519", "ed25519", "", false, true}}, Agent::kNone, "secret", "password",
       "secret"},
      // The router would take the key, but nobody can give its passphrase.
      {"passphrase-protected key skipped, then the password",
       {{"id_ed25519", "ed25519", "pass phrase", true, true}}, Agent::kNone, "secret",
       "password", "secret"},
      {"passphrase-protected key without its .pub skipped",
       {{"id_ecdsa", "ecdsa", "pass phrase", true, false}}, Agent::kNone, "secret", "password",
       "secret"},
      // A stale SSH_AUTH_SOCK, as a job started from an old session inherits.
      {"agent gone, then an identity file",
       {{"id_ed25519", "ed25519", "", true, true}}, Agent::kGone, "", "publickey", "null"},
      // Neither may hold the run: each is passed over.
      {"agent that never answers, then an identity file",
       {{"id_ed25519", "ed25519", "", true, true}}, Agent::kSilent, "", "publickey", "null"},
      {"identity whose .pub is a FIFO, then the private file",
       {{"id_ed25519", "ed25519", "", true, false, true}}, Agent::kNone, "", "publickey",
       "null"},
  };
  for (const KeyCase& c : kCases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const std::string sshDir = home_ + "/.ssh";
    ASSERT_EQ(mkdir(sshDir.c_str(), 0700), 0);
    std::vector<std::string> options;
    for (const KeyFile& file : c.files) {
      const std::string path = sshDir + "/" + file.name;
      ASSERT_TRUE(MakeKeyPair(path, file.type, file.passphrase));
      if (file.authorized) options.insert(options.end(), {"--authorized-key", path + ".pub"});
    }
    if (c.agent == Agent::kGone) setenv("SSH_AUTH_SOCK", (dir_ + "/gone.sock").c_str(), 1);
    SilentListener silentAgent;
    if (c.agent == Agent::kSilent) {
      ASSERT_TRUE(silentAgent.Listen(dir_ + "/silent.sock"));
      setenv("SSH_AUTH_SOCK", (dir_ + "/silent.sock").c_str(), 1);
    }
    if (c.agent == Agent::kHoldsAuthorizedKey) {
      const std::string agentKey = dir_ + "/agent_key";
      ASSERT_TRUE(MakeKeyPair(agentKey, "ed25519", ""));
      options.insert(options.end(), {"--authorized-key", agentKey + ".pub"});
      ASSERT_TRUE(StartAgent(dir_ + "/agent.sock", {agentKey}, &agent_));
      setenv("SSH_AUTH_SOCK", (dir_ + "/agent.sock").c_str(), 1);
    }
    const int port = StartSim(options);
    ASSERT_GT(port, 0);
    for (const KeyFile& file : c.files) {
      if (!file.keepPublic) {
        ASSERT_EQ(unlink((sshDir + "/" + file.name + ".pub").c_str()), 0);
      }
      if (file.publicIsFifo) {
        ASSERT_EQ(mkfifo((sshDir + "/" + file.name + ".pub").c_str(), 0600), 0);
      }
    }
    std::vector<std::string> before = ListDir(sshDir);
    before.push_back("known_hosts");
    std::sort(before.begin(), before.end());
    MemoryScreenReset(120, 25);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunRebootSession("admin", c.password, std::to_string(port), "n", "127.0.0.1"),
              SshFailure::kNone);
    EXPECT_LT(SecondsSince(start), 30);
    EXPECT_TRUE(MemoryScreenLines().empty());
    const std::string log = LogLine();
    EXPECT_EQ(JsonField(log, "method"), c.method) << log;
    EXPECT_EQ(JsonField(log, "password"), c.passwordLogged) << log;
    EXPECT_EQ(JsonField(log, "answer"), "y") << log;
    // Only the unknown router's key is recorded.
    std::vector<std::string> after = ListDir(sshDir);
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, before) << "a file in ~/.ssh was written";
  }
}

// 127 bytes reach the server whole; one more is refused before anything
// connects. The address, 127 bytes of octal parts, names 127.0.0.1.
TEST_F(SimulatorTest, TextsFillingTheirBuffersReachTheServerWholeAndLongerOnesNothing) {
  const std::string user = std::string(127, 'u');
  const std::string password = std::string(127, 'p');
  const int port = StartSim({"--user", user, "--password", password});
  ASSERT_GT(port, 0);
  const std::string address = std::string(40, '0') + "177." + std::string(40, '0') + "." +
                              std::string(40, '0') + ".1";
  ASSERT_EQ(address.size(), 127u);
  std::string portText = std::to_string(port);
  portText = std::string(31 - portText.size(), '0') + portText;
  const struct {
    std::string user, password, port, address;
    SshFailure outcome;
  } kCases[] = {
      {user + "X", password, portText, address, SshFailure::kOther},
      {user, password + "X", portText, address, SshFailure::kOther},
      {user, password, portText, address + "9", SshFailure::kOther},
      {user, password, portText + "9", address, SshFailure::kOther},
      {user, password, std::to_string(port + 65536), address, SshFailure::kOther},
      {user, password, portText, address, SshFailure::kNone},
  };
  for (const auto& c : kCases) {
    MemoryScreenReset(400, 25);
    EXPECT_EQ(RunRebootSession(c.user, c.password, c.port, "n", c.address), c.outcome);
  }
  const std::string log = LogLine();  // the one connection is the last row's
  EXPECT_EQ(JsonField(log, "user"), user) << log;
  EXPECT_EQ(JsonField(log, "password"), password) << log;
  EXPECT_EQ(JsonField(log, "answer"), "y") << log;
}

// A question dripped a byte at a time may be cut at a prompt-like character
// inside it ("Reboot now?"): the answer then waits in the channel until the
// router reads it.
TEST_F(SimulatorTest, DrippedQuestionGetsTheAnswerAndTheModeIsRestored) {
  const int port = StartSim({"--mode", "drip", "--drip-ms", "200"});
  ASSERT_GT(port, 0);
  SshConnectOptions options = {};
  options.size = sizeof options;
  std::strcpy(options.remoteCommand, "/system reboot");
  fesetround(FE_UPWARD);
  const SshClient client =
      SshConnectA("127.0.0.1", port, "admin", "secret", 20, 512, &options, nullptr);
  EXPECT_EQ(fegetround(), FE_TONEAREST);
  ASSERT_NE(client, kInvalidClient);
  char line[1024];
  int32_t count = sizeof line;
  fesetround(FE_UPWARD);
  EXPECT_NE(SshReadLineA(client, line, &count), 0);
  EXPECT_EQ(fegetround(), FE_TONEAREST);
  EXPECT_GT(count, 0);
  EXPECT_EQ(count, static_cast<int32_t>(std::strlen(line)));
  EXPECT_EQ(std::string(kQuestion).rfind(line, 0), 0u) << line;
  count = 1024;
  EXPECT_NE(SshWriteLineA(client, "y", &count), 0);
  EXPECT_NE(SshDisconnect(client), 0);
  EXPECT_EQ(JsonField(LogLine(), "answer"), "y");
}

TEST_F(SimulatorTest, LongLineNeverOverflowsTheBufferAndTheRestIsKept) {
  const int port = StartSim({"--mode", "long-line"});
  ASSERT_GT(port, 0);
  const SshClient client = ConnectToReboot(port);
  ASSERT_NE(client, kInvalidClient);
  constexpr int kBuffer = 64;
  constexpr char kGuard = 0x5a;
  char bytes[kBuffer + 16];
  size_t received = 0;
  std::string last;
  for (int reads = 0; reads < 200; ++reads) {
    std::memset(bytes, kGuard, sizeof bytes);
    int32_t count = kBuffer;
    ASSERT_NE(SshReadLineA(client, bytes, &count), 0);
    ASSERT_LT(count, kBuffer);
    ASSERT_EQ(bytes[count], '\0');
    for (size_t i = kBuffer; i < sizeof bytes; ++i) ASSERT_EQ(bytes[i], kGuard);
    last.assign(bytes, static_cast<size_t>(count));
    if (last.find('x') == std::string::npos) break;
    received += static_cast<size_t>(count);
  }
  EXPECT_EQ(received, 5000u);
  EXPECT_EQ(last, kQuestion);
  SshDisconnect(client);
}

TEST_F(SimulatorTest, BadArgumentsFailAtOnceWithTheirReasonAndLeaveNothingOpen) {
  const char* kMalformed = "the router address is malformed: it is no host name or address.";
  SshConnectOptions options = {};
  options.size = sizeof options;
  std::strcpy(options.remoteCommand, "/system reboot");
  const struct {
    const char* name;
    const char* host;
    int32_t port;
    const char* reason;
  } kCases[] = {
      {"port above 65535", "127.0.0.1", 65536, "port 65536 is outside 1 to 65535."},
      {"negative port", "127.0.0.1", -1, "port -1 is outside 1 to 65535."},
      {"empty host", "", 22, "no router address was given."},
      {"space in the address", "127.0.0.1 x", 22, kMalformed},
      {"port inside the address", "127.0.0.1:22", 22, kMalformed},
      {"control character in the address", "127.0.0.1\t", 22, kMalformed},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SshConnectA(c.host, c.port, "admin", "secret", 20, 512, &options, nullptr),
              kInvalidClient);
    char reason[256];
    EXPECT_EQ(SshGetLastError(reason, sizeof reason), SshFailure::kOther);
    EXPECT_STREQ(reason, c.reason);
  }
  // Nothing was left open: a session still opens.
  const int port = StartSim({});
  ASSERT_GT(port, 0);
  const SshClient client =
      SshConnectA("127.0.0.1", port, "admin", "secret", 20, 512, &options, nullptr);
  EXPECT_NE(client, kInvalidClient);
  int32_t count = 1024;
  char line[1024];
  EXPECT_EQ(SshReadLineA(client + 1, line, &count), 0) << "a handle never handed out";
  EXPECT_NE(SshDisconnect(client), 0);
  EXPECT_EQ(SshDisconnect(client), 0) << "a closed handle";
}

// This process's TCP socket connected to 127.0.0.1:port; -1 for none.
int SocketConnectedTo(int port) {
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  int found = -1;
  while (dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    if (fd != dirfd(fds) && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
      found = fd;
      break;
    }
  }
  closedir(fds);
  return found;
}

// The session's own socket (opened by this program, not by libssh) once had
// no TCP_NODELAY: every small packet that followed another waited for the
// router's delayed ACK, 40 ms each. Read back while the session is open.
TEST_F(SimulatorTest, SessionSocketHasNagleOffAndIsNotInherited) {
  const int port = StartSim({});
  ASSERT_GT(port, 0);
  const SshClient client = ConnectToReboot(port);
  ASSERT_NE(client, kInvalidClient);
  const int fd = SocketConnectedTo(port);
  ASSERT_GE(fd, 0) << "no socket to the router while the session is open";
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0) << "TCP_NODELAY is off on the session's socket";
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "a child process would inherit the socket";
  EXPECT_NE(SshDisconnect(client), 0);
}

// One router of several driven at once, each on a thread of its own.
struct RouterRun {
  const char* name;
  std::string password;             // the one the thread gives
  std::vector<std::string> simOptions;
  bool noSimulator;                 // nothing listens on the port
  SshFailure connectFailure;        // SshConnectA's
  SshFailure endFailure;            // the thread's last call's
  std::string endText;
};

// What a thread saw of its own session.
struct Seen {
  int port = 0;
  SshClient client = kInvalidClient;
  SshFailure afterConnect = SshFailure::kOther;
  bool peerKnown = false;
  int peerPort = 0;
  std::string question;
  SshFailure atEnd = SshFailure::kOther;
  std::string textAtEnd;
};

int PortOf(const SshPeer& peer) {
  if (peer.addressLength < static_cast<int32_t>(sizeof(sockaddr_in))) return 0;
  sockaddr_in address;
  std::memcpy(&address, peer.address, sizeof address);
  return ntohs(address.sin_port);
}

// All the threads connect at once and keep their sessions open together.
// Each then looks at its last error and last peer only after every other
// thread has made its calls: a failure or router kept for the whole process
// would show another thread's.
TEST_F(SimulatorTest, SessionsOnSeveralThreadsEachKeepTheirOwnResultErrorAndPeer) {
  const std::vector<RouterRun> kRuns = {
      {"first", "alpha-1", {"--password", "alpha-1"}, false, SshFailure::kNone,
       SshFailure::kNone, ""},
      {"second", "bravo-2", {"--password", "bravo-2"}, false, SshFailure::kNone,
       SshFailure::kNone, ""},
      {"fails after the answer", "charlie-3",
       {"--password", "charlie-3", "--mode", "fail-after-answer"}, false, SshFailure::kNone,
       SshFailure::kRemoteFailed, "exit status 1 (failure: not enough permissions)"},
      {"wrong password", "delta-4", {"--password", "other"}, false,
       SshFailure::kAuthenticationRefused, SshFailure::kAuthenticationRefused, ""},
      {"closed port", "echo-5", {}, true, SshFailure::kConnectionRefused,
       SshFailure::kConnectionRefused, ""},
  };
  const size_t count = kRuns.size();
  std::vector<Seen> seen(count);
  for (size_t i = 0; i < count; ++i) {
    seen[i].port = kRuns[i].noSimulator
                       ? FreeLoopbackPort()
                       : StartAnotherSim(dir_ + "/sim" + std::to_string(i) + ".log",
                                         kRuns[i].simOptions);
    ASSERT_GT(seen[i].port, 0) << kRuns[i].name;
  }
  std::barrier start(static_cast<ptrdiff_t>(count));
  std::barrier allOpen(static_cast<ptrdiff_t>(count));
  std::barrier allDone(static_cast<ptrdiff_t>(count));
  const auto drive = [&](const RouterRun& run, Seen* mine) {
    SshConnectOptions options = {};
    options.size = sizeof options;
    std::strcpy(options.remoteCommand, "/system reboot");
    start.arrive_and_wait();
    mine->client = SshConnectA("127.0.0.1", mine->port, "admin", run.password.c_str(), 20, 512,
                               &options, nullptr);
    mine->afterConnect = SshGetLastError(nullptr, 0);
    allOpen.arrive_and_wait();
    SshPeer peer;
    mine->peerKnown = SshLastPeer(&peer);
    if (mine->peerKnown) mine->peerPort = PortOf(peer);
    if (mine->client != kInvalidClient) {
      char line[256];
      for (int reads = 0; reads < 20 && mine->question.empty(); ++reads) {
        int32_t size = sizeof line;
        if (SshReadLineA(mine->client, line, &size) == 0) break;
        if (std::string(line).rfind("Reboot now?", 0) == 0) mine->question = line;
      }
      int32_t size = 2;
      SshWriteLineA(mine->client, "y", &size);
      SshDisconnect(mine->client);
    }
    allDone.arrive_and_wait();
    char text[kReasonTextBytes];
    mine->atEnd = SshGetLastError(text, sizeof text);
    mine->textAtEnd = text;
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) threads.emplace_back(drive, std::cref(kRuns[i]), &seen[i]);
  for (std::thread& thread : threads) thread.join();

  std::set<SshClient> handles;
  for (size_t i = 0; i < count; ++i) {
    const RouterRun& run = kRuns[i];
    SCOPED_TRACE(run.name);
    const bool opens = run.connectFailure == SshFailure::kNone;
    EXPECT_EQ(seen[i].afterConnect, run.connectFailure);
    EXPECT_EQ(seen[i].client != kInvalidClient, opens);
    EXPECT_EQ(seen[i].atEnd, run.endFailure);
    EXPECT_EQ(seen[i].textAtEnd, run.endText);
    EXPECT_EQ(seen[i].peerKnown, opens);
    if (opens) {
      EXPECT_EQ(seen[i].peerPort, seen[i].port);
      EXPECT_EQ(seen[i].question, kQuestion);
      EXPECT_NE(seen[i].client, 0u);
      handles.insert(seen[i].client);
    }
    if (!run.noSimulator) {
      const std::vector<std::string> lines =
          WaitForLines(dir_ + "/sim" + std::to_string(i) + ".log", 1, 15000);
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(JsonField(lines[0], "password"), run.password) << lines[0];
      EXPECT_EQ(JsonField(lines[0], "answer"), opens ? "y" : "null") << lines[0];
    }
  }
  EXPECT_EQ(handles.size(), 3u) << "open sessions shared a handle";
}

// Unknown routers met on several threads at once are all recorded in the
// one known_hosts, each line whole, and then known: the key-checked
// read-and-append of one thread never overlaps another's.
TEST_F(SimulatorTest, NewRoutersMetOnSeveralThreadsAtOnceAreAllRecordedWhole) {
  constexpr size_t kRouters = 4;
  std::vector<int> ports;
  std::vector<std::string> expected;
  for (size_t i = 0; i < kRouters; ++i) {
    const std::string key = "key" + std::to_string(i);
    const std::string publicKey = PublicKey(key);
    ASSERT_FALSE(publicKey.empty());
    ports.push_back(StartAnotherSim(dir_ + "/sim" + std::to_string(i) + ".log",
                                    {"--host-key", dir_ + "/" + key}));
    ASSERT_GT(ports.back(), 0);
    expected.push_back("[127.0.0.1]:" + std::to_string(ports.back()) + " " + publicKey);
  }
  ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
  // Once recorded, a key must be known: nothing new is accepted.
  const auto connectAll = [&](std::vector<SshFailure>* failures) {
    std::barrier start(static_cast<ptrdiff_t>(kRouters));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kRouters; ++i) {
      threads.emplace_back([&, i] {
        SshConnectOptions options = {};
        options.size = sizeof options;
        std::strcpy(options.remoteCommand, "/system reboot");
        start.arrive_and_wait();
        const SshClient client = SshConnectA("127.0.0.1", ports[i], "admin", "secret", 20, 512,
                                             &options, nullptr);
        (*failures)[i] = SshGetLastError(nullptr, 0);
        if (client != kInvalidClient) SshDisconnect(client);
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  std::vector<SshFailure> first(kRouters, SshFailure::kOther);
  connectAll(&first);
  EXPECT_EQ(first, std::vector<SshFailure>(kRouters, SshFailure::kNone));
  const std::string knownHosts = home_ + "/.ssh/known_hosts";
  std::vector<std::string> lines;
  std::string text = ReadAll(knownHosts);
  EXPECT_EQ(text.empty() ? '\n' : text.back(), '\n') << text;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
  }
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);

  ASSERT_TRUE(WriteFile(home_ + "/.ssh/config", "StrictHostKeyChecking yes\n"));
  std::vector<SshFailure> again(kRouters, SshFailure::kOther);
  connectAll(&again);
  EXPECT_EQ(again, std::vector<SshFailure>(kRouters, SshFailure::kNone));
}

}  // namespace
