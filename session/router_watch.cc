#include "session/router_watch.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/numbers.h"
#include "ssh/socket.h"

namespace {

// How often the fleet's prober looks for new routers and for the answers
// of key checks, when no probe wakes it sooner.
constexpr int64_t kPoolWakeMs = 20;

// An identification line longer than this (with the lines a server may
// send before it) is not waited for.
constexpr size_t kMaxGreetingBytes = 4096;

enum class ProbeState { kNotStarted, kConnecting, kReading, kServing, kDown };

// One probe in flight: a TCP connect, then the server's first lines until
// one begins with "SSH-".
struct Probe {
  TcpSocket fd = kNoSocket;
  int64_t startMs = 0;
  ProbeState state = ProbeState::kNotStarted;
  std::string greeting;
};

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

// Reads what the server sent: serving once a line begins with "SSH-", down
// when the connection ends or breaks first.
void ReadGreeting(Probe* probe) {
  char bytes[512];
  const int n = SocketReceive(probe->fd, bytes, sizeof bytes);
  if (n == kReceiveAgain) return;
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

// The pool's shared state. The prober thread owns the watches; the
// checkers take key checks from its queue and hand the answers back.
struct ReturnWatchPool::State {
  struct KeyCheck {
    size_t id = 0;
    SshPeer peer;
    int64_t deadlineMs = 0;
    bool shown = false;
    bool sameKey = false;
  };
  struct Watched {
    size_t id = 0;
    std::unique_ptr<Watcher> watcher;
    bool checking = false;  // its key is being checked; it has no probes
  };

  Done done;
  std::mutex mutex;
  std::condition_variable checkWanted;
  bool stopping = false;
  // Under the mutex: routers handed over and not yet taken by the prober,
  // key checks waiting for a checker, and the checkers' answers.
  std::vector<Watched> arrived;
  std::deque<KeyCheck> checks;
  std::deque<KeyCheck> answers;
  std::thread prober;
  std::vector<std::thread> checkers;

  void Probe();
  void Check();
};

void ReturnWatchPool::State::Probe() {
  SetFloatingPointMode();
  std::vector<Watched> watching;
  for (;;) {
    std::deque<KeyCheck> checked;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;  // whatever is still watched ends with the pool
      for (Watched& entry : arrived) watching.push_back(std::move(entry));
      arrived.clear();
      checked.swap(answers);
    }
    const int64_t nowMs = MonotonicMs();
    std::vector<KeyCheck> wanted;
    std::vector<Watcher*> polled;
    for (size_t i = 0; i < watching.size();) {
      Watched& entry = watching[i];
      Watcher::Event event = Watcher::Event::kNone;
      for (const KeyCheck& answer : checked) {
        if (answer.id != entry.id) continue;
        entry.checking = false;
        event = entry.watcher->KeyChecked(answer.shown, answer.sameKey);
      }
      while (!entry.checking && event != Watcher::Event::kVerdict) {
        event = entry.watcher->Advance(nowMs);
        if (event == Watcher::Event::kNone) break;
        if (event == Watcher::Event::kCheckKey) {
          KeyCheck check;
          check.id = entry.id;
          check.peer = entry.watcher->peer();
          check.deadlineMs = entry.watcher->watch().deadlineMs;
          wanted.push_back(std::move(check));
          entry.checking = true;
        }
      }
      if (event == Watcher::Event::kVerdict) {
        done(entry.id, entry.watcher->verdict());
        watching.erase(watching.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      if (!entry.checking) polled.push_back(entry.watcher.get());
      ++i;
    }
    if (!wanted.empty()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        for (KeyCheck& check : wanted) checks.push_back(std::move(check));
      }
      checkWanted.notify_all();
    }
    // New routers and the checkers' answers are looked for this often.
    PollWatchers(polled, kPoolWakeMs);
  }
}

void ReturnWatchPool::State::Check() {
  SetFloatingPointMode();
  for (;;) {
    KeyCheck check;
    {
      std::unique_lock<std::mutex> lock(mutex);
      checkWanted.wait(lock, [&] { return stopping || !checks.empty(); });
      if (stopping) return;
      check = std::move(checks.front());
      checks.pop_front();
    }
    check.shown = FetchSameKey(check.peer, check.deadlineMs, &check.sameKey);
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back(std::move(check));
  }
}

ReturnWatchPool::ReturnWatchPool(int checkers, Done done) : state_(new State) {
  state_->done = std::move(done);
  state_->prober = std::thread(&State::Probe, state_.get());
  for (int i = 0; i < std::max(checkers, 1); ++i) {
    state_->checkers.emplace_back(&State::Check, state_.get());
  }
}

ReturnWatchPool::~ReturnWatchPool() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->checkWanted.notify_all();
  state_->prober.join();
  for (std::thread& checker : state_->checkers) checker.join();
}

void ReturnWatchPool::Watch(size_t id, const SshPeer& peer, int32_t seconds,
                            int64_t answeredMs) {
  State::Watched entry;
  entry.id = id;
  entry.watcher = std::make_unique<Watcher>(peer, seconds, answeredMs, MonotonicMs());
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->arrived.push_back(std::move(entry));
}
