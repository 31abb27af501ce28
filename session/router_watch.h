#ifndef SESSION_ROUTER_WATCH_H_
#define SESSION_ROUTER_WATCH_H_

// Waiting for a rebooted router: probes its SSH port until it has gone down
// and serves SSH again, then checks its host key with a key exchange alone.
// A probe is a TCP connect and a read of the server's identification line,
// nothing more: no key exchange, no credentials.

#include <cstdint>
#include <string>

#include "session/router_return.h"
#include "session/ssh_peer.h"

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

#endif  // SESSION_ROUTER_WATCH_H_
