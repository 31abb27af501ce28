// The router's address and host key kept from the session, and the key
// exchange alone that checks the key once the router is back; on libssh 0.10.

#include "ssh/ssh_libssh_peer.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/numbers.h"
#include "ssh/ssh_peer.h"
#include "ssh/ssh_thread_state.h"
#include "ssh/tcp_connect.h"
#include "ssh_files/ssh_config.h"
#include "ssh_files/ssh_files.h"

namespace {

// The longest one wait for the server lasts before the deadline is looked
// at again.
constexpr int kLongestWaitMs = 1000;


// The host key the session shows, as known_hosts writes it.
bool ServerKey(ssh_session session, std::string* type, std::string* base64Key) {
  ssh_key key = nullptr;
  char* base64 = nullptr;
  const bool ok = ssh_get_server_publickey(session, &key) == SSH_OK &&
                  ssh_pki_export_pubkey_base64(key, &base64) == SSH_OK;
  if (ok) {
    *type = ssh_key_type_to_char(ssh_key_type(key));
    *base64Key = base64;
  }
  ssh_string_free_char(base64);
  ssh_key_free(key);
  return ok;
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

// A MAC to ask for: an AEAD cipher's (or none) is no option of its own.
bool OwnMac(const std::string& mac) {
  return !mac.empty() && mac.rfind("aead-", 0) != 0 && mac != "none";
}

// Asks for what the session agreed on; an option libssh does not take is
// left at its default.
void AskAsBefore(ssh_session session, const SshPeer& peer) {
  if (!peer.keyExchange.empty()) {
    ssh_options_set(session, SSH_OPTIONS_KEY_EXCHANGE, peer.keyExchange.c_str());
  }
  if (!peer.cipherOut.empty()) {
    ssh_options_set(session, SSH_OPTIONS_CIPHERS_C_S, peer.cipherOut.c_str());
  }
  if (!peer.cipherIn.empty()) {
    ssh_options_set(session, SSH_OPTIONS_CIPHERS_S_C, peer.cipherIn.c_str());
  }
  if (OwnMac(peer.macOut)) ssh_options_set(session, SSH_OPTIONS_HMAC_C_S, peer.macOut.c_str());
  if (OwnMac(peer.macIn)) ssh_options_set(session, SSH_OPTIONS_HMAC_S_C, peer.macIn.c_str());
}

}  // namespace

std::string HostKeyAlgorithmsPreferring(const std::vector<std::string>& keyTypes) {
  std::string algorithms;
  for (const std::string& type : keyTypes) {
    // An RSA key signs with SHA-2; the SHA-1 signature stays off.
    algorithms += (type == "ssh-rsa" ? "rsa-sha2-512,rsa-sha2-256" : type) + ",";
  }
  return algorithms + kDefaultHostKeyAlgorithms;
}

void RememberSessionPeer(ssh_session session) {
  SshThreadState& state = ThisThreadState();
  state.peerKnown = false;
  state.peer = SshPeer();
  SshPeer& peer = state.peer;
  sockaddr_storage address = {};
  socklen_t length = sizeof address;
  const socket_t fd = ssh_get_fd(session);
  // Through a proxy command the socket leads to the proxy, not the router:
  // only a TCP peer is the router's own address.
  if (fd == SSH_INVALID_SOCKET ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      (address.ss_family != AF_INET && address.ss_family != AF_INET6) ||
      length > static_cast<socklen_t>(sizeof peer.address) ||
      !ServerKey(session, &peer.hostKeyType, &peer.hostKey)) {
    return;
  }
  peer.keyExchange = Text(ssh_get_kex_algo(session));
  peer.cipherOut = Text(ssh_get_cipher_out(session));
  peer.cipherIn = Text(ssh_get_cipher_in(session));
  peer.macOut = Text(ssh_get_hmac_out(session));
  peer.macIn = Text(ssh_get_hmac_in(session));
  std::memcpy(peer.address, &address, static_cast<size_t>(length));
  peer.addressLength = static_cast<int32_t>(length);
  state.peerKnown = true;
}

void SshSetPeerCheck(SshPeerCheck check) { ThisThreadState().peerCheck = std::move(check); }

bool PeerAllowed(socket_t fd, std::string* reason) {
  if (!ThisThreadState().peerCheck) return true;
  sockaddr_storage address = {};
  socklen_t length = sizeof address;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return true;
  if (address.ss_family == AF_INET6) {
    // Reached through a dual-stack socket, an IPv4 router is still itself.
    const auto* six = reinterpret_cast<const sockaddr_in6*>(&address);
    if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
      sockaddr_in four = {};
      four.sin_family = AF_INET;
      four.sin_port = six->sin6_port;
      std::memcpy(&four.sin_addr, &six->sin6_addr.s6_addr[12], sizeof four.sin_addr);
      std::memset(&address, 0, sizeof address);
      std::memcpy(&address, &four, sizeof four);
      length = sizeof four;
    }
  }
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host,
                  service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return true;
  }
  return ThisThreadState().peerCheck(std::string(host) + " " + service, reason);
}

