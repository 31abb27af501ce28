#include "ssh_files/ssh_config.h"

#include <gtest/gtest.h>

#include "ssh_files/ssh_files.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// The files Include may name, by pattern.
std::map<std::string, std::vector<KnownHostsText>>& Included() {
  static std::map<std::string, std::vector<KnownHostsText>> files;
  return files;
}

std::vector<KnownHostsText> ReadIncluded(const std::string& pattern) {
  const auto found = Included().find(pattern);
  return found == Included().end() ? std::vector<KnownHostsText>() : found->second;
}

SshConfig Parse(const std::string& user, const std::string& system, const std::string& host,
                const std::string& givenUser = "") {
  SshConfigTarget target;
  target.host = host;
  target.user = givenUser;
  target.localUser = "root";
  target.home = "/home/admin";
  target.userFolder = "/home/admin/.ssh";
  target.systemFolder = "/etc/ssh";
  return ParseSshConfig({"/home/admin/.ssh/config", true, user},
                        {"/etc/ssh/ssh_config", true, system}, target, ReadIncluded);
}

TEST(SshConfigTest, AliasTakesHostNameUserPortAndKeys) {
  const SshConfig config = Parse(
      "Host old-router-7\n"
      "  HostName 192.0.2.7\n"
      "  User admin\n"
      "  Port 2222\n"
      "  IdentityFile ~/.ssh/router_key\n"
      "  IdentityFile %d/.ssh/%h_%r\n"
      "  IdentitiesOnly yes\n"
      "  UserKnownHostsFile ~/.ssh/routers_known \"/tmp/with space\"\n"
      "  ConnectTimeout=7\n",
      "", "old-router-7");
  EXPECT_EQ(config.error, "");
  EXPECT_EQ(config.hostName, "192.0.2.7");
  EXPECT_EQ(config.user, "admin");
  EXPECT_EQ(config.port, 2222);
  EXPECT_EQ(config.identityFiles,
            (std::vector<std::string>{"/home/admin/.ssh/router_key",
                                      "/home/admin/.ssh/192.0.2.7_admin"}));
  EXPECT_TRUE(config.identitiesOnly);
  EXPECT_EQ(config.userKnownHostsFiles,
            (std::vector<std::string>{"/home/admin/.ssh/routers_known", "/tmp/with space"}));
  EXPECT_EQ(config.connectTimeoutSeconds, 7);
  // Another name takes none of it.
  const SshConfig other = Parse("Host old-router-7\n  HostName 192.0.2.7\n", "", "router-8");
  EXPECT_EQ(other.hostName, "router-8");
  EXPECT_FALSE(other.hostKeyAlgorithms.set);
  EXPECT_EQ(other.strictHostKeyChecking, StrictHostKeyChecking::kAcceptNew);
}

