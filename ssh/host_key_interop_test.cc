// known_hosts forms against real servers, each judged beside OpenSSH's own
// client on the same files. Every row runs against the router simulator;
// rows marked for it also against OpenSSH's sshd (root only: a throwaway
// user). Both servers use one ed25519 host key, so a row's text means the
// same for both.
//
// How the two verdicts are compared. ssh runs with StrictHostKeyChecking=yes
// and BatchMode=yes and its messages are sorted into three answers:
//   - accepted: no "Host key verification failed." (it went on to
//     authentication);
//   - contradicted: verification failed because the file speaks against
//     the key (REMOTE HOST IDENTIFICATION HAS CHANGED, REVOKED HOST KEY);
//   - not known: verification failed with "No ... host key is known ...":
//     strict checking refuses a host the file does not vouch for.
// swKicker accepts an unknown host (and records it), so "not known" alone says
// nothing about it. The rules: wherever ssh answers "contradicted",
// swKicker refuses and the server saw no password. swKicker may refuse more
// than that (a host named only with keys of other types or by a
// @cert-authority line, a revoked key under any name, a line it cannot
// read), never less. Each row also states both answers, so a form that
// does not test what its name says fails.
//
// The global file is /etc/ssh/ssh_known_hosts, the path swKicker reads: as
// root the test runs in a private mount namespace with a folder of its own
// bound over /etc/ssh, which no other process sees. Without root the rows
// that need it are left out.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ssh/ssh_library.h"
#include "testing/test_process.h"
#include "testing/test_servers.h"

