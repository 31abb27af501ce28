#ifndef SSH_SSH_LIBSSH_PEER_H_
#define SSH_SSH_LIBSSH_PEER_H_

// Shared by the files built on libssh (see ssh_libssh_session.h) and
// ssh_libssh_peer.cc, which keeps the router's address and host key;
// nothing else includes it.

#include <libssh/libssh.h>

#include <string>
#include <vector>

/// Keeps the address of the session's connected socket and the host key it
/// showed, for SshLastPeer on the calling thread.
void RememberSessionPeer(ssh_session session);

/// Asks the calling thread's SshPeerCheck about the router at the other end
/// of the connected socket fd; true when there is no check or it lets the
/// session go on, else false with reason.
bool PeerAllowed(socket_t fd, std::string* reason);

/// The host key algorithms to ask for: those of the given key types first
/// (an RSA key signing with SHA-2), then libssh's defaults.
std::string HostKeyAlgorithmsPreferring(const std::vector<std::string>& keyTypes);

#endif  // SSH_SSH_LIBSSH_PEER_H_