TEST(SshConfigTest, FirstValueWinsAcrossBlocksAndFiles) {
  struct Case {
    const char* name;
    const char* user;
    const char* system;
    int port;
    StrictHostKeyChecking strict;
    bool hashed;
  };
  const Case kCases[] = {
      {"user file before the machine's", "Port 2200\n", "Port 2300\nHashKnownHosts yes\n", 2200,
       StrictHostKeyChecking::kAcceptNew, true},
      {"the first block that matches", "Host 10.*\n Port 2201\nHost *\n Port 2202\n", "", 2201,
       StrictHostKeyChecking::kAcceptNew, false},
      {"a negated pattern skips the block", "Host 10.* !10.0.0.1\n Port 2203\n", "", 0,
       StrictHostKeyChecking::kAcceptNew, false},
      {"keywords without case, = form", "STRICTHOSTKEYCHECKING=no\nstricthostkeychecking yes\n",
       "", 0, StrictHostKeyChecking::kNo, false},
      {"off is no", "", "StrictHostKeyChecking off\n", 0, StrictHostKeyChecking::kNo, false},
      {"ask has nobody to answer: refused with its own reason", "StrictHostKeyChecking ask\n",
       "", 0, StrictHostKeyChecking::kAsk, false},
      {"Match host on the HostName given so far",
       "Host 10.0.0.1\n HostName gw.example\nMatch host gw.example\n Port 2204\n", "", 2204,
       StrictHostKeyChecking::kAcceptNew, false},
      {"Match originalhost and user", "Match originalhost 10.0.0.* user admin\n Port 2205\n", "",
       0, StrictHostKeyChecking::kAcceptNew, false},
      {"Match exec never holds", "Match exec true\n Port 2206\n", "", 0,
       StrictHostKeyChecking::kAcceptNew, false},
      {"Match all", "Match all\n Port 2207\n", "", 2207, StrictHostKeyChecking::kAcceptNew,
       false},
      {"comments and blank lines", "# Port 1\n\n   \nPort 2208 # trailing\n", "", 2208,
       StrictHostKeyChecking::kAcceptNew, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const SshConfig config = Parse(c.user, c.system, "10.0.0.1", "root");
    EXPECT_EQ(config.error, "");
    EXPECT_EQ(config.port, c.port);
    EXPECT_EQ(config.strictHostKeyChecking, c.strict);
    EXPECT_EQ(config.hashKnownHosts, c.hashed);
  }
}

TEST(SshConfigTest, IncludeReadsInPlaceAndItsBlocksEndWithIt) {
  // A relative path is taken from the file's folder, joined as the platform
  // joins paths.
  const std::string folder = std::string("/home/admin/.ssh") + PathSeparator();
  Included()[folder + "conf.d/*.conf"] = {
      {"/home/admin/.ssh/conf.d/a.conf", true, "Host 10.0.0.1\n Port 2301\n"},
      {"/home/admin/.ssh/conf.d/b.conf", true, "Host other\n User nobody\n"}};
  Included()["/etc/ssh/ssh_config.d/*.conf"] = {
      {"/etc/ssh/ssh_config.d/x.conf", true, "User fromsystem\n"}};
  // The block in b.conf ends with the file: the User line after the Include
  // applies to every host.
  const SshConfig config = Parse("Include conf.d/*.conf\nUser admin\n",
                                 "Include /etc/ssh/ssh_config.d/*.conf\n", "10.0.0.1");
  EXPECT_EQ(config.error, "");
  EXPECT_EQ(config.port, 2301);
  EXPECT_EQ(config.user, "admin");
  const SshConfig system = Parse("", "Include /etc/ssh/ssh_config.d/*.conf\n", "10.0.0.1");
  EXPECT_EQ(system.user, "fromsystem");
  // An Include in a block for another router gives nothing, not even from
  // blocks of its own that match.
  Included()[folder + "other.conf"] = {
      {"/home/admin/.ssh/other.conf", true, "Port 2302\nHost 10.0.0.1\n User x\n"}};
  const SshConfig other = Parse("Host elsewhere\n Include other.conf\n", "", "10.0.0.1");
  EXPECT_EQ(other.error, "");
  EXPECT_EQ(other.port, 0);
  EXPECT_EQ(other.user, "");
  // A file that includes itself stops at the depth limit with a reason.
  Included()[folder + "loop"] = {{folder + "loop", true, "Include loop\n"}};
  EXPECT_NE(Parse("Include loop\n", "", "h").error.find("Include nested too deeply"),
            std::string::npos);
}

TEST(SshConfigTest, AlgorithmForms) {
  struct Case {
    const char* value;
    const char* defaults;
    const char* list;
  };
  const Case kCases[] = {
      {"+ssh-rsa", "ssh-ed25519,rsa-sha2-256", "ssh-ed25519,rsa-sha2-256,ssh-rsa"},
      // Added ones already there are not repeated, nor moved.
      {"+rsa-sha2-256,ssh-dss", "ssh-ed25519,rsa-sha2-256", "ssh-ed25519,rsa-sha2-256,ssh-dss"},
      {"-rsa-sha2-256", "ssh-ed25519,rsa-sha2-256", "ssh-ed25519"},
      {"-rsa-*", "ssh-ed25519,rsa-sha2-512,rsa-sha2-256", "ssh-ed25519"},
      {"^ssh-rsa,ssh-ed25519", "ssh-ed25519,rsa-sha2-256", "ssh-rsa,ssh-ed25519,rsa-sha2-256"},
      {"aes128-cbc,aes128-ctr", "chacha20-poly1305@openssh.com", "aes128-cbc,aes128-ctr"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ResolveAlgorithms(c.value, c.defaults), c.list);
  }
  const SshConfig config =
      Parse("Host r\n HostKeyAlgorithms +ssh-rsa\n PubkeyAcceptedKeyTypes +ssh-rsa\n"
            " KexAlgorithms diffie-hellman-group1-sha1\n",
            "Host *\n PubkeyAcceptedAlgorithms -ssh-ed25519\n Ciphers ^aes128-cbc\n", "r");
  EXPECT_EQ(config.hostKeyAlgorithms.list, std::string(kDefaultHostKeyAlgorithms) + ",ssh-rsa");
  EXPECT_EQ(config.pubkeyAcceptedAlgorithms.list,
            std::string(kDefaultPubkeyAcceptedAlgorithms) + ",ssh-rsa");
  EXPECT_EQ(config.kexAlgorithms.list, "diffie-hellman-group1-sha1");
  EXPECT_EQ(config.ciphers.list, std::string("aes128-cbc,") + kDefaultCiphers);
  EXPECT_FALSE(config.macs.set);
}

TEST(SshConfigTest, BadLinesAreNamed) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case kCases[] = {
      {"Port 70000\n", "/home/admin/.ssh/config:1: bad value for Port: 70000"},
      {"\nStrictHostKeyChecking maybe\n",
       "/home/admin/.ssh/config:2: bad value for StrictHostKeyChecking: maybe"},
      {"HostName \"open\n", "/home/admin/.ssh/config:1: a quote is not closed"},
      {"Match host\n", "/home/admin/.ssh/config:1: Match host needs an argument"},
      {"User\n", "/home/admin/.ssh/config:1: user has no value"},
      // Inside a block for another router a bad value is still bad, as for ssh.
      {"Host other\n Port 0\n", "/home/admin/.ssh/config:2: bad value for Port: 0"},
      {"Host other\n BatchMode maybe\n",
       "/home/admin/.ssh/config:2: bad value for BatchMode: maybe"},
      // Options with no effect still have values ssh checks.
      {"Host other\n ServerAliveInterval 5x\n",
       "/home/admin/.ssh/config:2: bad value for ServerAliveInterval: 5x"},
      {"Compression on\n", "/home/admin/.ssh/config:1: bad value for Compression: on"},
      {"ConnectionAttempts 0\n", "/home/admin/.ssh/config:1: bad value for ConnectionAttempts: 0"},
      {"CanonicalizeHostname none\n",
       "/home/admin/.ssh/config:1: bad value for CanonicalizeHostname: none"},
      {"ServerAliveInterval 1h30m\nSetupTimeOut none\nControlMaster AutoAsk\nLogLevel DEBUG3\n"
       "ConnectionAttempts 2\nForwardAgent /tmp/agent\n",
       ""},
      // ssh refuses "none" beside a file, so the run does not record nothing.
      {"UserKnownHostsFile none ~/.ssh/kh2\n",
       "/home/admin/.ssh/config:1: \"none\" must stand alone: it names no file"},
      {"GlobalKnownHostsFile /etc/k NONE\n",
       "/home/admin/.ssh/config:1: \"none\" must stand alone: it names no file"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Parse(c.text, "", "h").error, c.error);
  }
}

