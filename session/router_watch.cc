#include "session/router_watch.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <deque>
#include <vector>

namespace {

#if defined(_WIN32)
using ProbeSocket = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr ProbeSocket kNoSocket = INVALID_SOCKET;
constexpr int kCloseOnExec = 0;  // nothing is inherited unless asked for
constexpr short kReadable = POLLRDNORM;
constexpr short kWritable = POLLWRNORM;
void CloseProbeSocket(ProbeSocket fd) { closesocket(fd); }
bool MakeNonBlocking(ProbeSocket fd) {
  u_long on = 1;
  return ioctlsocket(fd, FIONBIO, &on) == 0;
}
bool ConnectPending() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool ReadPending() { return WSAGetLastError() == WSAEWOULDBLOCK; }
int PollSockets(PollEntry* entries, size_t count, int ms) {
  if (count == 0) {
    Sleep(static_cast<DWORD>(ms));
    return 0;
  }
  return WSAPoll(entries, static_cast<ULONG>(count), ms);
}
#else
using ProbeSocket = int;
using PollEntry = pollfd;
constexpr ProbeSocket kNoSocket = -1;
// Made closed-on-exec from the start: a proxy command another session's
// thread starts meanwhile must not inherit it and hold the connection open.
constexpr int kCloseOnExec = SOCK_CLOEXEC;
constexpr short kReadable = POLLIN;
constexpr short kWritable = POLLOUT;
void CloseProbeSocket(ProbeSocket fd) { close(fd); }
bool MakeNonBlocking(ProbeSocket fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool ConnectPending() { return errno == EINPROGRESS || errno == EINTR; }
bool ReadPending() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
int PollSockets(PollEntry* entries, size_t count, int ms) {
  return poll(entries, static_cast<nfds_t>(count), ms);
}
#endif

// An identification line longer than this (with the lines a server may
// send before it) is not waited for.
constexpr size_t kMaxGreetingBytes = 4096;

enum class ProbeState { kConnecting, kReading, kServing, kDown };

// One probe in flight: a TCP connect, then the server's first lines until
// one begins with "SSH-".
struct Probe {
  ProbeSocket fd = kNoSocket;
  int64_t startMs = 0;
  ProbeState state = ProbeState::kDown;
  std::string greeting;
};

void EndProbe(Probe* probe, ProbeState state) {
  if (probe->fd != kNoSocket) CloseProbeSocket(probe->fd);
  probe->fd = kNoSocket;
  probe->state = state;
}

Probe StartProbe(const SshPeer& peer, int64_t nowMs) {
  Probe probe;
  probe.startMs = nowMs;
  const sockaddr* address = reinterpret_cast<const sockaddr*>(peer.address);
  probe.fd = socket(address->sa_family, SOCK_STREAM | kCloseOnExec, 0);
  if (probe.fd == kNoSocket) return probe;
  if (!MakeNonBlocking(probe.fd)) {
    EndProbe(&probe, ProbeState::kDown);
    return probe;
  }
  if (connect(probe.fd, address, static_cast<socklen_t>(peer.addressLength)) == 0) {
    probe.state = ProbeState::kReading;
  } else if (ConnectPending()) {
    probe.state = ProbeState::kConnecting;
  } else {
    EndProbe(&probe, ProbeState::kDown);  // refused at once
  }
  return probe;
}

bool Pending(const Probe& probe) {
  return probe.state == ProbeState::kConnecting || probe.state == ProbeState::kReading;
}

// Reads what the server sent: serving once a line begins with "SSH-", down
// when the connection ends or breaks first.
void ReadGreeting(Probe* probe) {
  char bytes[512];
  const int n = static_cast<int>(recv(probe->fd, bytes, sizeof bytes, 0));
  if (n < 0 && ReadPending()) return;
  if (n <= 0) {
    EndProbe(probe, ProbeState::kDown);
    return;
  }
  probe->greeting.append(bytes, static_cast<size_t>(n));
  size_t lineStart = 0;
  for (size_t end = probe->greeting.find('\n'); end != std::string::npos;
       end = probe->greeting.find('\n', lineStart)) {
    if (probe->greeting.compare(lineStart, 4, "SSH-") == 0) {
      EndProbe(probe, ProbeState::kServing);
      return;
    }
    lineStart = end + 1;
  }
  if (probe->greeting.size() > kMaxGreetingBytes) EndProbe(probe, ProbeState::kDown);
}

// Moves one probe on after a poll: its connect completed or failed, or bytes
// (or the end) arrived; past its time it counts as down.
void AdvanceProbe(Probe* probe, short events, int64_t nowMs) {
  if (probe->state == ProbeState::kConnecting && events != 0) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(probe->fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
            0 ||
        error != 0) {
      EndProbe(probe, ProbeState::kDown);
      return;
    }
    probe->state = ProbeState::kReading;
  } else if (probe->state == ProbeState::kReading && events != 0) {
    ReadGreeting(probe);
  }
  if (Pending(*probe) && nowMs - probe->startMs >= kProbeTimeoutMs) {
    EndProbe(probe, ProbeState::kDown);
  }
}

void EndAll(std::deque<Probe>* probes) {
  for (Probe& probe : *probes) EndProbe(&probe, ProbeState::kDown);
  probes->clear();
}

// Waits for the probes' sockets until the next thing is due: a probe to
// start, one to time out, or the deadline.
void AwaitProbes(std::deque<Probe>* probes, const ReturnWatch& watch, int64_t nowMs) {
  int64_t until = std::min(watch.nextProbeMs, watch.deadlineMs);
  std::vector<PollEntry> entries;
  std::vector<Probe*> polled;
  for (Probe& probe : *probes) {
    if (!Pending(probe)) continue;
    until = std::min(until, probe.startMs + kProbeTimeoutMs);
    PollEntry entry = {};
    entry.fd = probe.fd;
    entry.events = probe.state == ProbeState::kConnecting ? kWritable : kReadable;
    entries.push_back(entry);
    polled.push_back(&probe);
  }
  const int ms = static_cast<int>(std::clamp<int64_t>(until - nowMs, 0, kProbeIntervalMs));
  const int ready = PollSockets(entries.data(), entries.size(), ms);
  const int64_t afterMs = MonotonicMs();
  for (size_t i = 0; i < polled.size(); ++i) {
    AdvanceProbe(polled[i], ready > 0 ? entries[i].revents : 0, afterMs);
  }
}

void Report(ReturnReport report, void* context, const std::string& line) {
  if (report != nullptr) report(line, context);
}

}  // namespace

