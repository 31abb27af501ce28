#include "ssh/server_offer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string NameList(const std::string& text) {
  const uint32_t n = static_cast<uint32_t>(text.size());
  std::string bytes = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 8), static_cast<char>(n)};
  return bytes + text;
}

// A KEXINIT payload with the given lists, compression and languages after.
std::string KexInit(const std::vector<std::string>& lists) {
  std::string payload(1, '\x14');
  payload += std::string(16, '\x5a');
  for (const std::string& list : lists) payload += NameList(list);
  for (const char* rest : {"none", "none", "", ""}) payload += NameList(rest);
  return payload + std::string(5, '\0');
}

bool AllButDss(AlgorithmKind, const std::string& name) { return name != "ssh-dss"; }

TEST(ServerOfferTest, KexInitIsReadAndACutOneRefused) {
  const std::string payload =
      KexInit({"diffie-hellman-group1-sha1,kex-strict-s-v00@openssh.com", "ssh-rsa",
               "aes128-cbc", "aes128-cbc,3des-cbc", "hmac-sha1", "hmac-sha1"});
  ServerOffer offer;
  ASSERT_TRUE(ParseKexInit(payload, &offer));
  EXPECT_EQ(offer.kex, "diffie-hellman-group1-sha1,kex-strict-s-v00@openssh.com");
  EXPECT_EQ(offer.hostKeys, "ssh-rsa");
  EXPECT_EQ(offer.ciphersFromServer, "aes128-cbc,3des-cbc");
  EXPECT_EQ(offer.macsFromServer, "hmac-sha1");
  // Cut inside a list, or another message.
  EXPECT_FALSE(ParseKexInit(payload.substr(0, 30), &offer));
  EXPECT_FALSE(ParseKexInit("\x15" + payload.substr(1), &offer));
  EXPECT_FALSE(ParseKexInit("", &offer));
}

TEST(ServerOfferTest, EveryKindSharedWithNothingIsNamedAtOnce) {
  SshConfig defaults;
  defaults.hostKeyAlgorithms.list = kDefaultHostKeyAlgorithms;
  defaults.kexAlgorithms.list = kDefaultKexAlgorithms;
  defaults.ciphers.list = kDefaultCiphers;
  defaults.macs.list = kDefaultMacs;
  struct Case {
    const char* name;
    ServerOffer offer;
    std::string reason;
  };
  const Case kCases[] = {
      {"all four, the markers left out",
       {"diffie-hellman-group1-sha1,kex-strict-s-v00@openssh.com", "ssh-rsa",
        "3des-cbc,aes128-cbc", "3des-cbc,aes128-cbc", "hmac-sha1", "hmac-sha1"},
       "the router offers only old key exchanges (diffie-hellman-group1-sha1), host key types "
       "(ssh-rsa), ciphers (3des-cbc,aes128-cbc) and MACs (hmac-sha1); to allow them for this "
       "router, add to ~/.ssh/config: Host r / KexAlgorithms +diffie-hellman-group1-sha1 / "
       "HostKeyAlgorithms +ssh-rsa / Ciphers +aes128-cbc / MACs +hmac-sha1"},
      // An authenticated cipher needs no MAC.
      {"GCM leaves the MAC out",
       {"curve25519-sha256", "ssh-rsa", "aes128-gcm@openssh.com", "aes128-gcm@openssh.com",
        "hmac-sha1", "hmac-sha1"},
       "the router offers only old host key types (ssh-rsa); to allow them for this router, add "
       "to ~/.ssh/config: Host r / HostKeyAlgorithms +ssh-rsa"},
      {"nothing missing",
       {"curve25519-sha256", "ssh-ed25519", "aes128-ctr", "aes128-ctr", "hmac-sha2-256",
        "hmac-sha2-256"},
       ""},
      {"a kind the library cannot do",
       {"curve25519-sha256", "ssh-dss", "aes128-ctr", "aes128-ctr", "hmac-sha2-256",
        "hmac-sha2-256"},
       "the router offers only host key types (ssh-dss) that this program's SSH library cannot "
       "use"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<AlgorithmNeed> needs = AlgorithmNeeds(c.offer, defaults, AllButDss);
    EXPECT_EQ(needs.empty() ? std::string() : NoSharedAlgorithmReason("r", "~/.ssh/config", needs),
              c.reason);
  }
}

}  // namespace