// Wherever ssh refuses to start, so does the run: a keyword that is not
// OpenSSH's, a byte order mark, in any block. The broken line must never
// be skipped, or the lines after it apply to every router.
TEST(SshConfigTest, UnknownKeywordsRefuseTheRunAsSshDoes) {
  Included()[std::string("/home/admin/.ssh") + PathSeparator() + "bad.conf"] = {
      {"/home/admin/.ssh/bad.conf", true, "Hots x\n"}};
  struct Case {
    const char* name;
    const char* text;
    const char* error;  // empty: fine
  };
  const Case kCases[] = {
      {"a typo", "Hots lab\nStrictHostKeyChecking no\n",
       "/home/admin/.ssh/config:1: unknown option hots; ssh refuses it too (IgnoreUnknown lets "
       "both pass it by)"},
      {"a byte order mark", "\xEF\xBB\xBFHost lab-*\nUserKnownHostsFile /dev/null\n",
       "/home/admin/.ssh/config:1: unknown option \\xEF\\xBB\\xBFhost (the file starts with a "
       "byte order mark; save it without one)"},
      {"in a block for another router", "Host other\n Frobnicate yes\n",
       "/home/admin/.ssh/config:2: unknown option frobnicate; ssh refuses it too (IgnoreUnknown "
       "lets both pass it by)"},
      // ssh reads an Include that does not apply as well: none of it is
      // taken, and its bad lines count.
      {"in a file an Include for another router reads", "Host other\n Include bad.conf\n",
       "/home/admin/.ssh/bad.conf:1: unknown option hots; ssh refuses it too (IgnoreUnknown lets "
       "both pass it by)"},
      {"IgnoreUnknown before it", "IgnoreUnknown frob*,hots\nHots lab\nFrobx 1\n", ""},
      {"IgnoreUnknown after it does not count", "Hots lab\nIgnoreUnknown hots\n",
       "/home/admin/.ssh/config:1: unknown option hots; ssh refuses it too (IgnoreUnknown lets "
       "both pass it by)"},
      {"IgnoreUnknown in a block for another router does not count",
       "Host other\n IgnoreUnknown foo\nHost *\n foo 1\n",
       "/home/admin/.ssh/config:4: unknown option foo; ssh refuses it too (IgnoreUnknown lets "
       "both pass it by)"},
      {"old spellings ssh still reads", "ChallengeResponseAuthentication yes\nUseRoaming no\n"
       "Protocol 2\nKeepAlive yes\nSetupTimeOut 5\n", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.text, "", "h").error, c.error);
  }
  // A zero byte ends the line, as ssh reads it.
  const SshConfig zero = Parse(std::string("Port 2200\0junk\n", 16), "", "h");
  EXPECT_EQ(zero.error, "");
  EXPECT_EQ(zero.port, 2200);
}

