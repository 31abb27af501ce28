// Old routers and the admin's OpenSSH client configuration, against OpenSSH's
// sshd set to old routers' servers, each judged beside OpenSSH's own client
// on the same configuration file: swKicker must reach exactly the routers
// ssh reaches. Needs root (a throwaway user, sshd, and a private
// /etc/ssh/ssh_config); skipped otherwise.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/reboot_console.h"
#include "ssh/ssh_library.h"
#include "testing/forced_command_router.h"
#include "testing/memory_screen.h"

namespace {

const char kSshd[] = "/usr/sbin/sshd";

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
    text->replace(at, from.size(), to);
    at += to.size();
  }
}

class OldRouterTest : public ForcedCommandRouterTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to add a user and run sshd";
    if (access(kSshd, X_OK) != 0) GTEST_SKIP() << kSshd << " is not installed";
    ASSERT_NO_FATAL_FAILURE(PrepareRouter("swkold"));
    unsetenv("SSH_AUTH_SOCK");
    ASSERT_EQ(mkdir((home_ + "/.ssh").c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(dir_ + "/authorized_keys", ""));
    StartLibrary();
  }

  // sshd with a host key of keyType ("rsa", "dsa", "ed25519") and the lines
  // of profile; on port when given, else a free one.
  bool StartRouter(const std::string& keyType, const std::string& profile, int port = 0) {
    StopChild(&server_);
    unlink((dir_ + "/host_key").c_str());
    unlink((dir_ + "/host_key.pub").c_str());
    if (Shell("ssh-keygen -q -N '' -C '' -t " + keyType + " -f " + dir_ + "/host_key") != 0) {
      return false;
    }
    const std::string extra = "PubkeyAuthentication yes\n"
                              "AuthorizedKeysFile " + dir_ + "/authorized_keys\n"
                              "MaxStartups 100\n" + profile;
    if (port == 0) {
      port_ = StartSshd(dir_, user_.name, dir_ + "/ask.sh", extra, dir_ + "/sshd.log", &server_);
      return port_ > 0;
    }
    // The same address and port as before: the config file names it.
    if (!StartChild({kSshd, "-D", "-E", dir_ + "/sshd.log", "-f", dir_ + "/sshd_config"},
                    &server_)) {
      return false;
    }
    for (int wait = 0; wait < 100 && !Listening(port); ++wait) usleep(100000);
    return Listening(port);
  }

  std::string Expand(std::string text) const {
    ReplaceAll(&text, "{PORT}", std::to_string(port_));
    ReplaceAll(&text, "{USER}", user_.name);
    ReplaceAll(&text, "{HOME}", home_);
    return text;
  }

  // swKicker through the session, as the program runs it: its result and
  // its reason line.
  SshFailure Kick(const std::string& user, const std::string& password, const std::string& port,
                  const std::string& ip, std::string* reason) {
    MemoryScreenReset(2000, 25);
    const SshFailure result = RunRebootSession(user, password, port, "n", ip);
    reason->clear();
    for (const std::string& line : MemoryScreenLines()) {
      if (line.rfind("Reason: ", 0) == 0) *reason = line.substr(8);
    }
    return result;
  }

  // OpenSSH's client on the configuration file alone (ssh -F), the user's
  // file followed by the machine's; the router is unknown to it as well.
  // ssh finds its default keys through the passwd entry, not HOME: it is
  // given the test's id_rsa (when there is one) instead.
  bool SshReaches(const std::string& userConfig, const std::string& systemConfig,
                  const std::string& destination, const std::string& password) {
    const std::string file = dir_ + "/ssh_client_config";
    // A block of the first file must not run on into the second.
    if (!WriteFile(file, userConfig + "\nMatch all\n" + systemConfig)) return false;
    unlink((dir_ + "/ssh_known_hosts").c_str());
    const int status = Shell("echo y | sshpass -p '" + password + "' ssh -F " + file +
                             " -o UserKnownHostsFile=" + dir_ + "/ssh_known_hosts"
                             " -o GlobalKnownHostsFile=/dev/null"
                             " -o StrictHostKeyChecking=accept-new -T -o ConnectTimeout=10"
                             " -i " + home_ + "/.ssh/id_rsa " +
                             destination + " >" + dir_ + "/ssh.out 2>&1");
    return status == 0;
  }

  void WriteConfigs(const std::string& userConfig, const std::string& systemConfig) {
    ASSERT_TRUE(WriteFile(home_ + "/.ssh/config", userConfig));
    ASSERT_TRUE(WriteFile(systemConfig_, systemConfig));
  }
};

