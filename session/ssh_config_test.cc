#include "session/ssh_config.h"

#include <gtest/gtest.h>

#include "session/ssh_files.h"

#include <map>
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
      {"ask refuses, as ssh in batch mode", "StrictHostKeyChecking ask\n", "", 0,
       StrictHostKeyChecking::kYes, false},
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
      {"Port 70000\n", "/home/admin/.ssh/config line 1: bad value for port: 70000"},
      {"\nStrictHostKeyChecking maybe\n",
       "/home/admin/.ssh/config line 2: bad value for stricthostkeychecking: maybe"},
      {"HostName \"open\n", "/home/admin/.ssh/config line 1: a quote is not closed"},
      {"Match host\n", "/home/admin/.ssh/config line 1: Match host needs an argument"},
      {"User\n", "/home/admin/.ssh/config line 1: user has no value"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Parse(c.text, "", "h").error, c.error);
  }
  // Inside a block for another host a bad value is still bad, as for ssh;
  // an unknown keyword is left alone.
  EXPECT_EQ(Parse("Frobnicate yes\n", "", "h").error, "");
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
