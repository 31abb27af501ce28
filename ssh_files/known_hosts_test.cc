// The known_hosts reader on small files: each row names the fault it guards.
// The same forms against real servers and OpenSSH's own verdict are in
// host_key_interop_test.cc.

#include "ssh_files/known_hosts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ssh_files/sha1.h"

namespace {

std::string Hex(const Sha1Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 15]);
  }
  return out;
}

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(Sha1Test, KnownDigestsAcrossBlockBoundaries) {
  const struct {
    std::string data;
    const char* digest;
  } kCases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      // 56 bytes: the length no longer fits the first block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.data.substr(0, 20));
    EXPECT_EQ(Hex(Sha1(Bytes(c.data), c.data.size())), c.digest);
  }
}

TEST(Sha1Test, HmacVectorsIncludingAKeyLongerThanABlock) {
  const struct {
    std::string key;
    std::string data;
    const char* digest;
  } kCases[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(Hex(HmacSha1(Bytes(c.key), c.key.size(), Bytes(c.data), c.data.size())), c.digest);
  }
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kAlphabet[group >> 18 & 63]);
    out.push_back(kAlphabet[group >> 12 & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[group >> 6 & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[group & 63] : '=');
  }
  return out;
}

std::string SshString(const std::string& text) {
  const uint32_t n = static_cast<uint32_t>(text.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)} +
         text;
}

// A public key blob of the given type filled with one byte value.
std::string Key(const std::string& type, char fill) {
  return Base64(SshString(type) + SshString(std::string(32, fill)));
}

const std::string kEd = "ssh-ed25519";
const std::string kEcdsa = "ecdsa-sha2-nistp256";
// The server's key, another key of its type, and one of another type.
const std::string kServer = Key(kEd, '\x11');
const std::string kOther = Key(kEd, '\x22');
const std::string kEcdsaKey = Key(kEcdsa, '\x33');
// Made by ssh-keygen -H from "[127.0.0.1]:2222" and "router.lan" listed with
// kServer.
const char kHashedPort2222[] = "|1|b+9cYotBQFFVooz9fEvLbSW5/Rs=|BojKc5A9RKB850aOGRqAelNwnuQ=";
const char kHashedRouterLan[] = "|1|amyvH5c8Twlcblbzbfw/1uVb3GU=|NJMi9KYOOMvx1zEhhUnigWyHjOY=";

const char kUser[] = "/home/u/.ssh/known_hosts";
const char kGlobal[] = "/etc/ssh/ssh_known_hosts";

struct Row {
  const char* fault;
  std::string user;    // the user's file
  std::string global;  // the global file
  std::string host;
  int port;
  HostKeyStatus status;
  const char* file;  // the deciding file, nullptr for none
  int line;
};

