// The fleet's pool of return watches: one prober thread for every router
// watched, and the key checks on a few checker threads.

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
#include "session/router_watch.h"
#include "session/router_watcher.h"

namespace {

// How often the fleet's prober looks for new routers and for the answers
// of key checks, when no probe wakes it sooner.
constexpr int64_t kPoolWakeMs = 20;

}  // namespace

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