// Options that would change which router is reached or which key is
// trusted, and are not built, refuse the run where they apply, naming the
// line; the values that change nothing pass.
TEST(SshConfigTest, RefusedOptionsNameTheirLine) {
  struct Case {
    const char* text;
    const char* error;  // empty: fine
  };
  const Case kCases[] = {
      {"CheckHostIP yes\n",
       "/home/admin/.ssh/config:1: CheckHostIP yes is not supported: it would check the "
       "router's address in known_hosts as well; no (the default) is fine; remove the line for "
       "this router"},
      {"Host h\n BindAddress 127.0.0.2\n",
       "/home/admin/.ssh/config:2: BindAddress 127.0.0.2 is not supported: it would choose the "
       "local address the router sees; remove the line for this router"},
      {"KnownHostsCommand /bin/echo %H\n",
       "/home/admin/.ssh/config:1: KnownHostsCommand /bin/echo %H is not supported: it would "
       "take known hosts from a command's output; remove the line for this router"},
      {"CheckHostIP no\nAddressFamily any\nCanonicalizeHostname no\nVerifyHostKeyDNS no\n"
       "KnownHostsCommand none\n", ""},
      // Only where it applies, and only the value that counts.
      {"Host other\n VerifyHostKeyDNS yes\n", ""},
      {"CanonicalizeHostname no\nCanonicalizeHostname yes\n", ""},
      {"IdentityAgent /tmp/agent.sock\n",
       "/home/admin/.ssh/config:1: IdentityAgent /tmp/agent.sock is not supported: only \"none\" "
       "or SSH_AUTH_SOCK's agent can be used"},
      {"Host other\n IdentityAgent /tmp/agent.sock\n", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Parse(c.text, "", "h").error, c.error);
  }
}