// The lines a reason asks to add: "... add to ~/.ssh/config: Host X / A / B".
std::string LinesFromReason(const std::string& reason) {
  const std::string marker = "add to ~/.ssh/config: ";
  const size_t at = reason.find(marker);
  if (at == std::string::npos) return std::string();
  std::string lines = reason.substr(at + marker.size());
  if (!lines.empty() && lines.back() == '.') lines.pop_back();
  ReplaceAll(&lines, " / ", "\n");
  return lines + "\n";
}

// The old routers' servers, each tried with no configuration and then with
// the lines of swKicker's own reason (or, for the user key, the line ssh's
// users add), beside ssh on the same file. The table is printed as found.
TEST_F(OldRouterTest, ReachesExactlyTheOldRoutersSshReachesWithTheSameFile) {
  struct Profile {
    const char* name;
    const char* keyType;
    const char* sshd;
    // The user key rows: an RSA key the router takes only as ssh-rsa, and a
    // wrong password, so that only the key can let the user in.
    bool userKey;
    // The lines tried second when they are not swKicker's own reason's.
    const char* fixedLines;
    bool reachedWithLines;
  };
  const Profile kProfiles[] = {
      {"host key ssh-rsa", "rsa", "HostKeyAlgorithms ssh-rsa\n", false, nullptr, true},
      {"+ kex diffie-hellman-group14-sha1", "rsa",
       "HostKeyAlgorithms ssh-rsa\nKexAlgorithms diffie-hellman-group14-sha1\n", false, nullptr,
       true},
      {"+ kex diffie-hellman-group1-sha1, aes128-cbc, hmac-sha1", "rsa",
       "HostKeyAlgorithms ssh-rsa\nKexAlgorithms diffie-hellman-group1-sha1\n"
       "Ciphers aes128-cbc\nMACs hmac-sha1\n",
       false, nullptr, true},
      {"+ kex diffie-hellman-group-exchange-sha1", "rsa",
       "HostKeyAlgorithms ssh-rsa\nKexAlgorithms diffie-hellman-group-exchange-sha1\n", false,
       nullptr, true},
      // Debian's libssh is built without DSA: swKicker names that, and
      // ssh's own line reaches the router where swKicker cannot.
      {"host key ssh-dss", "dsa", "HostKeyAlgorithms ssh-dss\n", false,
       "Host 127.0.0.1\nHostKeyAlgorithms +ssh-dss\n", false},
      // sshd announces the SHA-2 signatures (server-sig-algs), so both
      // clients sign with those while they are allowed, and are refused.
      {"RSA user key accepted only as ssh-rsa, + form", "ed25519",
       "PubkeyAcceptedAlgorithms ssh-rsa\n", true,
       "Host 127.0.0.1\nPubkeyAcceptedAlgorithms +ssh-rsa\n", false},
      {"RSA user key accepted only as ssh-rsa, ssh-rsa alone", "ed25519",
       "PubkeyAcceptedAlgorithms ssh-rsa\n", true,
       "Host 127.0.0.1\nPubkeyAcceptedAlgorithms ssh-rsa\n", true},
  };
  ASSERT_EQ(Shell("ssh-keygen -q -N '' -C '' -t rsa -b 2048 -f " + home_ + "/.ssh/id_rsa"), 0);
  ASSERT_EQ(Shell("cp " + home_ + "/.ssh/id_rsa.pub " + dir_ + "/authorized_keys"), 0);
  std::string table =
      "| sshd offers only | ssh, no config | swKicker, no config | lines | ssh with them | "
      "swKicker with them |\n";
  for (const Profile& profile : kProfiles) {
    SCOPED_TRACE(profile.name);
    ASSERT_TRUE(StartRouter(profile.keyType, profile.sshd));
    const std::string password = profile.userKey ? "wrong" : kRouterPassword;
    const std::string destination = "-p " + std::to_string(port_) + " " + user_.name +
                                    "@127.0.0.1";
    WriteConfigs("", "");
    unlink((home_ + "/.ssh/known_hosts").c_str());
    std::string reason;
    const SshFailure before = Kick(user_.name, password, std::to_string(port_), "127.0.0.1",
                                   &reason);
    const bool sshBefore = SshReaches("", "", destination, password);
    EXPECT_EQ(before == SshFailure::kNone, sshBefore) << reason;
    const std::string lines =
        profile.fixedLines != nullptr ? profile.fixedLines : LinesFromReason(reason);
    if (!profile.userKey) {
      EXPECT_EQ(before, SshFailure::kNoSharedAlgorithm) << reason;
      EXPECT_NE(lines, "") << reason;
    }
    if (std::string(profile.keyType) == "dsa") {
      EXPECT_EQ(reason,
                "the router offers only host key types (ssh-dss) that this program's SSH "
                "library cannot use.");
    }

    WriteConfigs(lines, "");
    std::string reasonAfter;
    const SshFailure after = Kick(user_.name, password, std::to_string(port_), "127.0.0.1",
                                  &reasonAfter);
    const bool sshAfter = SshReaches(lines, "", destination, password);
    EXPECT_EQ(after == SshFailure::kNone, profile.reachedWithLines) << reasonAfter;
    // ssh reaches the DSA router that this build's library cannot.
    EXPECT_EQ(sshAfter, profile.reachedWithLines || std::string(profile.keyType) == "dsa")
        << ReadAll(dir_ + "/ssh.out");

    std::string shownLines = lines.substr(0, lines.size() - 1);
    ReplaceAll(&shownLines, "\n", " / ");
    const auto mark = [](bool reached) { return reached ? "reached" : "refused"; };
    table += std::string("| ") + profile.name + " | " + mark(sshBefore) + " | " +
             mark(before == SshFailure::kNone) + (before == SshFailure::kNone ? "" : " (") +
             (before == SshFailure::kNone ? "" : reason + ")") + " | " + shownLines + " | " +
             mark(sshAfter) + " | " + mark(after == SshFailure::kNone) + " |\n";
  }
  std::printf("%s", table.c_str());
}