RouterReturn WaitForRouterReturn(const SshPeer& peer, int32_t seconds, int64_t answeredMs,
                                 ReturnReport report, void* context) {
  if (peer.addressLength <= 0) {
    RouterReturn verdict;
    verdict.outcome = ReturnOutcome::kNoAddress;
    verdict.reason = "the router's own address is not known (it is reached through a proxy).";
    return verdict;
  }
  Report(report, context, WaitingLine(seconds));
  ReturnWatch watch;
  ReturnWatchStart(answeredMs, seconds, MonotonicMs(), &watch);
  std::deque<Probe> probes;
  for (;;) {
    // Results are taken in the order the probes started, so an old probe
    // that hung cannot undo what a newer one found.
    while (!probes.empty() && !Pending(probes.front())) {
      const Probe probe = probes.front();
      probes.pop_front();
      const ReturnStep step =
          ReturnWatchNote(&watch, probe.startMs, probe.state == ProbeState::kServing);
      if (step == ReturnStep::kWentDown) {
        Report(report, context, WentDownLine(watch.downAtMs - watch.answeredMs));
      } else if (step == ReturnStep::kServing) {
        EndAll(&probes);
        std::string keyType;
        std::string key;
        // A server that is up but not ready for a key exchange yet is not
        // back: the probes go on.
        if (SshFetchHostKey(peer, watch.deadlineMs - MonotonicMs(), &keyType, &key)) {
          const RouterReturn verdict = ReturnWatchKeyShown(
              watch, probe.startMs, keyType == peer.hostKeyType && key == peer.hostKey);
          if (verdict.outcome == ReturnOutcome::kBack) {
            Report(report, context, BackLine(verdict.downMs, verdict.backMs));
          }
          return verdict;
        }
      }
    }
    const int64_t nowMs = MonotonicMs();
    const RouterReturn timeUp = ReturnWatchTimeUp(watch, seconds, nowMs);
    if (timeUp.outcome != ReturnOutcome::kBack) {
      EndAll(&probes);
      return timeUp;
    }
    if (ReturnWatchProbeDue(&watch, nowMs)) probes.push_back(StartProbe(peer, nowMs));
    AwaitProbes(&probes, watch, MonotonicMs());
  }
}