TEST(KnownHostsTest, EachFormGivesOpenSshsVerdictOrFailsClosed) {
  using S = HostKeyStatus;
  const std::string a = kEd + " " + kServer;
  const std::string b = kEd + " " + kOther;
  const std::string e = kEcdsa + " " + kEcdsaKey;
  const std::vector<Row> kRows = {
      {"nothing listed: unknown, accepted", "", "", "127.0.0.1", 22, S::kUnknown, nullptr, 0},
      {"TAB between fields is a separator", "127.0.0.1\tssh-ed25519\t" + kOther + "\n", "",
       "127.0.0.1", 22, S::kChanged, kUser, 1},
      {"blanks and TABs before and between fields",
       " \t127.0.0.1 \t ssh-ed25519\t \t" + kServer + "  \t\n", "", "127.0.0.1", 22, S::kKnown,
       kUser, 1},
      {"same key on a CR LF line is known, not unknown", "127.0.0.1 " + a + "\r\n", "",
       "127.0.0.1", 22, S::kKnown, kUser, 1},
      {"key of another type on a CR LF line is refused", "127.0.0.1 " + e + "\r\n", "",
       "127.0.0.1", 22, S::kOtherType, kUser, 1},
      {"CR before a comment does not spoil the key", "127.0.0.1 " + a + "\r comment\r\n", "",
       "127.0.0.1", 22, S::kKnown, kUser, 1},
      {"several entries: any line with the key makes it known",
       "127.0.0.1 " + e + "\n127.0.0.1 " + b + "\n127.0.0.1 " + a + "\n", "", "127.0.0.1", 22,
       S::kKnown, kUser, 3},
      {"several entries: a changed key outweighs one of another type",
       "127.0.0.1 " + e + "\n127.0.0.1 " + b + "\n", "", "127.0.0.1", 22, S::kChanged, kUser, 2},
      {"comments and blank lines still count as lines",
       "# routers\n\n   \n\t# more\n127.0.0.1 " + b + "\n", "", "127.0.0.1", 22, S::kChanged,
       kUser, 5},
      {"@revoked with the server's own key outweighs a listing",
       "127.0.0.1 " + a + "\n@revoked * " + a + "\n", "", "127.0.0.1", 22, S::kRevoked, kUser, 2},
      {"@revoked holds for every host, whatever its host field",
       "@revoked\tsomewhere.else " + a + "\r\n", "", "127.0.0.1", 2222, S::kRevoked, kUser, 1},
      {"@revoked with another key leaves this one known",
       "@revoked * " + b + "\n127.0.0.1 " + a + "\n", "", "127.0.0.1", 22, S::kKnown, kUser, 2},
      {"@revoked whose key cannot be read may hold this key",
       "127.0.0.1 " + a + "\n@revoked * ssh-ed25519 AAAA%%%%\n", "", "127.0.0.1", 22,
       S::kUnreadable, kUser, 2},
      {"@cert-authority naming the host is refused: certificates are not verified",
       "@cert-authority 127.0.0.* " + b + "\n", "", "127.0.0.1", 22, S::kCertAuthority, kUser, 1},
      {"@cert-authority yields to a line with the very key",
       "@cert-authority * " + b + "\n127.0.0.1 " + a + "\n", "", "127.0.0.1", 22, S::kKnown,
       kUser, 2},
      {"@cert-authority is no key of the host: a plain other key is still changed",
       "@cert-authority * " + a + "\n127.0.0.1 " + b + "\n", "", "127.0.0.1", 22, S::kChanged,
       kUser, 2},
      {"hashed name with its port matches", std::string(kHashedPort2222) + " " + b + "\n", "",
       "127.0.0.1", 2222, S::kChanged, kUser, 1},
      {"hashed name is compared without case", std::string(kHashedRouterLan) + " " + a + "\n", "",
       "Router.LAN", 22, S::kKnown, kUser, 1},
      {"hashed name of another port does not match", std::string(kHashedPort2222) + " " + b + "\n",
       "", "127.0.0.1", 2223, S::kUnknown, nullptr, 0},
      {"hashed name that cannot be decoded cannot be judged: refused",
       "|1|not-base64|x= " + a + "\n", "", "127.0.0.1", 22, S::kUnreadable, kUser, 1},
      {"hash of another scheme cannot be judged: refused",
       "|2|b+9cYotBQFFVooz9fEvLbSW5/Rs=|BojKc5A9RKB850aOGRqAelNwnuQ= " + a + "\n", "",
       "127.0.0.1", 22, S::kUnreadable, kUser, 1},
      {"a plain name matches port 22 only", "127.0.0.1 " + b + "\n", "", "127.0.0.1", 2222,
       S::kUnknown, nullptr, 0},
      {"[host]:port matches that port", "[127.0.0.1]:2222 " + b + "\n", "", "127.0.0.1", 2222,
       S::kChanged, kUser, 1},
      {"[host]:port matches no other port", "[127.0.0.1]:2222 " + b + "\n", "", "127.0.0.1",
       22, S::kUnknown, nullptr, 0},
      {"comma list: a later name matches", "router,127.0.0.1 " + b + "\n", "", "127.0.0.1", 22,
       S::kChanged, kUser, 1},
      {"wildcard ? and *", "127.0.0.? " + b + "\n[127.*]:22?? " + a + "\n", "", "127.0.0.1",
       2222, S::kKnown, kUser, 2},
      {"* matches a bracketed name too", "* " + b + "\n", "", "127.0.0.1", 2222, S::kChanged,
       kUser, 1},
      {"names are compared without case", "ROUTER.lan " + b + "\n", "", "router.LAN", 22,
       S::kChanged, kUser, 1},
      {"negation cancels the line", "*,!127.0.0.1 " + b + "\n", "", "127.0.0.1", 22,
       S::kUnknown, nullptr, 0},
      {"negation cancels even after a positive match", "127.0.0.1,!127.0.0.* " + b + "\n", "",
       "127.0.0.1", 22, S::kUnknown, nullptr, 0},
      {"negated other name leaves the line in force", "*,!10.0.0.1 " + b + "\n", "",
       "127.0.0.1", 22, S::kChanged, kUser, 1},
      {"garbage key on a line naming the host refuses, even beside the right key",
       "127.0.0.1 " + a + "\n127.0.0.1 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5*garbage\n", "",
       "127.0.0.1", 22, S::kUnreadable, kUser, 2},
      {"a host with no key field refuses", "127.0.0.1\n", "", "127.0.0.1", 22, S::kUnreadable,
       kUser, 1},
      {"a type name its blob contradicts refuses", "127.0.0.1 ssh-rsa " + kServer + "\n", "",
       "127.0.0.1", 22, S::kUnreadable, kUser, 1},
      {"an unknown marker on a line naming the host refuses",
       "@trusted 127.0.0.1 " + a + "\n", "", "127.0.0.1", 22, S::kUnreadable, kUser, 1},
      {"garbage naming other hosts is ignored",
       "other ssh-ed25519 @@@\n\x01\x02\xff binary\n@trusted other " + a + "\n127.0.0.1 " + a +
           "\n",
       "", "127.0.0.1", 22, S::kKnown, kUser, 4},
      {"the global file alone is read", "", "127.0.0.1 " + b + "\n", "127.0.0.1", 22,
       S::kChanged, kGlobal, 1},
      {"both files count together", "127.0.0.1 " + b + "\n", "127.0.0.1 " + a + "\n",
       "127.0.0.1", 22, S::kKnown, kGlobal, 1},
      {"a file without a final line feed", "127.0.0.1 " + b, "", "127.0.0.1", 22, S::kChanged,
       kUser, 1},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.fault);
    const std::vector<KnownHostsText> files = {{kUser, true, row.user},
                                               {kGlobal, true, row.global}};
    const HostKeyVerdict verdict = CheckHostKey(files, row.host, row.port, kEd, kServer);
    EXPECT_EQ(verdict.status, row.status);
    EXPECT_EQ(verdict.file, row.file != nullptr ? row.file : "");
    EXPECT_EQ(verdict.line, row.line);
    EXPECT_EQ(HostKeyAccepted(verdict), row.status == S::kKnown || row.status == S::kUnknown);
  }
}

