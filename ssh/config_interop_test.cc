// The SSH configuration's trust options against the router simulator, each
// row judged beside OpenSSH's client on the same files: ssh runs with
// `-F` on the very configuration swKicker reads, under sshpass so that it
// would send the password wherever its configuration lets it. Wherever
// ssh refuses to start, refuses the key or sends no password, the router
// sees no password from swKicker either.
//
// As root the machine's /etc/ssh is replaced by an empty folder in a
// private mount namespace, so that only the row's file counts.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ssh_files/ssh_config.h"
#include "ssh/ssh_library.h"
#include "testing/test_process.h"
#include "testing/test_servers.h"

namespace {

const char kEtcSsh[] = "/etc/ssh";
// known_hosts listing the simulator's own key.
const char kKnown[] = "[127.0.0.1]:{P} ssh-ed25519 {Sk}\n";

// What OpenSSH's client made of a row.
enum class SshSays {
  kNoStart,     // refused to start: a bad configuration line
  kKeyRefused,  // "Host key verification failed."
  kAsks,        // asks whether to trust an unknown key; nobody answers
  kNoPassword,  // went on, and the router saw no password
  kPassword,    // the router saw the password
};

const char* Name(SshSays says) {
  switch (says) {
    case SshSays::kNoStart: return "refused to start";
    case SshSays::kKeyRefused: return "key refused";
    case SshSays::kAsks: return "asks about the key";
    case SshSays::kNoPassword: return "no password";
    case SshSays::kPassword: return "password sent";
  }
  return "?";
}

struct Row {
  const char* name;
  // The user's configuration and known_hosts; {P} is the simulator's port,
  // {Sk} its key (base64), {Ok} another key, {D} the test's folder.
  const char* config;
  const char* knownHosts;
  // The RevokedHostKeys file {D}/revoked, when not null; "KRL" makes it a
  // binary key revocation list of the router's key (ssh-keygen -k).
  const char* revoked;
  SshSays ssh;
  SshFailure failure;  // swKicker's; kNone: rebooted
  const char* reason;  // a part of swKicker's reason
  bool alsoOnSshd;
};

const Row kRows[] = {
    {"HostKeyAlias: another key under the alias",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n HostKeyAlias router1\n",
     "router1 ssh-ed25519 {Ok}\n", nullptr, SshSays::kKeyRefused, SshFailure::kHostKeyRefused,
     "has changed", true},
    {"HostKeyAlias: the router's key under the alias",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n HostKeyAlias Router1\n",
     "router1 ssh-ed25519 {Sk}\n[127.0.0.1]:{P} ssh-ed25519 {Ok}\n", nullptr, SshSays::kPassword,
     SshFailure::kNone, "", true},
    {"RevokedHostKeys holds the router's key",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n RevokedHostKeys {D}/revoked\n", "",
     "# revoked\nssh-ed25519 {Sk} old\n", SshSays::kKeyRefused, SshFailure::kHostKeyRefused,
     "revoked: {D}/revoked line 2", true},
    {"RevokedHostKeys is a binary key revocation list holding the router's key",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n RevokedHostKeys {D}/revoked\n", "", "KRL",
     SshSays::kKeyRefused, SshFailure::kHostKeyRefused,
     "is a binary key revocation list, which swKicker cannot read", true},
    {"RevokedHostKeys file missing",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n RevokedHostKeys {D}/nothing\n", "", nullptr,
     SshSays::kKeyRefused, SshFailure::kHostKeyRefused, "{D}/nothing is missing", false},
    {"a byte order mark before StrictHostKeyChecking no",
     "\xEF\xBB\xBFHost r*\n HostName 127.0.0.1\n Port {P}\n StrictHostKeyChecking no\n"
     " UserKnownHostsFile /dev/null\n",
     "[127.0.0.1]:{P} ssh-ed25519 {Ok}\n", nullptr, SshSays::kNoStart, SshFailure::kOther,
     "config:1: unknown option \\xEF\\xBB\\xBFhost", false},
    {"a typo before StrictHostKeyChecking no",
     "Hots lab\nHost r1\n HostName 127.0.0.1\n Port {P}\n StrictHostKeyChecking no\n", "", nullptr,
     SshSays::kNoStart, SshFailure::kOther, "config:1: unknown option hots", true},
    {"PasswordAuthentication no under Host *",
     "Host r1\n HostName 127.0.0.1\n Port {P}\nHost *\n PasswordAuthentication no\n", kKnown,
     nullptr, SshSays::kNoPassword, SshFailure::kAuthenticationRefused,
     "excludes password authentication by PasswordAuthentication no at {D}/home/.ssh/config:5",
     true},
    {"PreferredAuthentications publickey",
     "Host r1\n HostName 127.0.0.1\n Port {P}\nHost *\n PreferredAuthentications publickey\n",
     kKnown, nullptr, SshSays::kNoPassword, SshFailure::kAuthenticationRefused,
     "PreferredAuthentications publickey at", true},
    {"NumberOfPasswordPrompts 0",
     "Host r1\n HostName 127.0.0.1\n Port {P}\nHost *\n NumberOfPasswordPrompts 0\n", kKnown,
     nullptr, SshSays::kNoPassword, SshFailure::kAuthenticationRefused,
     "NumberOfPasswordPrompts 0 at", true},
    {"BatchMode yes", "Host r1\n HostName 127.0.0.1\n Port {P}\nHost *\n BatchMode yes\n", kKnown,
     nullptr, SshSays::kNoPassword, SshFailure::kAuthenticationRefused, "BatchMode yes at", true},
    {"UserKnownHostsFile none beside a file",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n UserKnownHostsFile none ~/.ssh/kh2\n", "", nullptr,
     SshSays::kNoStart, SshFailure::kOther, "\"none\" must stand alone", false},
    {"known_hosts2, read by default, holds another key",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n", "KH2:[127.0.0.1]:{P} ssh-ed25519 {Ok}\n", nullptr,
     SshSays::kKeyRefused, SshFailure::kHostKeyRefused,
     "has changed: {D}/home/.ssh/known_hosts2 line 1", true},
    {"StrictHostKeyChecking ask, the router unknown",
     "Host r1\n HostName 127.0.0.1\n Port {P}\n StrictHostKeyChecking ask\n", "", nullptr,
     SshSays::kAsks, SshFailure::kHostKeyRefused, "StrictHostKeyChecking is ask", false},
};

// Where a server tells what it saw: the record after a mark taken before
// each client runs, and whether it holds a password.
struct Server {
  int port = -1;
  std::string user;
  std::string password;
  std::function<size_t()> mark;
  std::function<std::string(size_t mark, int waitMs)> seenSince;
  std::function<bool(const std::string&)> sawPassword;
};

class ConfigInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    home_ = dir_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_ + "/etc_ssh").c_str(), 0755), 0);
    SaveVariable("HOME", &savedHome_);
    setenv("HOME", home_.c_str(), 1);
    ownEtc_ = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
              mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount((dir_ + "/etc_ssh").c_str(), kEtcSsh, "none", MS_BIND, nullptr) == 0;
    for (const char* key : {"host_key", "other_key"}) {
      ASSERT_EQ(Shell("ssh-keygen -q -t ed25519 -N '' -C '' -f " + dir_ + "/" + key), 0);
    }
    ASSERT_TRUE(StartSimulator("sim", {}, &sim_, &sim_server_));
    port_ = sim_server_.port;
    ASSERT_NE(SshInitializeA("", nullptr), 0);
    initialized_ = true;
  }

  void TearDown() override {
    if (initialized_) SshUninitialize();
    StopChild(&sim_);
    StopChild(&interactiveSim_);
    StopChild(&sshd_);
    RemoveThrowawayUser(&sshdUser_);
    if (ownEtc_) umount2(kEtcSsh, MNT_DETACH);
    RestoreVariable(&savedHome_);
    RemoveTree(dir_);
  }

  // The simulator with the test's host key and extra arguments, logging to
  // dir_/NAME.log.
  bool StartSimulator(const std::string& name, const std::vector<std::string>& extra, Child* child,
                      Server* server) {
    const std::string log = dir_ + "/" + name + ".log";
    std::vector<std::string> argv = {
        SWK_ROUTER_SIM, "--host-key", dir_ + "/host_key",     "--log", log, "--user", user_,
        "--lifetime",   "600",        "--connection-seconds", "30"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string line;
    if (!StartChild(argv, child) || !ReadChildLine(child, 10000, &line)) return false;
    server->port = std::atoi(line.c_str());
    server->user = user_;
    server->password = password_;
    // One JSON line per connection, written when it ends.
    server->mark = [log] { return WaitForLines(log, 0, 0).size(); };
    server->seenSince = [log](size_t mark, int waitMs) {
      const std::vector<std::string> lines = WaitForLines(log, mark + 1, waitMs);
      return lines.size() > mark ? lines[mark] : std::string();
    };
    server->sawPassword = [](const std::string& seen) {
      return !seen.empty() &&
             (JsonField(seen, "password_attempts") != "0" || JsonField(seen, "password") != "null");
    };
    return server->port > 0;
  }

  // OpenSSH's sshd with a throwaway user, its log showing every
  // authentication attempt.
  bool StartSshd(Server* server) {
    server->password = "Kick-7 pass";
    if (!AddThrowawayUser("swkci", dir_, server->password, &sshdUser_)) return false;
    server->user = sshdUser_.name;
    const std::string log = dir_ + "/sshd.log";
    server->port = ::StartSshd(dir_, sshdUser_.name, "/bin/true", "LogLevel DEBUG1\n", log, &sshd_);
    server->mark = [log] { return ReadAll(log).size(); };
    server->seenSince = [log](size_t mark, int waitMs) { return SshdLogSince(log, mark, waitMs); };
    server->sawPassword = SshdSawPassword;
    return server->port > 0;
  }

  std::string Expand(std::string text, int port) {
    ReplaceAll(&text, "{P}", std::to_string(port));
    ReplaceAll(&text, "{Sk}", PublicBase64(dir_ + "/host_key.pub"));
    ReplaceAll(&text, "{Ok}", PublicBase64(dir_ + "/other_key.pub"));
    ReplaceAll(&text, "{D}", dir_);
    return text;
  }

  std::string Expand(std::string text) { return Expand(text, port_); }

  // The simulator's line for the connection after mark; empty for none.
  std::string SeenSince(size_t mark, int waitMs) { return sim_server_.seenSince(mark, waitMs); }
  size_t Mark() { return sim_server_.mark(); }

  // OpenSSH's client on the row's files, with the password to hand.
  // ssh takes "~" from the passwd entry, not from HOME: its two default
  // files are named. Its default for an unknown router is to ask; sshpass
  // then ends with status 6 and nothing is sent.
  SshSays AskSsh(const std::string& host, std::string* messages, const std::string& extra = "") {
    return AskSsh(sim_server_, host, messages, extra);
  }
  SshSays AskSsh(const Server& server, const std::string& host, std::string* messages,
                 const std::string& extra) {
    const size_t mark = server.mark();
    const std::string out = dir_ + "/ssh.out";
    const int status =
        Shell("HOME=" + home_ + " sshpass -p '" + server.password + "' ssh -F " + home_ +
              "/.ssh/config -o ConnectTimeout=10 -o 'UserKnownHostsFile=" + home_ +
              "/.ssh/known_hosts " + home_ + "/.ssh/known_hosts2' " + extra + " -l " + server.user +
              " " + host + " true </dev/null >" + out + " 2>&1");
    *messages = ReadAll(out);
    if (messages->find("Bad configuration option") != std::string::npos ||
        messages->find("bad configuration options") != std::string::npos) {
      return SshSays::kNoStart;
    }
    if (messages->find("Host key verification failed.") != std::string::npos) {
      return SshSays::kKeyRefused;
    }
    if (WEXITSTATUS(status) == 6) return SshSays::kAsks;
    return server.sawPassword(server.seenSince(mark, 15000)) ? SshSays::kPassword
                                                             : SshSays::kNoPassword;
  }

  // One session of swKicker's to host (r1 in the configuration): how it
  // ended, and what the server saw of it (waiting up to waitMs).
  struct Attempt {
    SshFailure failure = SshFailure::kNone;
    std::string reason;
    std::string seen;
  };
  Attempt Connect(const Server& server, const char* host, int port, const std::string& user,
                  int waitMs = 15000) {
    SshConnectOptions options = {};
    options.size = sizeof options;
    std::strcpy(options.remoteCommand, "/system reboot");
    const size_t mark = server.mark();
    const SshClient client =
        SshConnectA(host, port, user.c_str(), server.password.c_str(), 20, 512, &options, nullptr);
    char reason[kReasonTextBytes];
    Attempt attempt;
    attempt.failure = SshGetLastError(reason, sizeof reason);
    attempt.reason = reason;
    if (client != kInvalidClient) SshDisconnect(client);
    attempt.seen = server.seenSince(mark, waitMs);
    return attempt;
  }

  void RunRows(const Server& server, bool sshdRowsOnly) {
    for (const Row& row : kRows) {
      if (sshdRowsOnly && !row.alsoOnSshd) continue;
      SCOPED_TRACE(row.name);
      ASSERT_TRUE(WriteFile(home_ + "/.ssh/config", Expand(row.config, server.port)));
      // "KH2:" puts the text in known_hosts2 instead.
      const std::string knownHosts = row.knownHosts;
      const bool second = knownHosts.rfind("KH2:", 0) == 0;
      ASSERT_TRUE(
          WriteFile(home_ + "/.ssh/known_hosts", second ? "" : Expand(knownHosts, server.port)));
      unlink((home_ + "/.ssh/known_hosts2").c_str());
      if (second) {
        ASSERT_TRUE(
            WriteFile(home_ + "/.ssh/known_hosts2", Expand(knownHosts.substr(4), server.port)));
      }
      unlink((dir_ + "/revoked").c_str());
      if (row.revoked != nullptr && std::string(row.revoked) == "KRL") {
        ASSERT_EQ(Shell("ssh-keygen -q -k -f " + dir_ + "/revoked " + dir_ + "/host_key.pub"), 0);
      } else if (row.revoked != nullptr) {
        ASSERT_TRUE(WriteFile(dir_ + "/revoked", Expand(row.revoked, server.port)));
      }
      const std::string before = ReadAll(home_ + "/.ssh/known_hosts");

      std::string messages;
      const SshSays ssh = AskSsh(server, "r1", &messages, "");
      EXPECT_STREQ(Name(ssh), Name(row.ssh)) << messages;
      ASSERT_TRUE(WriteFile(home_ + "/.ssh/known_hosts", before));

      const Attempt attempt =
          Connect(server, "r1", 0, server.user, row.ssh == SshSays::kNoStart ? 500 : 15000);
      EXPECT_EQ(static_cast<int>(attempt.failure), static_cast<int>(row.failure)) << attempt.reason;
      EXPECT_NE(attempt.reason.find(Expand(row.reason, server.port)), std::string::npos)
          << attempt.reason;
      // A configuration ssh refuses is refused before anyone is contacted.
      const std::string& seen = attempt.seen;
      if (row.ssh == SshSays::kNoStart) {
        EXPECT_EQ(server.sawPassword(seen), false);
        EXPECT_EQ(seen.find("Connection from"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("\"connection\""), std::string::npos) << seen;
      }
      EXPECT_EQ(server.sawPassword(seen), row.ssh == SshSays::kPassword) << seen;
    }
  }

  std::string dir_;
  std::string home_;
  std::string user_ = "admin";
  std::string password_ = "secret";
  int port_ = -1;
  bool ownEtc_ = false;
  Server sim_server_;
  Child sshd_;
  ThrowawayUser sshdUser_;
  bool initialized_ = false;
  Child sim_;
  Child interactiveSim_;
  SavedVariable savedHome_;
};

TEST_F(ConfigInteropTest, TrustOptionsSendThePasswordOnlyWhereSshWould) {
  RunRows(sim_server_, false);
}

TEST_F(ConfigInteropTest, TrustOptionsAgainstOpenSshsSshd) {
  if (geteuid() != 0) GTEST_SKIP() << "sshd needs root";
  Server sshd;
  ASSERT_TRUE(StartSshd(&sshd));
  RunRows(sshd, true);
}

// A router that takes the password only by keyboard-interactive: the
// switch for that way (and its old spelling) keeps the password home, the
// password method's switch does not.
TEST_F(ConfigInteropTest, KeyboardInteractiveIsExcludedByItsOwnSwitch) {
  Server server;
  ASSERT_TRUE(StartSimulator("interactive", {"--keyboard-interactive"}, &interactiveSim_, &server));
  const struct {
    const char* line;
    bool sent;
  } kCases[] = {
      {"KbdInteractiveAuthentication no", false},
      {"ChallengeResponseAuthentication no", false},
      {"PasswordAuthentication no", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(
        WriteFile(home_ + "/.ssh/config",
                  Expand(std::string("Host r1\n HostName 127.0.0.1\n Port {P}\n ") + c.line + "\n",
                         server.port)));
    ASSERT_TRUE(WriteFile(home_ + "/.ssh/known_hosts", Expand(kKnown, server.port)));
    std::string messages;
    EXPECT_STREQ(Name(AskSsh(server, "r1", &messages, "")),
                 Name(c.sent ? SshSays::kPassword : SshSays::kNoPassword))
        << messages;
    const Attempt attempt = Connect(server, "r1", 0, server.user);
    EXPECT_EQ(server.sawPassword(attempt.seen), c.sent);
    if (!c.sent) {
      EXPECT_EQ(attempt.failure, SshFailure::kAuthenticationRefused);
      EXPECT_EQ(attempt.reason,
                "the password was not sent: the SSH configuration excludes "
                "keyboard-interactive by " +
                    std::string(c.line) + " at " + home_ + "/.ssh/config:4.");
    }
  }
}

// Under HostKeyAlias both clients record an unknown router by the alias
// alone, the same line.
TEST_F(ConfigInteropTest, HostKeyAliasIsRecordedAsSshRecordsIt) {
  ASSERT_TRUE(WriteFile(home_ + "/.ssh/config",
                        Expand("Host r1\n HostName 127.0.0.1\n Port {P}\n HostKeyAlias Router1\n"
                               " HashKnownHosts no\n")));
  const std::string file = home_ + "/.ssh/known_hosts";
  std::string messages;
  AskSsh("r1", &messages, "-o StrictHostKeyChecking=accept-new");
  const std::string bySsh = ReadAll(file);
  ASSERT_EQ(unlink(file.c_str()), 0);
  SshConnectOptions options = {};
  options.size = sizeof options;
  std::strcpy(options.remoteCommand, "/system reboot");
  const SshClient client =
      SshConnectA("r1", 0, user_.c_str(), password_.c_str(), 20, 512, &options, nullptr);
  ASSERT_NE(client, kInvalidClient);
  SshDisconnect(client);
  EXPECT_EQ(ReadAll(file), bySsh);
  EXPECT_EQ(bySsh.rfind("router1 ssh-ed25519 ", 0), 0u) << bySsh;
}

// An empty user is the configuration's User, else this process's user, as
// ssh takes it; a name the SSH library refuses gets a reason of our own.
TEST_F(ConfigInteropTest, UserAsSshFindsIt) {
  ASSERT_TRUE(
      WriteFile(home_ + "/.ssh/config", Expand("Host r1\n HostName 127.0.0.1\n Port {P}\n")));
  Attempt attempt = Connect(sim_server_, "r1", 0, "");
  const std::string local = getpwuid(geteuid()) != nullptr ? getpwuid(geteuid())->pw_name : "";
  EXPECT_EQ(JsonField(attempt.seen, "user"), local) << attempt.seen << attempt.reason;

  ASSERT_TRUE(WriteFile(home_ + "/.ssh/config",
                        Expand("Host r1\n HostName 127.0.0.1\n Port {P}\n User admin\n")));
  attempt = Connect(sim_server_, "r1", 0, "");
  EXPECT_EQ(attempt.failure, SshFailure::kNone) << attempt.reason;
  EXPECT_EQ(JsonField(attempt.seen, "user"), "admin") << attempt.seen;

  // ssh would try each of these; the SSH library refuses them, and nothing
  // reaches the router.
  for (const char* name : {"a;b", "-l", "a\\b", "$(x)", "a b'c"}) {
    SCOPED_TRACE(name);
    attempt = Connect(sim_server_, "r1", 0, name, 300);
    EXPECT_EQ(attempt.failure, SshFailure::kOther);
    EXPECT_EQ(attempt.seen, "");
    EXPECT_EQ(attempt.reason,
              "the user name \"" + std::string(name) +
                  "\" cannot be used: this program's SSH library refuses a name that starts "
                  "with - or holds any of \" $ & ' ( ) , ; < > \\ ` { | }.");
  }
}

}  // namespace

namespace {

// Nothing is made that ssh would not make: a missing home stays missing,
// and the SSH folder is made only where accept-new records a router.
TEST_F(ConfigInteropTest, NothingIsCreatedThatSshWouldNotCreate) {
  SshConnectOptions options = {};
  options.size = sizeof options;
  std::strcpy(options.remoteCommand, "/system reboot");
  const auto run = [&] {
    const SshClient client = SshConnectA("127.0.0.1", port_, user_.c_str(), password_.c_str(), 20,
                                         512, &options, nullptr);
    EXPECT_NE(client, kInvalidClient);
    if (client != kInvalidClient) SshDisconnect(client);
  };
  const std::string missing = dir_ + "/no_home";
  setenv("HOME", missing.c_str(), 1);
  run();
  struct stat info;
  EXPECT_NE(stat(missing.c_str(), &info), 0);

  const std::string bare = dir_ + "/bare_home";
  ASSERT_EQ(mkdir(bare.c_str(), 0700), 0);
  setenv("HOME", bare.c_str(), 1);
  if (ownEtc_) {
    ASSERT_TRUE(WriteFile(dir_ + "/etc_ssh/ssh_config", "StrictHostKeyChecking no\n"));
    run();
    EXPECT_EQ(ListDir(bare), std::vector<std::string>{});
    ASSERT_EQ(unlink((dir_ + "/etc_ssh/ssh_config").c_str()), 0);
  }
  run();
  EXPECT_EQ(ListDir(bare + "/.ssh"), std::vector<std::string>{"known_hosts"});
  ASSERT_EQ(stat((bare + "/.ssh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace

namespace {

// The keyword table is OpenSSH's own: ssh takes every keyword of it (a bad
// value is another matter), and every option `ssh -G` prints is in it.
TEST(SshKeywordTableTest, EveryKeywordIsOneSshKnowsAndSshKnowsNoOther) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string file = dir + "/config";
  const std::string out = dir + "/out";
  size_t count = 0;
  const SshOption* options = SshOptions(&count);
  std::vector<std::string> known;
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(options[i].keyword);
    std::string lower;
    for (const char* c = options[i].keyword; *c != '\0'; ++c) {
      lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
    }
    known.push_back(lower);
    ASSERT_TRUE(WriteFile(file, std::string("Host zz\n ") + options[i].keyword + " x\n"));
    Shell("ssh -G -F " + file + " zz >/dev/null 2>" + out);
    EXPECT_EQ(ReadAll(out).find("Bad configuration option"), std::string::npos) << ReadAll(out);
  }
  // Where the table lists the values ssh takes, ssh takes them all (in
  // any case) and refuses another, and so does the parser.
  const auto sshTakes = [&](const std::string& line) {
    if (!WriteFile(file, "Host zz\n " + line + "\n")) return false;
    // A command, as ForkAfterAuthentication wants one.
    return Shell("ssh -G -F " + file + " zz true >/dev/null 2>" + out) == 0;
  };
  const auto parserTakes = [](const std::string& line) {
    SshConfigTarget target;
    target.host = "zz";
    return ParseSshConfig({"/c", true, "Host other\n " + line + "\n"}, {"/s", true, ""}, target,
                          nullptr)
        .error.empty();
  };
  for (size_t i = 0; i < count; ++i) {
    if (options[i].values == nullptr) continue;
    const std::string kind = options[i].values;
    const std::vector<std::string> good =
        kind == "flag"    ? std::vector<std::string>{"yes", "No", "TRUE", "false"}
        : kind == "int"   ? std::vector<std::string>{"0", "7"}
        : kind == "count" ? std::vector<std::string>{"1", "7"}
        : kind == "time"  ? std::vector<std::string>{"90", "1h30m", "2W", "none"}
                          : std::vector<std::string>{};
    std::vector<std::string> values = good;
    if (values.empty()) {
      std::istringstream words(kind);
      for (std::string word; std::getline(words, word, '|');) values.push_back(word);
      values.push_back(values.back());
      for (char& c : values.back()) c = static_cast<char>(std::toupper(c));
    }
    for (const std::string& value : values) {
      const std::string line = std::string(options[i].keyword) + " " + value;
      SCOPED_TRACE(line);
      EXPECT_TRUE(sshTakes(line)) << ReadAll(out);
      EXPECT_TRUE(parserTakes(line));
    }
    const std::string bad = std::string(options[i].keyword) + (kind == "count" ? " 0" : " 5x");
    SCOPED_TRACE(bad);
    EXPECT_FALSE(sshTakes(bad));
    EXPECT_FALSE(parserTakes(bad));
  }

  // The check itself sees a keyword ssh does not know.
  ASSERT_TRUE(WriteFile(file, "Host zz\n Hots x\n"));
  Shell("ssh -G -F " + file + " zz >/dev/null 2>" + out);
  EXPECT_NE(ReadAll(out).find("Bad configuration option"), std::string::npos);

  ASSERT_EQ(Shell("ssh -G -F /dev/null zz >" + out + " 2>/dev/null"), 0);
  std::istringstream printed(ReadAll(out));
  int lines = 0;
  for (std::string line; std::getline(printed, line); ++lines) {
    // ssh prints one of them in mixed case (canonicalizePermittedcnames).
    std::string keyword = line.substr(0, line.find(' '));
    for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(std::find(known.begin(), known.end(), keyword), known.end()) << keyword;
  }
  EXPECT_GT(lines, 50);
  RemoveTree(dir);
}

}  // namespace