// Each configuration form against a modern sshd, beside ssh on the same
// file. {PORT}, {USER} and {HOME} stand for the router's port, its user and
// the test's home folder.
TEST_F(OldRouterTest, ConfigurationFormsReachTheRouterAsSshDoes) {
  struct Case {
    const char* name;
    const char* user;
    const char* system;
    const char* ip;
    const char* givenUser;  // empty: taken from the file
    const char* givenPort;
    bool keyOnly;  // a wrong password: only the key file can let the user in
    bool reached;
  };
  const Case kCases[] = {
      {"an alias with HostName, User and Port",
       "Host old-router-7\n HostName 127.0.0.1\n User {USER}\n Port {PORT}\n", "",
       "old-router-7", "", "", false, true},
      {"IdentityFile outside the default names",
       "Host 127.0.0.1\n IdentityFile {HOME}/.ssh/router_key\n", "", "127.0.0.1", "{USER}",
       "{PORT}", true, true},
      {"no IdentityFile, so the key is not found", "", "", "127.0.0.1", "{USER}", "{PORT}", true,
       false},
      {"Include", "Include {HOME}/.ssh/routers.conf\n", "", "r7", "{USER}", "", false, true},
      {"Match host", "Host r8\n HostName 127.0.0.1\nMatch host 127.0.0.1\n Port {PORT}\n", "",
       "r8", "{USER}", "", false, true},
      {"the user's file before the machine's", "Port {PORT}\n", "Port 1\n", "127.0.0.1",
       "{USER}", "", false, true},
      {"the machine's file when the user's says nothing", "Host other\n Port 1\n",
       "Port {PORT}\n", "127.0.0.1", "{USER}", "", false, true},
      {"given user and port win over the file", "User nobody\nPort 1\n", "", "127.0.0.1",
       "{USER}", "{PORT}", false, true},
      {"- removes the router's only host key type", "HostKeyAlgorithms -ssh-ed25519\n", "",
       "127.0.0.1", "{USER}", "{PORT}", false, false},
      // The relay leaves a mark, so the session is known to have gone through it.
      {"ProxyCommand",
       "Host via-proxy\n HostName 127.0.0.1\n Port {PORT}\n"
       " ProxyCommand python3 {HOME}/relay.py %h %p\n",
       "", "via-proxy", "{USER}", "", false, true},
  };
  ASSERT_TRUE(StartRouter("ed25519", ""));
  ASSERT_EQ(Shell("ssh-keygen -q -N '' -C '' -t ed25519 -f " + home_ + "/.ssh/router_key"), 0);
  ASSERT_EQ(Shell("cp " + home_ + "/.ssh/router_key.pub " + dir_ + "/authorized_keys"), 0);
  ASSERT_TRUE(WriteFile(home_ + "/.ssh/routers.conf",
                        Expand("Host r7\n HostName 127.0.0.1\n Port {PORT}\n")));
  // A proxy command: copies between its standard streams and host:port.
  ASSERT_TRUE(WriteFile(home_ + "/relay.py",
                        "import os, socket, sys, threading\n"
                        "open(os.path.join(os.path.dirname(sys.argv[0]), 'relayed'), 'a').close()\n"
                        "s = socket.create_connection((sys.argv[1], int(sys.argv[2])))\n"
                        "def up():\n"
                        "    while True:\n"
                        "        data = os.read(0, 65536)\n"
                        "        if not data: break\n"
                        "        s.sendall(data)\n"
                        "    s.shutdown(socket.SHUT_WR)\n"
                        "threading.Thread(target=up, daemon=True).start()\n"
                        "while True:\n"
                        "    data = s.recv(65536)\n"
                        "    if not data: break\n"
                        "    os.write(1, data)\n"));
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string user = Expand(c.user);
    const std::string system = Expand(c.system);
    WriteConfigs(user, system);
    const std::string password = c.keyOnly ? "wrong" : kRouterPassword;
    std::string reason;
    unlink((home_ + "/relayed").c_str());
    const SshFailure result =
        Kick(Expand(c.givenUser), password, Expand(c.givenPort), c.ip, &reason);
    EXPECT_EQ(result == SshFailure::kNone, c.reached) << reason;
    EXPECT_EQ(access((home_ + "/relayed").c_str(), F_OK) == 0,
              std::string(c.name) == "ProxyCommand");
    std::string destination = c.ip;
    if (c.givenUser[0] != '\0') destination = Expand(c.givenUser) + "@" + destination;
    if (c.givenPort[0] != '\0') destination = "-p " + Expand(c.givenPort) + " " + destination;
    EXPECT_EQ(SshReaches(user, system, destination, password), c.reached)
        << ReadAll(dir_ + "/ssh.out");
  }
}