TEST(KnownHostsTest, AFileThatCannotBeReadRefusesAndAMissingOneListsNothing) {
  namespace fs = std::filesystem;
  const fs::path base =
      fs::temp_directory_path() /
      ("known_hosts_test." +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  ASSERT_TRUE(fs::create_directory(base));
  const std::string dir = base.string();
  std::ofstream(dir + "/known_hosts") << "127.0.0.1 ssh-ed25519 " + kServer + "\n";
  ASSERT_TRUE(fs::create_directory(dir + "/a_folder"));
  const std::vector<KnownHostsText> files =
      ReadKnownHostsFiles({dir + "/missing", dir + "/known_hosts", dir + "/a_folder"});
  ASSERT_EQ(files.size(), 3u);
  EXPECT_TRUE(files[0].readable);
  EXPECT_TRUE(files[1].readable);
  EXPECT_FALSE(files[2].readable);
  const HostKeyVerdict verdict = CheckHostKey(files, "127.0.0.1", 22, kEd, kServer);
  EXPECT_EQ(verdict.status, HostKeyStatus::kUnreadable);
  EXPECT_EQ(HostKeyReason(verdict),
            "the router's host key is unverifiable, a known_hosts file cannot be read: " + dir +
                "/a_folder");
  EXPECT_EQ(CheckHostKey({files[0], files[1]}, "127.0.0.1", 22, kEd, kServer).status,
            HostKeyStatus::kKnown);
  fs::remove_all(base);
}

TEST(KnownHostsTest, ReasonNamesTheFileAndLine) {
  const struct {
    HostKeyStatus status;
    const char* reason;
  } kCases[] = {
      {HostKeyStatus::kKnown, ""},
      {HostKeyStatus::kUnknown, ""},
      {HostKeyStatus::kChanged, "the router's host key has changed: /root/.ssh/known_hosts line 3"},
      {HostKeyStatus::kOtherType,
       "the router's host key is of another type than listed: /root/.ssh/known_hosts line 3"},
      {HostKeyStatus::kRevoked, "the router's host key is revoked: /root/.ssh/known_hosts line 3"},
      {HostKeyStatus::kCertAuthority,
       "the router's host key is unverifiable, a certificate authority is listed: "
       "/root/.ssh/known_hosts line 3"},
      {HostKeyStatus::kUnreadable,
       "the router's host key is unverifiable, an entry cannot be read: "
       "/root/.ssh/known_hosts line 3"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(HostKeyReason(HostKeyVerdict{c.status, "/root/.ssh/known_hosts", 3}), c.reason);
  }
}

TEST(KnownHostsTest, ServerKeyThatCannotBeReadIsRefused) {
  const std::vector<KnownHostsText> files = {{kUser, true, ""}};
  EXPECT_EQ(CheckHostKey(files, "127.0.0.1", 22, kEd, "%%%%").status, HostKeyStatus::kUnreadable);
  EXPECT_EQ(CheckHostKey(files, "127.0.0.1", 22, kEcdsa, kServer).status,
            HostKeyStatus::kUnreadable);
}

TEST(KnownHostsTest, KnownTypesAreListedInFileOrderForTheKeyExchange) {
  const std::vector<KnownHostsText> files = {
      {kUser, true,
       "@revoked * ssh-rsa x\n127.0.0.1\t" + kEcdsa + " " + kEcdsaKey + "\r\n" +
           "@cert-authority 127.0.0.1 " + kEd + " " + kServer + "\nother " + kEd + " " +
           kServer + "\n"},
      {kGlobal, true, "127.0.0.1 " + kEd + " " + kOther + "\n127.0.0.1 " + kEcdsa + " " +
                          kEcdsaKey + "\n"},
  };
  EXPECT_EQ(KnownHostKeyTypes(files, "127.0.0.1", 22), (std::vector<std::string>{kEcdsa, kEd}));
  EXPECT_TRUE(KnownHostKeyTypes(files, "127.0.0.1", 2222).empty());
}

// The line recording a new host: ssh-keygen's hashing from the same salt,
// [host]:port for another port than 22, and found again by the reader.
TEST(KnownHostsTest, RecordedEntryIsOpenSshsAndReadsBack) {
  const uint8_t salt[kHashSaltBytes] = {0x6f, 0xef, 0x5c, 0x62, 0x8b, 0x41, 0x40, 0x51, 0x55, 0xa2,
                                         0x8c, 0xfd, 0x7c, 0x4b, 0xcb, 0x6d, 0x25, 0xb9, 0xfd, 0x1b};
  const std::string hashed = KnownHostsEntry("127.0.0.1", 2222, kEd, kServer, salt);
  EXPECT_EQ(hashed, std::string(kHashedPort2222) + " " + kEd + " " + kServer + "\n");
  EXPECT_EQ(KnownHostsEntry("Router.LAN", 22, kEd, kServer, nullptr),
            "router.lan " + kEd + " " + kServer + "\n");
  EXPECT_EQ(KnownHostsEntry("10.0.0.1", 2200, kEd, kServer, nullptr),
            "[10.0.0.1]:2200 " + kEd + " " + kServer + "\n");
  for (const std::string& text : {hashed, KnownHostsEntry("127.0.0.1", 2222, kEd, kServer,
                                                          nullptr)}) {
    EXPECT_EQ(CheckHostKey({{kUser, true, text}}, "127.0.0.1", 2222, kEd, kServer).status,
              HostKeyStatus::kKnown);
  }
}

}  // namespace
