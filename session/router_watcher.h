#ifndef SESSION_ROUTER_WATCHER_H_
#define SESSION_ROUTER_WATCHER_H_

// One router's watch, shared by the single wait (router_watch.cc) and the
// fleet's pool (return_watch_pool.cc); nothing else includes it.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "session/router_return.h"
#include "ssh/socket.h"
#include "ssh/ssh_peer.h"

enum class ProbeState { kNotStarted, kConnecting, kReading, kServing, kDown };

// One probe in flight: a TCP connect, then the server's first lines until
// one begins with "SSH-".
struct Probe {
  TcpSocket fd = kNoSocket;
  int64_t startMs = 0;
  ProbeState state = ProbeState::kNotStarted;
  std::string greeting;
};

/// Closes the probe's socket; the probe ends in state.
void EndProbe(Probe* probe, ProbeState state);
/// Starts a probe of peer's address; kNotStarted when this machine could
/// not start it.
Probe StartProbe(const SshPeer& peer, int64_t nowMs);
/// Whether the probe is still connecting or reading.
bool Pending(const Probe& probe);

// One router's watch: its probes in flight and where they stand against the
// time. A loop drives it (one watch in WaitForRouterReturn, many in
// ReturnWatchPool): Advance until it returns kNone, then a poll of its
// probes' sockets until NextDueMs, then Polled.
class Watcher {
 public:
  enum class Event {
    kNone,      // nothing until the next poll
    kWentDown,  // the first probe that found it down
    kCheckKey,  // serving SSH again: its host key is to be checked
    kVerdict,   // the watch has ended: verdict() holds how
  };

  Watcher(const SshPeer& peer, int32_t seconds, int64_t answeredMs, int64_t nowMs)
      : peer_(peer), seconds_(seconds) {
    ReturnWatchStart(answeredMs, seconds, nowMs, &watch_);
    if (peer.addressLength <= 0) {
      ended_ = true;
      verdict_.outcome = ReturnOutcome::kNoAddress;
      verdict_.reason = "the router's own address is not known (it is reached through a proxy).";
    }
  }
  ~Watcher() { EndAll(); }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  const SshPeer& peer() const { return peer_; }
  const ReturnWatch& watch() const { return watch_; }
  const RouterReturn& verdict() const { return verdict_; }

  Event Advance(int64_t nowMs) {
    if (ended_) return Event::kVerdict;
    // Results are taken in the order the probes started, so an old probe
    // that hung cannot undo what a newer one found.
    while (!probes_.empty() && !Pending(probes_.front())) {
      const Probe probe = probes_.front();
      probes_.pop_front();
      const ReturnStep step =
          ReturnWatchNote(&watch_, probe.startMs, probe.state == ProbeState::kServing);
      if (step == ReturnStep::kWentDown) return Event::kWentDown;
      if (step == ReturnStep::kServing) {
        EndAll();
        backAtMs_ = probe.startMs;
        return Event::kCheckKey;
      }
    }
    const RouterReturn timeUp = ReturnWatchTimeUp(watch_, seconds_, nowMs);
    if (timeUp.outcome != ReturnOutcome::kBack) {
      EndAll();
      return End(timeUp);
    }
    if (ReturnWatchProbeDue(&watch_, nowMs)) {
      Probe probe = StartProbe(peer_, nowMs);
      if (probe.state != ProbeState::kNotStarted) probes_.push_back(probe);
    }
    return Event::kNone;
  }

  // After kCheckKey: whether the router showed a key, and whether it was the
  // one from before. A server that is up but not ready for a key exchange
  // yet is not back: the probes go on.
  Event KeyChecked(bool shown, bool sameKey) {
    if (!shown) return Event::kNone;
    return End(ReturnWatchKeyShown(watch_, backAtMs_, sameKey));
  }

  // Adds the pending probes' sockets to a poll and brings *untilMs forward
  // to when this watch next needs attention.
  void AddToPoll(std::vector<SocketPoll>* entries, std::vector<Probe*>* polled,
                 int64_t* untilMs) {
    *untilMs = std::min({*untilMs, watch_.nextProbeMs, watch_.deadlineMs});
    for (Probe& probe : probes_) {
      if (!Pending(probe)) continue;
      *untilMs = std::min(*untilMs, probe.startMs + kProbeTimeoutMs);
      entries->push_back({probe.fd, probe.state == ProbeState::kConnecting, false});
      polled->push_back(&probe);
    }
  }

 private:
  Event End(const RouterReturn& verdict) {
    ended_ = true;
    verdict_ = verdict;
    return Event::kVerdict;
  }

  void EndAll() {
    for (Probe& probe : probes_) EndProbe(&probe, ProbeState::kDown);
    probes_.clear();
  }

  const SshPeer peer_;
  const int32_t seconds_;
  ReturnWatch watch_;
  std::deque<Probe> probes_;
  bool ended_ = false;
  RouterReturn verdict_;
  int64_t backAtMs_ = 0;
};

/// One poll over the given watches' probes, at most until the first of
/// them needs attention (never longer than maxMs), then each probe moved on.
void PollWatchers(const std::vector<Watcher*>& watchers, int64_t maxMs);

/// A key exchange alone with the router by deadlineMs: true when it showed
/// a key, *sameKey whether it was the one from before.
bool FetchSameKey(const SshPeer& peer, int64_t deadlineMs, bool* sameKey);

#endif  // SESSION_ROUTER_WATCHER_H_