namespace {

const char kSshd[] = "/usr/sbin/sshd";
const char kEtcSsh[] = "/etc/ssh";
const char kGlobalFile[] = "/etc/ssh/ssh_known_hosts";

enum class SshSays { kAccepted, kContradicted, kNotKnown };

const char* Name(SshSays says) {
  switch (says) {
    case SshSays::kAccepted: return "accepted";
    case SshSays::kContradicted: return "contradicted";
    case SshSays::kNotKnown: return "not known";
  }
  return "?";
}

struct Form {
  const char* name;
  // Texts of the user's and the global file. {H} is the server's name as
  // known_hosts writes it ([127.0.0.1]:PORT), {P1} the next port, {Sk} the
  // server's key, {Ok} another ed25519 key, {Ek} an ecdsa key (base64).
  std::string user;
  std::string global;
  bool hashed;  // the user's file is hashed by ssh-keygen -H first
  SshSays ssh;
  bool accepted;    // swKicker's answer
  bool inGlobal;    // the refusal names the global file, else the user's
  int line;         // and this line
  bool alsoOnSshd;
};

const std::vector<Form>& Forms() {
  using S = SshSays;
  static const std::vector<Form> kForms = {
      {"TAB between the fields, another key", "{H}\tssh-ed25519\t{Ok}\n", "", false,
       S::kContradicted, false, false, 1, true},
      {"a key of another type on a CR LF line", "{H} ecdsa-sha2-nistp256 {Ek}\r\n", "", false,
       S::kContradicted, false, false, 1, true},
      {"the same key on a CR LF line", "{H} ssh-ed25519 {Sk}\r\n", "", false, S::kAccepted, true,
       false, 0, true},
      {"@revoked with the server's own key", "@revoked * ssh-ed25519 {Sk}\n{H} ssh-ed25519 {Sk}\n",
       "", false, S::kContradicted, false, false, 1, true},
      {"@revoked with the server's key under another name",
       "@revoked other.example ssh-ed25519 {Sk}\n", "", false, S::kNotKnown, false, false, 1,
       false},
      {"hashed name, another key", "{H} ssh-ed25519 {Ok}\n", "", true, S::kContradicted, false,
       false, 1, true},
      {"hashed name, the same key", "{H} ssh-ed25519 {Sk}\n", "", true, S::kAccepted, true, false,
       0, false},
      {"wildcards", "[127.0.0.?]:* ssh-ed25519 {Ok}\n", "", false, S::kContradicted, false,
       false, 1, false},
      {"negation cancels the line", "[127.0.0.*]:*,!{H} ssh-ed25519 {Ok}\n", "", false,
       S::kNotKnown, true, false, 0, false},
      {"comma list", "router.example,{H} ssh-ed25519 {Ok}\n", "", false, S::kContradicted, false,
       false, 1, false},
      {"listed for another port, and bare for port 22",
       "[127.0.0.1]:{P1} ssh-ed25519 {Ok}\n127.0.0.1 ssh-ed25519 {Ok}\n", "", false,
       S::kNotKnown, true, false, 0, false},
      {"global file only", "", "{H} ssh-ed25519 {Ok}\n", false, S::kContradicted, false, true, 1,
       true},
      {"garbage key on a line naming the host", "{H} ssh-ed25519 AAAAC3Nz!!garbage\n"
       "{H} ssh-ed25519 {Sk}\n", "", false, S::kAccepted, false, false, 1, true},
      {"@cert-authority naming the host", "@cert-authority [127.0.0.1]:* ssh-ed25519 {Ok}\n", "",
       false, S::kNotKnown, false, false, 1, false},
      {"several entries, one with the key",
       "{H} ecdsa-sha2-nistp256 {Ek}\n{H} ssh-ed25519 {Ok}\n{H} ssh-ed25519 {Sk}\n", "", false,
       S::kAccepted, true, false, 0, false},
      {"several entries, none with the key",
       "{H} ecdsa-sha2-nistp256 {Ek}\n{H} ssh-ed25519 {Ok}\n", "", false, S::kContradicted, false,
       false, 2, false},
      {"comments, blank lines and leading blanks", "# routers\r\n\n \t{H} ssh-ed25519 {Ok}\n", "",
       false, S::kContradicted, false, false, 3, false},
      {"nothing listed", "", "", false, S::kNotKnown, true, false, 0, true},
  };
  return kForms;
}

// Where the server tells what it saw of one connection.
struct Server {
  int port = -1;
  std::string user;
  std::string password;
  // The server's record of everything after the mark; marks are taken
  // before each client runs.
  std::function<size_t()> mark;
  std::function<std::string(size_t mark)> seenSince;
  std::function<bool(const std::string&)> sawPassword;
};

class HostKeyInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    home_ = dir_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
    SaveVariable("HOME", &savedHome_);
    setenv("HOME", home_.c_str(), 1);
    userFile_ = home_ + "/.ssh/known_hosts";
    globalFile_ = dir_ + "/etc_ssh/ssh_known_hosts";
    ASSERT_EQ(mkdir((dir_ + "/etc_ssh").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(globalFile_, ""));
    ownGlobal_ = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                 mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
                 mount((dir_ + "/etc_ssh").c_str(), kEtcSsh, "none", MS_BIND, nullptr) == 0;
    if (ownGlobal_) globalFile_ = kGlobalFile;
    for (const char* key : {"host_key -t ed25519", "other_key -t ed25519", "ecdsa_key -t ecdsa"}) {
      ASSERT_EQ(Shell("ssh-keygen -q -N '' -C '' -f " + dir_ + "/" + key), 0);
    }
    ASSERT_NE(SshInitializeA("", nullptr), 0);
    initialized_ = true;
  }

  void TearDown() override {
    if (initialized_) SshUninitialize();
    StopChild(&sim_);
    StopChild(&sshd_);
    RemoveThrowawayUser(&sshdUser_);
    if (ownGlobal_) umount2(kEtcSsh, MNT_DETACH);
    RestoreVariable(&savedHome_);
    RemoveTree(dir_);
  }

