#ifndef SSH_SSH_THREAD_STATE_H_
#define SSH_SSH_THREAD_STATE_H_

// What the SSH client keeps for each thread, as errno is kept: why its last
// call failed, where its last session went, the router it reached and the
// check asked of its sessions. A session on another thread never changes it.

#include <string>

#include "ssh/ssh_library.h"
#include "ssh/ssh_peer.h"

struct SshThreadState {
  SshFailure lastFailure = SshFailure::kNone;
  std::string lastFailureText;
  // Where the last session went (SshLastRoute).
  SshRoute route;
  bool routeKnown = false;
  // The router of the last session opened (SshLastPeer).
  SshPeer peer;
  bool peerKnown = false;
  SshPeerCheck peerCheck;
};

/// The calling thread's state, made on its first use and freed when the
/// thread ends. On Windows it is not a C++ thread_local: mingw-w64 frees a
/// thread_local's storage before running its destructor when a thread ends
/// (a crash after a fleet's job thread had finished its last router), so
/// the system's own per-thread callback frees it there.
SshThreadState& ThisThreadState();

#endif  // SSH_SSH_THREAD_STATE_H_
