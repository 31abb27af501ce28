#ifndef SESSION_ROUTER_RETURN_H_
#define SESSION_ROUTER_RETURN_H_

// Knowing that a router came back from its reboot: after the answer, its SSH
// port is probed until it goes down, then until it serves SSH again, and the
// host key it shows then is checked against the one it showed before. This
// is the pure part: the /wait: value, the pace of the probes, the verdicts
// and the texts. router_watch.cc does the I/O.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/clock.h"

/// The longest wait /wait: may ask for, in seconds (the shortest is 1).
constexpr int32_t kMaxWaitSeconds = 3600;
/// Probes start this often, overlapping when one takes longer.
constexpr int64_t kProbeIntervalMs = 250;
/// A probe that has not read the server's identification line by then
/// counts as down.
constexpr int64_t kProbeTimeoutMs = 1000;

/// The seconds of a /wait: value: decimal digits only, 1 to kMaxWaitSeconds.
/// False for anything else (empty, a sign, a space, a fraction, too large).
bool ParseWaitSeconds(std::string_view text, int32_t* seconds);

/// How waiting for the router ended.
enum class ReturnOutcome {
  kBack,        // went down and came back with the same host key
  kNotDown,     // still serving SSH when the time was up
  kNotBack,     // went down and was not back when the time was up
  kKeyChanged,  // came back with another host key
  kNoAddress,   // the session left no address to probe
};

/// What waiting found. Seconds count from the answer; -1 where it did not
/// happen. reason is the line to show for a failure, empty for kBack.
struct RouterReturn {
  ReturnOutcome outcome = ReturnOutcome::kNotDown;
  int64_t downMs = -1;
  int64_t backMs = -1;
  std::string reason;
};

/// The watch over one router: where the probes stand against the time.
struct ReturnWatch {
  int64_t answeredMs = 0;
  int64_t deadlineMs = 0;  // the answer plus the wait
  int64_t nextProbeMs = 0;
  bool down = false;
  int64_t downAtMs = 0;  // start of the first probe that found it down
};

/// What a probe's result means for the watch.
enum class ReturnStep {
  kNothing,     // no change
  kWentDown,    // the first probe that found the router down
  kServing,     // down before, serving SSH now: time to check its key
};

/// Starts a watch of seconds from answeredMs; the first probe is due at once.
void ReturnWatchStart(int64_t answeredMs, int32_t seconds, int64_t nowMs, ReturnWatch* watch);

/// Whether a probe should start at nowMs; when it should, the next one is
/// due kProbeIntervalMs later (or that long after now when the loop fell
/// behind). None starts at or after the deadline.
bool ReturnWatchProbeDue(ReturnWatch* watch, int64_t nowMs);

/// Takes the result of the probe that started at startMs. Results must come
/// in the order the probes started.
ReturnStep ReturnWatchNote(ReturnWatch* watch, int64_t startMs, bool serving);

/// The verdict when the time is up at nowMs: kNotDown or kNotBack with its
/// reason; outcome kBack (nothing decided) while there is time left.
RouterReturn ReturnWatchTimeUp(const ReturnWatch& watch, int32_t seconds, int64_t nowMs);

/// The verdict once the router serves SSH again from backAtMs and showed a
/// host key: kBack when it is the key from before the reboot, else
/// kKeyChanged with its reason.
RouterReturn ReturnWatchKeyShown(const ReturnWatch& watch, int64_t backAtMs, bool sameKey);

/// Milliseconds as seconds with one decimal, whatever the locale: "3.2".
std::string SecondsText(int64_t ms);

/// The verbose lines: when waiting starts, when the router went down, when
/// it is back.
std::string WaitingLine(int32_t seconds);
std::string WentDownLine(int64_t downMs);
std::string BackLine(int64_t downMs, int64_t backMs);

#endif  // SESSION_ROUTER_RETURN_H_