  bool StartSimulator(Server* server) {
    const std::string log = dir_ + "/sim.log";
    std::string line;
    if (!StartChild({SWK_ROUTER_SIM, "--host-key", dir_ + "/host_key", "--log", log,
                     "--lifetime", "600", "--connection-seconds", "30"},
                    &sim_) ||
        !ReadChildLine(&sim_, 10000, &line)) {
      return false;
    }
    server->port = std::atoi(line.c_str());
    server->user = "admin";
    server->password = "secret";
    // One JSON line per connection, written when it ends.
    server->mark = [log] { return WaitForLines(log, 0, 0).size(); };
    server->seenSince = [log](size_t mark) {
      const std::vector<std::string> lines = WaitForLines(log, mark + 1, 15000);
      return lines.size() == mark + 1 ? lines.back() : std::string("<no log line>");
    };
    server->sawPassword = [](const std::string& seen) {
      return JsonField(seen, "password_attempts") != "0" || JsonField(seen, "password") != "null";
    };
    return server->port > 0;
  }

  bool StartSshd(Server* server, const std::string& extraConfig = "") {
    server->password = "Kick-7 pass";
    if (!AddThrowawayUser("swkhk", dir_, server->password, &sshdUser_)) return false;
    server->user = sshdUser_.name;
    const std::string log = dir_ + "/sshd.log";
    server->port = ::StartSshd(dir_, sshdUser_.name, "/bin/true",
                               "LogLevel DEBUG1\n"
                               "PubkeyAuthentication no\n" + extraConfig,
                               log, &sshd_);
    // sshd logs each connection, through its end, in its own log.
    server->mark = [log] { return ReadAll(log).size(); };
    server->seenSince = [log](size_t mark) { return SshdLogSince(log, mark, 10000); };
    server->sawPassword = SshdSawPassword;
    return server->port > 0;
  }

  std::string Expand(std::string text, int port) {
    ReplaceAll(&text, "{H}", "[127.0.0.1]:" + std::to_string(port));
    ReplaceAll(&text, "{P1}", std::to_string(port + 1));
    ReplaceAll(&text, "{Sk}", PublicBase64(dir_ + "/host_key.pub"));
    ReplaceAll(&text, "{Ok}", PublicBase64(dir_ + "/other_key.pub"));
    ReplaceAll(&text, "{Ek}", PublicBase64(dir_ + "/ecdsa_key.pub"));
    return text;
  }

  // OpenSSH's client on the same files.
  SshSays AskSsh(const Server& server, std::string* messages,
                 const std::string& address = "127.0.0.1") {
    const std::string out = dir_ + "/ssh.out";
    Shell("ssh -F /dev/null -o StrictHostKeyChecking=yes -o BatchMode=yes"
          " -o PubkeyAuthentication=no -o ConnectTimeout=10 -o UserKnownHostsFile=" +
          userFile_ + " -o GlobalKnownHostsFile=" + globalFile_ + " -p " +
          std::to_string(server.port) + " " + server.user + "@" + address +
          " true </dev/null >" +
          out + " 2>&1");
    *messages = ReadAll(out);
    if (messages->find("Host key verification failed.") == std::string::npos) {
      return SshSays::kAccepted;
    }
    if (messages->find("host key is known for") != std::string::npos &&
        messages->find("HAS CHANGED") == std::string::npos &&
        messages->find("REVOKED") == std::string::npos) {
      return SshSays::kNotKnown;
    }
    return SshSays::kContradicted;
  }