// The password leaves only by a way the configuration allows; a way that
// is excluded names every line that excludes it.
TEST(SshConfigTest, PasswordWaysNameTheLinesThatExcludeThem) {
  struct Case {
    const char* text;
    bool password;
    const char* passwordBy;
    bool interactive;
    const char* interactiveBy;
    bool interactiveFirst;
    bool keys;
  };
  const Case kCases[] = {
      {"", true, "", true, "", false, true},
      {"Host *\n PasswordAuthentication no\n", false,
       "PasswordAuthentication no at /home/admin/.ssh/config:2", true, "", false, true},
      {"ChallengeResponseAuthentication no\n", true, "", false,
       "ChallengeResponseAuthentication no at /home/admin/.ssh/config:1", false, true},
      {"BatchMode yes\n", false, "BatchMode yes at /home/admin/.ssh/config:1", false,
       "BatchMode yes at /home/admin/.ssh/config:1", false, true},
      {"NumberOfPasswordPrompts 0\nPasswordAuthentication no\n", false,
       "PasswordAuthentication no at /home/admin/.ssh/config:2 and NumberOfPasswordPrompts 0 at "
       "/home/admin/.ssh/config:1",
       false, "NumberOfPasswordPrompts 0 at /home/admin/.ssh/config:1", false, true},
      {"PreferredAuthentications publickey\n", false,
       "PreferredAuthentications publickey at /home/admin/.ssh/config:1", false,
       "PreferredAuthentications publickey at /home/admin/.ssh/config:1", false, true},
      {"PreferredAuthentications keyboard-interactive,password\n", true, "", true, "", true,
       false},
      {"PubkeyAuthentication no\n", true, "", true, "", false, false},
      // The first value wins: a later "no" changes nothing.
      {"BatchMode no\nBatchMode yes\n", true, "", true, "", false, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    const SshConfig config = Parse(c.text, "", "h");
    EXPECT_EQ(config.error, "");
    EXPECT_EQ(config.password.allowed, c.password);
    EXPECT_EQ(config.password.excludedBy, c.passwordBy);
    EXPECT_EQ(config.keyboardInteractive.allowed, c.interactive);
    EXPECT_EQ(config.keyboardInteractive.excludedBy, c.interactiveBy);
    EXPECT_EQ(config.keyboardInteractiveFirst, c.interactiveFirst);
    EXPECT_EQ(config.pubkeyAuthentication, c.keys);
  }
}

TEST(SshConfigTest, HostKeyAliasAndRevokedKeys) {
  const SshConfig config =
      Parse("Host r1\n HostKeyAlias Router1\n RevokedHostKeys ~/.ssh/revoked_%n\n", "", "r1");
  EXPECT_EQ(config.hostKeyAlias, "router1");  // looked up in lower case, as by ssh
  EXPECT_EQ(config.revokedHostKeys, "/home/admin/.ssh/revoked_r1");
  EXPECT_EQ(Parse("RevokedHostKeys none\n", "", "r1").revokedHostKeys, "");
}

TEST(SshConfigTest, RevokedKeysFileReadsAsRevokedLines) {
  const KnownHostsText revoked = RevokedKeysAsKnownHosts(
      {"/r", true, "# old ones\n\nssh-ed25519 AAAA x\r\n  ssh-rsa BBBB"});
  EXPECT_EQ(revoked.text,
            "# old ones\n\n@revoked * ssh-ed25519 AAAA x\r\n@revoked *   ssh-rsa BBBB\n");
  EXPECT_TRUE(IsKeyRevocationList(std::string("SSHKRL\n\0\0\0\1", 11)));
  EXPECT_FALSE(IsKeyRevocationList("SSHKRL\n"));
}

// Every keyword once, each old spelling pointing at a keyword of the table,
// and a reason for every row: the README's table is made from it.
TEST(SshConfigTest, OptionTableIsWhole) {
  size_t count = 0;
  const SshOption* options = SshOptions(&count);
  std::set<std::string> seen;
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(options[i].keyword);
    std::string lower;
    for (const char* c = options[i].keyword; *c != '\0'; ++c) {
      lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
    }
    EXPECT_TRUE(seen.insert(lower).second);
    EXPECT_NE(std::string(options[i].why), "");
    EXPECT_EQ(options[i].harmless != nullptr && options[i].use != OptionUse::kRefused, false);
    if (options[i].sameAs != nullptr) {
      bool found = false;
      for (size_t j = 0; j < count; ++j) {
        found = found || std::string(options[j].keyword) == options[i].sameAs;
      }
      EXPECT_TRUE(found);
    }
  }
}

// The README's table of keywords is this table, row for row, so the two
// cannot drift apart.
TEST(SshConfigTest, ReadmeTableIsTheKeywordTable) {
  std::ifstream readme(SWK_README);
  ASSERT_TRUE(readme.good());
  std::vector<std::string> documented;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("| `", 0) == 0 &&
        (line.find("` | honoured |") != std::string::npos ||
         line.find("` | no effect |") != std::string::npos ||
         line.find("` | refused |") != std::string::npos)) {
      documented.push_back(line);
    }
  }
  static const char* const kWords[] = {"honoured", "no effect", "refused"};
  size_t count = 0;
  const SshOption* options = SshOptions(&count);
  std::vector<std::string> table;
  for (size_t i = 0; i < count; ++i) {
    table.push_back(std::string("| `") + options[i].keyword + "` | " +
                    kWords[static_cast<int>(options[i].use)] + " | " + options[i].why + " |");
  }
  EXPECT_EQ(documented, table);
}

