// Waiting for one rebooted router: its probes, its watch, and the key
// check once it serves SSH again.

#include "session/router_watch.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "session/router_watcher.h"
#include "ssh/socket.h"
#include "ssh/version_line.h"

namespace {

// An identification line longer than this (with the lines a server may
// send before it) is not waited for.
constexpr size_t kMaxGreetingBytes = 4096;

}  // namespace

void EndProbe(Probe* probe, ProbeState state) {
  CloseTcpSocket(probe->fd);
  probe->fd = kNoSocket;
  probe->state = state;
}

// A probe that could not start for want of something on this machine
// (sockets, ports, memory) says nothing about the router: it is left out,
// and the next one is tried at its time.
Probe StartProbe(const SshPeer& peer, int64_t nowMs) {
  Probe probe;
  probe.startMs = nowMs;
  const sockaddr* address = reinterpret_cast<const sockaddr*>(peer.address);
  int error = 0;
  probe.fd = OpenTcpSocket(address->sa_family, &error);
  if (probe.fd == kNoSocket) return probe;  // not started
  const int started = StartConnect(probe.fd, address, static_cast<size_t>(peer.addressLength));
  if (started == 0) {
    probe.state = ProbeState::kReading;
  } else if (started == kConnectPending) {
    probe.state = ProbeState::kConnecting;
  } else {
    EndProbe(&probe, LocalShortage(started) ? ProbeState::kNotStarted : ProbeState::kDown);
  }
  return probe;
}

bool Pending(const Probe& probe) {
  return probe.state == ProbeState::kConnecting || probe.state == ProbeState::kReading;
}

namespace {

// Reads what the server sent: serving once its identification line is
// there, down when the connection ends or breaks first.
void ReadGreeting(Probe* probe) {
  char bytes[512];
  const int n = SocketReceive(probe->fd, bytes, sizeof bytes);
  if (n == kReceiveAgain) return;
  if (n <= 0) {
    EndProbe(probe, ProbeState::kDown);
    return;
  }
  probe->greeting.append(bytes, static_cast<size_t>(n));
  size_t end = 0;
  const VersionLineScan scan = FindVersionLine(probe->greeting, &end);
  if (scan == VersionLineScan::kFound) {
    EndProbe(probe, ProbeState::kServing);
  } else if (scan == VersionLineScan::kRefused || probe->greeting.size() > kMaxGreetingBytes) {
    EndProbe(probe, ProbeState::kDown);
  }
}

// Moves one probe on after a poll: its connect completed or failed, or bytes
// (or the end) arrived; past its time it counts as down.
void AdvanceProbe(Probe* probe, bool ready, int64_t nowMs) {
  if (probe->state == ProbeState::kConnecting && ready) {
    if (ConnectResult(probe->fd) != 0) {
      EndProbe(probe, ProbeState::kDown);
      return;
    }
    probe->state = ProbeState::kReading;
  } else if (probe->state == ProbeState::kReading && ready) {
    ReadGreeting(probe);
  }
  if (Pending(*probe) && nowMs - probe->startMs >= kProbeTimeoutMs) {
    EndProbe(probe, ProbeState::kDown);
  }
}


}  // namespace

// One poll over the given watches' probes, at most until the first of them
// needs attention (never longer than maxMs), then each probe moved on.
void PollWatchers(const std::vector<Watcher*>& watchers, int64_t maxMs) {
  const int64_t nowMs = MonotonicMs();
  int64_t untilMs = nowMs + maxMs;
  std::vector<SocketPoll> entries;
  std::vector<Probe*> polled;
  for (Watcher* watcher : watchers) watcher->AddToPoll(&entries, &polled, &untilMs);
  const int ms = static_cast<int>(std::clamp<int64_t>(untilMs - nowMs, 0, maxMs));
  PollSockets(entries.data(), entries.size(), ms);
  const int64_t afterMs = MonotonicMs();
  for (size_t i = 0; i < polled.size(); ++i) AdvanceProbe(polled[i], entries[i].ready, afterMs);
}

bool FetchSameKey(const SshPeer& peer, int64_t deadlineMs, bool* sameKey) {
  std::string keyType;
  std::string key;
  if (!SshFetchHostKey(peer, deadlineMs - MonotonicMs(), &keyType, &key)) return false;
  *sameKey = keyType == peer.hostKeyType && key == peer.hostKey;
  return true;
}

namespace {

void Report(ReturnReport report, void* context, const std::string& line) {
  if (report != nullptr) report(line, context);
}

}  // namespace

RouterReturn WaitForRouterReturn(const SshPeer& peer, int32_t seconds, int64_t answeredMs,
                                 ReturnReport report, void* context) {
  Watcher watcher(peer, seconds, answeredMs, MonotonicMs());
  if (peer.addressLength <= 0) return watcher.verdict();
  Report(report, context, WaitingLine(seconds));
  for (;;) {
    Watcher::Event event = watcher.Advance(MonotonicMs());
    if (event == Watcher::Event::kWentDown) {
      Report(report, context, WentDownLine(watcher.watch().downAtMs - answeredMs));
      continue;
    }
    if (event == Watcher::Event::kCheckKey) {
      bool sameKey = false;
      const bool shown = FetchSameKey(peer, watcher.watch().deadlineMs, &sameKey);
      event = watcher.KeyChecked(shown, sameKey);
    }
    if (event == Watcher::Event::kVerdict) {
      const RouterReturn& verdict = watcher.verdict();
      if (verdict.outcome == ReturnOutcome::kBack) {
        Report(report, context, BackLine(verdict.downMs, verdict.backMs));
      }
      return verdict;
    }
    if (event == Watcher::Event::kNone) PollWatchers({&watcher}, kProbeIntervalMs);
  }
}