  void RunForms(const Server& server, bool sshdRowsOnly) {
    SshConnectOptions options = {};
    options.size = sizeof options;
    std::strcpy(options.remoteCommand, "/system reboot");
    for (const Form& form : Forms()) {
      if (sshdRowsOnly && !form.alsoOnSshd) continue;
      SCOPED_TRACE(form.name);
      if (!form.global.empty() && !ownGlobal_) {
        std::printf("left out without root: %s\n", form.name);
        continue;
      }
      ASSERT_TRUE(WriteFile(userFile_, Expand(form.user, server.port)));
      ASSERT_TRUE(WriteFile(globalFile_, Expand(form.global, server.port)));
      if (form.hashed) {
        ASSERT_EQ(Shell("ssh-keygen -q -H -f " + userFile_ + " >/dev/null 2>&1"), 0);
        ASSERT_EQ(unlink((userFile_ + ".old").c_str()), 0);
      }

      std::string messages;
      size_t mark = server.mark();
      const SshSays ssh = AskSsh(server, &messages);
      EXPECT_EQ(Name(ssh), Name(form.ssh)) << messages;
      const std::string sshSeen = server.seenSince(mark);
      if (ssh != SshSays::kAccepted) {
        EXPECT_FALSE(server.sawPassword(sshSeen)) << sshSeen;
      }

      mark = server.mark();
      const SshClient client =
          SshConnectA("127.0.0.1", server.port, server.user.c_str(), server.password.c_str(), 20,
                      512, &options, nullptr);
      const bool accepted = client != kInvalidClient;
      char reason[512];
      const bool refusedForKey =
          SshGetLastError(reason, sizeof reason) == SshFailure::kHostKeyRefused;
      if (accepted) SshDisconnect(client);
      const std::string seen = server.seenSince(mark);

      // Never accepted where ssh finds the key contradicted.
      if (ssh == SshSays::kContradicted) {
        EXPECT_FALSE(accepted);
      }
      EXPECT_EQ(accepted, form.accepted);
      if (accepted) {
        EXPECT_TRUE(server.sawPassword(seen)) << seen;
        EXPECT_FALSE(refusedForKey) << reason;
      } else {
        EXPECT_FALSE(server.sawPassword(seen)) << seen;
        EXPECT_TRUE(refusedForKey);
        // The file and line; a changed key goes on with the key the router
        // showed and the ssh-keygen line.
        const std::string where = std::string(form.inGlobal ? globalFile_ : userFile_) +
                                  " line " + std::to_string(form.line);
        const std::string text = reason;
        const size_t at = text.find(where);
        ASSERT_NE(at, std::string::npos) << text;
        const std::string after = text.substr(at + where.size());
        EXPECT_TRUE(after == "." || after.rfind("; the router showed ", 0) == 0) << text;
      }
      // No file but known_hosts is written (an unknown router is recorded there).
      EXPECT_EQ(ListDir(home_ + "/.ssh"), std::vector<std::string>{"known_hosts"});
    }
  }

  // known_hosts lists another key for [127.0.0.1]:PORT; the router is
  // named by each spelling of an address the resolver reads. Where ssh finds
  // the key changed, swKicker refuses and no password leaves; where ssh
  // knows no key (its form of the name is not listed), swKicker accepts an
  // unknown host as documented.
  void RunSpellings(const Server& server) {
    SshConnectOptions options = {};
    options.size = sizeof options;
    std::strcpy(options.remoteCommand, "/system reboot");
    const struct {
      const char* address;
      SshSays ssh;
    } kSpellings[] = {
        {"127.0.0.1", SshSays::kContradicted},
        {"127.1", SshSays::kContradicted},
        {"2130706433", SshSays::kContradicted},
        {"0x7f.0.0.1", SshSays::kContradicted},
        {"0177.0.0.1", SshSays::kContradicted},
        {"127.000.000.001", SshSays::kContradicted},
        {"0x7F000001", SshSays::kContradicted},
        // OpenSSH's form of it is ::ffff:127.0.0.1, which is not listed.
        {"::ffff:7f00:1", SshSays::kNotKnown},
    };
    ASSERT_TRUE(WriteFile(userFile_, Expand("{H} ssh-ed25519 {Ok}\n", server.port)));
    ASSERT_TRUE(WriteFile(globalFile_, ""));
    for (const auto& c : kSpellings) {
      SCOPED_TRACE(c.address);
      std::string messages;
      size_t mark = server.mark();
      const SshSays ssh = AskSsh(server, &messages, c.address);
      EXPECT_EQ(Name(ssh), Name(c.ssh)) << messages;
      // ssh's own connection is logged when it ends: wait for it, so that
      // the next mark counts it.
      server.seenSince(mark);
      mark = server.mark();
      const SshClient client = SshConnectA(c.address, server.port, server.user.c_str(),
                                           server.password.c_str(), 20, 512, &options, nullptr);
      char reason[512];
      const SshFailure failure = SshGetLastError(reason, sizeof reason);
      if (client != kInvalidClient) SshDisconnect(client);
      const std::string seen = server.seenSince(mark);
      if (ssh == SshSays::kContradicted) {
        EXPECT_EQ(client, kInvalidClient);
        EXPECT_EQ(failure, SshFailure::kHostKeyRefused) << reason;
        EXPECT_FALSE(server.sawPassword(seen)) << seen;
      } else {
        EXPECT_NE(client, kInvalidClient) << reason;
        EXPECT_TRUE(server.sawPassword(seen)) << seen;
      }
    }
  }

