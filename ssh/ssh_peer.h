#ifndef SSH_SSH_PEER_H_
#define SSH_SSH_PEER_H_

// Beside the six calls of the SSH library: the router as the calling
// thread's last session saw it, kept after the session for checking that it
// came back, and a key exchange alone with that address. The same file that
// provides the six calls provides these; the scripted stand-in has its own.

#include <cstdint>
#include <functional>
#include <string>

/// A router's address and host key as a session found them.
struct SshPeer {
  // The connected socket's peer address (a sockaddr of addressLength bytes):
  // the name was resolved once, for the session, and is not resolved again.
  uint8_t address[128] = {};
  int32_t addressLength = 0;
  std::string hostKeyType;  // e.g. "ssh-ed25519"
  std::string hostKey;      // base64, as known_hosts holds it
  // What the session agreed on, asked for again in the key exchange after
  // the reboot, so that an old router allowed by the configuration is
  // reached the same way. Empty: libssh's defaults.
  std::string keyExchange;
  std::string cipherOut;  // client to server
  std::string cipherIn;   // server to client
  std::string macOut;
  std::string macIn;
};

/// Where a session went and what it wrote, as it found them after the SSH
/// configuration: kept whether the session opened or failed.
struct SshRoute {
  std::string host;  // the name or address connected to (HostName, or as given)
  int32_t port = 0;  // the port used
  std::string user;  // the user name used
  // A router met for the first time whose key the session recorded
  // (StrictHostKeyChecking accept-new); all empty when none was.
  std::string addedName;         // as known_hosts names it: "[127.0.0.1]:2201"
  std::string addedKeyType;      // as ssh names it: "ED25519", "RSA", "ECDSA"
  std::string addedFingerprint;  // "SHA256:" and the unpadded base64 digest
  std::string addedFile;         // the known_hosts file it went into
  // A check-only session (kSshCheckOnly) records nothing: the added fields
  // then describe the key a session would have recorded, and this is true.
  bool addedWouldBe = false;
};

/// The route of the last SshConnectA on the calling thread that got as far
/// as reading the SSH configuration; false when none did.
bool SshLastRoute(SshRoute* route);

/// The router of the last session that SshConnectA opened on the calling
/// thread; false when this thread opened none. Sessions other threads open
/// meanwhile do not change it.
bool SshLastPeer(SshPeer* peer);

/// Asked of each session the calling thread opens, once its TCP connection
/// to the router is up and before anything is sent on it: peer is the
/// connected address and port as numeric text ("127.0.0.1 2222",
/// "::1 22"; an IPv4 address reached as IPv6 in its IPv4 form). False ends
/// the session there (kOther, with reason). A session through a proxy has
/// no such connection and is not asked. An empty check asks nothing.
using SshPeerCheck = std::function<bool(const std::string& peer, std::string* reason)>;
void SshSetPeerCheck(SshPeerCheck check);

/// A key exchange with the SSH server at peer's address, nothing more: no
/// authentication, no credentials. Asks for a key of peer's host key type
/// first. Fills *keyType and *key (base64) and returns true when the server
/// showed a key within timeoutMs.
bool SshFetchHostKey(const SshPeer& peer, int64_t timeoutMs, std::string* keyType,
                     std::string* key);

#endif  // SSH_SSH_PEER_H_
