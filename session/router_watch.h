#ifndef SESSION_ROUTER_WATCH_H_
#define SESSION_ROUTER_WATCH_H_

// Waiting for a rebooted router: probes its SSH port until it has gone down
// and serves SSH again, then checks its host key with a key exchange alone.
// A probe is a TCP connect and a read of the server's identification line,
// nothing more: no key exchange, no credentials.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "session/router_return.h"
#include "ssh/ssh_peer.h"

/// Receives the progress lines (when waiting starts, when the router went
/// down, when it is back) as they happen; context is the caller's.
using ReturnReport = void (*)(const std::string& line, void* context);

/// Waits at most seconds from answeredMs (MonotonicMs when the answer was
/// delivered) for the router at peer's address to go down and come back
/// showing peer's host key. Probes the address the session used; resolves
/// no name. One router per call, nothing shared between calls; report may
/// be null.
RouterReturn WaitForRouterReturn(const SshPeer& peer, int32_t seconds, int64_t answeredMs,
                                 ReturnReport report, void* context);

/// Many routers' waits at once, for a fleet. One thread probes every router
/// it watches, each at the single wait's pace and against its own deadline;
/// the key checks of routers that serve SSH again run on up to checkers
/// threads. Threads grow with checkers, not with the routers watched; each
/// watched router costs its probes' sockets and a few hundred bytes. A probe
/// this machine could not start (no socket or port free) is no evidence
/// either way and is tried again at its next time.
class ReturnWatchPool {
 public:
  /// Called on the pool's own thread with each router's verdict, as
  /// WaitForRouterReturn would return it.
  using Done = std::function<void(size_t id, const RouterReturn& verdict)>;

  ReturnWatchPool(int checkers, Done done);
  /// Ends the watches still running (their done is not called).
  ~ReturnWatchPool();
  ReturnWatchPool(const ReturnWatchPool&) = delete;
  ReturnWatchPool& operator=(const ReturnWatchPool&) = delete;

  /// Starts watching router id (any thread may call it), as
  /// WaitForRouterReturn(peer, seconds, answeredMs) would.
  void Watch(size_t id, const SshPeer& peer, int32_t seconds, int64_t answeredMs);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

#endif  // SESSION_ROUTER_WATCH_H_