// An honoured keyword whose row names no case would be read and then
// silently dropped; a case on a row that is not honoured would take a value
// the README says is left alone or refused.
TEST(SshConfigTest, EveryHonouredKeywordIsTakenAndNoOtherIs) {
  size_t count = 0;
  const SshOption* options = SshOptions(&count);
  for (size_t i = 0; i < count; ++i) {
    const SshOption& option = options[i];
    SCOPED_TRACE(option.keyword);
    const std::string keyword = option.keyword;
    const bool block = keyword == "Host" || keyword == "Match" || keyword == "Include";
    const bool takes = option.use == OptionUse::kHonoured && option.sameAs == nullptr && !block;
    EXPECT_EQ(option.take != OptionTake::kNone, takes);
  }
}

TEST(SshConfigTest, ProxyJumpRunsSshThroughTheHops) {
  const struct {
    const char* jump;
    const char* command;
  } kCases[] = {
      {"gw", "ssh -W '[%h]:%p' 'ssh://gw'"},
      {"admin@gw:2222", "ssh -W '[%h]:%p' 'ssh://admin@gw:2222'"},
      {"a,b@c:22,ssh://d", "ssh -J 'a,b@c:22' -W '[%h]:%p' 'ssh://d'"},
      // A quote in a name cannot end the quoting.
      {"it's", "ssh -W '[%h]:%p' 'ssh://it'\\''s'"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.jump);
    EXPECT_EQ(ProxyJumpCommand(c.jump), c.command);
  }
  const SshConfig config = Parse("Host r\n ProxyJump gw\n ProxyCommand nc %h %p\n", "", "r");
  EXPECT_EQ(config.proxyJump, "gw");
  EXPECT_EQ(config.proxyCommand, "");  // the first of the two wins
}

bool AllButDss(AlgorithmKind, const std::string& name) { return name != "ssh-dss"; }

TEST(SshConfigTest, ReasonNamesTheOfferAndTheLines) {
  EXPECT_EQ(NoSharedAlgorithmReason("192.168.88.1", "~/.ssh/config",
                                    {{AlgorithmKind::kHostKey, "ssh-rsa", "ssh-rsa"}}),
            "the router offers only old host key types (ssh-rsa); to allow them for this "
            "router, add to ~/.ssh/config: Host 192.168.88.1 / HostKeyAlgorithms +ssh-rsa");
  EXPECT_EQ(NoSharedAlgorithmReason(
                "r", "~/.ssh/config",
                {{AlgorithmKind::kKex, "diffie-hellman-group1-sha1", "diffie-hellman-group1-sha1"},
                 {AlgorithmKind::kHostKey, "ssh-rsa", "ssh-rsa"},
                 {AlgorithmKind::kCipher, "aes128-cbc,3des-cbc", "aes128-cbc"}}),
            "the router offers only old key exchanges (diffie-hellman-group1-sha1), host key "
            "types (ssh-rsa) and ciphers (aes128-cbc,3des-cbc); to allow them for this router, "
            "add to ~/.ssh/config: Host r / KexAlgorithms +diffie-hellman-group1-sha1 / "
            "HostKeyAlgorithms +ssh-rsa / Ciphers +aes128-cbc");
  EXPECT_EQ(NoSharedAlgorithmReason("r", "~/.ssh/config",
                                    {{AlgorithmKind::kHostKey, "ssh-dss", ""}}),
            "the router offers only host key types (ssh-dss) that this program's SSH library "
            "cannot use");
  // A modern algorithm the configuration removed is not called old.
  EXPECT_EQ(NoSharedAlgorithmReason("r", "~/.ssh/config",
                                    {{AlgorithmKind::kKex, "curve25519-sha256",
                                      "curve25519-sha256"}}),
            "the router offers only key exchanges (curve25519-sha256); to allow them for this "
            "router, add to ~/.ssh/config: Host r / KexAlgorithms +curve25519-sha256");
  // The strongest old one first, whatever the router's order.
  EXPECT_EQ(AlgorithmToAllow("3des-cbc,aes128-cbc", AllButDss, AlgorithmKind::kCipher),
            "aes128-cbc");
  EXPECT_EQ(AlgorithmToAllow("ssh-dss", AllButDss, AlgorithmKind::kHostKey), "");
}

}  // namespace