  // The server shows an ed25519 and an ECDSA key; the file lists a stale
  // ECDSA key first, then the right ed25519 key. ssh prefers ed25519 and
  // accepts; so must swKicker, whatever the order of the lines.
  void RunKeyTypeOrder(const Server& server) {
    ASSERT_EQ(Shell("ssh-keygen -q -N '' -C '' -t ecdsa -f " + dir_ + "/stale_ecdsa_key"), 0);
    const std::string stale = PublicBase64(dir_ + "/stale_ecdsa_key.pub");
    ASSERT_TRUE(WriteFile(userFile_, Expand("{H} ecdsa-sha2-nistp256 " + stale +
                                                "\n{H} ssh-ed25519 {Sk}\n",
                                            server.port)));
    ASSERT_TRUE(WriteFile(globalFile_, ""));
    std::string messages;
    size_t mark = server.mark();
    EXPECT_EQ(Name(AskSsh(server, &messages)), Name(SshSays::kAccepted)) << messages;
    server.seenSince(mark);
    SshConnectOptions options = {};
    options.size = sizeof options;
    std::strcpy(options.remoteCommand, "/system reboot");
    mark = server.mark();
    const SshClient client = SshConnectA("127.0.0.1", server.port, server.user.c_str(),
                                         server.password.c_str(), 20, 512, &options, nullptr);
    char reason[512];
    SshGetLastError(reason, sizeof reason);
    EXPECT_NE(client, kInvalidClient) << reason;
    if (client != kInvalidClient) SshDisconnect(client);
    EXPECT_TRUE(server.sawPassword(server.seenSince(mark)));
  }

  std::string dir_;
  std::string home_;
  std::string userFile_;
  std::string globalFile_;
  bool ownGlobal_ = false;
  bool initialized_ = false;
  SavedVariable savedHome_;
  ThrowawayUser sshdUser_;
  Child sim_;
  Child sshd_;
};

TEST_F(HostKeyInteropTest, SimulatorNeverGetsThePasswordWhereSshFindsTheKeyContradicted) {
  Server server;
  ASSERT_TRUE(StartSimulator(&server));
  RunForms(server, false);
}

TEST_F(HostKeyInteropTest, SshdNeverGetsThePasswordWhereSshFindsTheKeyContradicted) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user and run sshd";
  if (access(kSshd, X_OK) != 0) GTEST_SKIP() << kSshd << " is not installed";
  Server server;
  ASSERT_TRUE(StartSshd(&server));
  RunForms(server, true);
}

TEST_F(HostKeyInteropTest, SimulatorNamedByAnySpellingOfItsAddressIsJudgedAsSshJudgesIt) {
  Server server;
  ASSERT_TRUE(StartSimulator(&server));
  RunSpellings(server);
}

TEST_F(HostKeyInteropTest, SshdNamedByAnySpellingOfItsAddressIsJudgedAsSshJudgesIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user and run sshd";
  if (access(kSshd, X_OK) != 0) GTEST_SKIP() << kSshd << " is not installed";
  Server server;
  ASSERT_TRUE(StartSshd(&server));
  RunSpellings(server);
}

TEST_F(HostKeyInteropTest, SshdWithSeveralHostKeysShowsTheOneOpenSshPrefers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user and run sshd";
  if (access(kSshd, X_OK) != 0) GTEST_SKIP() << kSshd << " is not installed";
  Server server;
  ASSERT_TRUE(StartSshd(&server, "HostKey " + dir_ + "/ecdsa_key\n"));
  RunKeyTypeOrder(server);
}

}  // namespace