bool SshLastPeer(SshPeer* peer) {
  const SshThreadState& state = ThisThreadState();
  if (!state.peerKnown) return false;
  *peer = state.peer;
  return true;
}

bool SshFetchHostKey(const SshPeer& peer, int64_t timeoutMs, std::string* keyType,
                     std::string* key) {
  if (peer.addressLength <= 0 || timeoutMs <= 0) return false;
  // The address as text for libssh, which takes a numeric one as it is,
  // without asking a name server.
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(peer.address),
                  static_cast<socklen_t>(peer.addressLength), host, sizeof host, service,
                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  ssh_session session = ssh_new();
  if (session == nullptr) return false;
  const int noLog = SSH_LOG_NOLOG;
  const bool processConfig = false;
  const unsigned int port = static_cast<unsigned int>(std::atoi(service));
  const long seconds = static_cast<long>(std::max<int64_t>(timeoutMs / 1000, 1));
  // The key is compared, not trusted on its signature alone: an old RSA
  // router that signs only with SHA-1 is let show it.
  const std::string algorithms =
      HostKeyAlgorithmsPreferring({peer.hostKeyType}) +
      (peer.hostKeyType == "ssh-rsa" ? ",ssh-rsa" : "");
  const int64_t deadline = MonotonicMs() + timeoutMs;
  // The connection is this program's own, with the options every socket to
  // a router has; libssh would open one without them.
  const TcpConnection tcp = TcpConnect(host, static_cast<int>(port), deadline);
  socket_t fd = static_cast<socket_t>(tcp.fd);
  bool fetched = false;
  if (tcp.connected &&
      ssh_options_set(session, SSH_OPTIONS_LOG_VERBOSITY, &noLog) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_HOST, host) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_PORT, &port) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, NullPath()) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, NullPath()) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_HOSTKEYS, algorithms.c_str()) == 0 &&
      ssh_options_set(session, SSH_OPTIONS_FD, &fd) == 0) {
    AskAsBefore(session, peer);
    // Non-blocking, so the deadline holds for the whole exchange; each wait
    // ends when the server's bytes come.
    ssh_set_blocking(session, 0);
    int rc = ssh_connect(session);
    while (rc == SSH_AGAIN) {
      const int64_t left = deadline - MonotonicMs();
      if (left <= 0) break;
      WaitSocket(tcp.fd, false, static_cast<int>(std::min<int64_t>(left, kLongestWaitMs)));
      rc = ssh_connect(session);
    }
    fetched = rc == SSH_OK && ServerKey(session, keyType, key);
  }
  ssh_disconnect(session);
  ssh_free(session);
  // libssh never closes a socket it was given.
  if (tcp.connected) CloseTcpSocket(tcp.fd);
  // libssh and the crypto library below it may change the floating-point
  // environment; the port conversion needs its own mode back.
  SetFloatingPointMode();
  return fetched;
}