// The key of an unknown router is recorded once the exchange has proved it,
// and an impostor on the same address and port is then refused; strict
// checking refuses the unknown router; hashed names are ssh's own.
TEST_F(OldRouterTest, UnknownRouterIsRecordedAndAnImpostorRefused) {
  ASSERT_TRUE(StartRouter("ed25519", ""));
  const std::string knownHosts = home_ + "/.ssh/known_hosts";
  const std::string port = std::to_string(port_);
  std::string reason;

  WriteConfigs("StrictHostKeyChecking yes\n", "");
  EXPECT_EQ(Kick(user_.name, kRouterPassword, port, "127.0.0.1", &reason),
            SshFailure::kHostKeyRefused);
  EXPECT_EQ(reason,
            "the router's host key is not known and StrictHostKeyChecking is yes: add it to " +
                knownHosts + ".");
  EXPECT_EQ(access(knownHosts.c_str(), F_OK), -1) << "written under StrictHostKeyChecking yes";

  // Debian's machine-wide file asks for hashed names.
  WriteConfigs("", "Host *\n HashKnownHosts yes\n");
  EXPECT_EQ(Kick(user_.name, kRouterPassword, port, "127.0.0.1", &reason), SshFailure::kNone)
      << reason;
  const std::string recorded = ReadAll(knownHosts);
  EXPECT_EQ(recorded.rfind("|1|", 0), 0u) << recorded;
  EXPECT_EQ(std::count(recorded.begin(), recorded.end(), '\n'), 1) << recorded;
  // ssh takes the entry as it stands.
  EXPECT_EQ(Shell("echo y | sshpass -p '" + std::string(kRouterPassword) +
                  "' ssh -F /dev/null -o StrictHostKeyChecking=yes -o UserKnownHostsFile=" +
                  knownHosts + " -o GlobalKnownHostsFile=/dev/null -p " + port + " " +
                  user_.name + "@127.0.0.1 >" + dir_ + "/ssh.out 2>&1"),
            0)
      << ReadAll(dir_ + "/ssh.out");
  // A known router is not recorded again.
  EXPECT_EQ(Kick(user_.name, kRouterPassword, port, "127.0.0.1", &reason), SshFailure::kNone);
  EXPECT_EQ(ReadAll(knownHosts), recorded);

  // An impostor with a key of its own on the same address and port.
  ASSERT_TRUE(StartRouter("ed25519", "", port_));
  EXPECT_EQ(Kick(user_.name, kRouterPassword, port, "127.0.0.1", &reason),
            SshFailure::kHostKeyRefused);
  // The reason names the key shown and the line that removes the old, hashed
  // entry, which ssh-keygen finds by the name it hashes.
  const std::string changed = "the router's host key has changed: " + knownHosts +
                              " line 1; the router showed ED25519 key SHA256:";
  const std::string removal = "; if that is its new key, remove the old entry with: ssh-keygen -f \"" +
                              knownHosts + "\" -R \"[127.0.0.1]:" + port + "\".";
  EXPECT_EQ(reason.substr(0, changed.size()), changed) << reason;
  ASSERT_GE(reason.size(), removal.size());
  EXPECT_EQ(reason.substr(reason.size() - removal.size()), removal) << reason;
  EXPECT_EQ(ReadAll(knownHosts), recorded);

  // No: accepted, and nothing recorded.
  unlink(knownHosts.c_str());
  WriteConfigs("StrictHostKeyChecking no\n", "");
  EXPECT_EQ(Kick(user_.name, kRouterPassword, port, "127.0.0.1", &reason), SshFailure::kNone);
  EXPECT_EQ(access(knownHosts.c_str(), F_OK), -1);
}

// Twenty runs at once against one unknown router: the file stays well
// formed, with the router recorded once.
TEST_F(OldRouterTest, TwentyRunsAtOnceKeepKnownHostsWellFormed) {
  ASSERT_TRUE(StartRouter("ed25519", ""));
  // The runs leave their line in the system log: a private one, here.
  ASSERT_TRUE(WriteFile(dir_ + "/no_log", ""));
  const std::string program = SWK_PROGRAM;
  std::string runs;
  for (int i = 0; i < 20; ++i) {
    runs += "(setsid -w " + program + " /user:" + user_.name + " '/pw:" + kRouterPassword +
            "' /port:" + std::to_string(port_) + " /v:n /ip:127.0.0.1 </dev/null >/dev/null "
            "2>&1; echo $? >" + dir_ + "/status" + std::to_string(i) + ") &\n";
  }
  ASSERT_EQ(Shell("mount --bind " + dir_ + "/no_log /dev/log 2>/dev/null; (\n" + runs +
                  "wait)"),
            0);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(ReadAll(dir_ + "/status" + std::to_string(i)), "0\n") << "run " << i;
  }
  const std::string knownHosts = home_ + "/.ssh/known_hosts";
  const std::string recorded = ReadAll(knownHosts);
  EXPECT_EQ(std::count(recorded.begin(), recorded.end(), '\n'), 1) << recorded;
  // ssh-keygen reads every line and finds the router.
  EXPECT_EQ(Shell("ssh-keygen -F '[127.0.0.1]:" + std::to_string(port_) + "' -f " + knownHosts +
                  " | grep -q ssh-ed25519"),
            0)
      << recorded;
}

// Lines that add old algorithms put them last: a modern router still
// negotiates a modern exchange, as its own log shows.
TEST_F(OldRouterTest, OldAlgorithmsAddedLastLeaveAModernRouterModern) {
  ASSERT_TRUE(StartRouter("ed25519", "LogLevel DEBUG1\n"));
  WriteConfigs("Host 127.0.0.1\n KexAlgorithms +diffie-hellman-group1-sha1\n"
               " HostKeyAlgorithms +ssh-rsa,ssh-dss\n Ciphers +aes128-cbc\n MACs +hmac-sha1\n",
               "");
  std::string reason;
  EXPECT_EQ(Kick(user_.name, kRouterPassword, std::to_string(port_), "127.0.0.1", &reason),
            SshFailure::kNone)
      << reason;
  const std::string log = ReadAll(dir_ + "/sshd.log");
  EXPECT_NE(log.find("kex: algorithm: curve25519-sha256"), std::string::npos) << log;
  EXPECT_NE(log.find("kex: host key algorithm: ssh-ed25519"), std::string::npos) << log;
  EXPECT_NE(log.find("cipher: chacha20-poly1305@openssh.com"), std::string::npos) << log;
}

}  // namespace
