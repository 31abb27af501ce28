#include "session/router_return.h"

#include "base/numbers.h"

bool ParseWaitSeconds(std::string_view text, int32_t* seconds) {
  int64_t value = 0;
  if (!ParseDecimal(text, 1, kMaxWaitSeconds, &value)) return false;
  *seconds = static_cast<int32_t>(value);
  return true;
}

void ReturnWatchStart(int64_t answeredMs, int32_t seconds, int64_t nowMs, ReturnWatch* watch) {
  *watch = ReturnWatch();
  watch->answeredMs = answeredMs;
  watch->deadlineMs = answeredMs + static_cast<int64_t>(seconds) * 1000;
  watch->nextProbeMs = nowMs;
}

bool ReturnWatchProbeDue(ReturnWatch* watch, int64_t nowMs) {
  if (nowMs < watch->nextProbeMs || nowMs >= watch->deadlineMs) return false;
  watch->nextProbeMs += kProbeIntervalMs;
  if (watch->nextProbeMs <= nowMs) watch->nextProbeMs = nowMs + kProbeIntervalMs;
  return true;
}

ReturnStep ReturnWatchNote(ReturnWatch* watch, int64_t startMs, bool serving) {
  if (!watch->down) {
    if (serving) return ReturnStep::kNothing;
    watch->down = true;
    watch->downAtMs = startMs;
    return ReturnStep::kWentDown;
  }
  return serving ? ReturnStep::kServing : ReturnStep::kNothing;
}

RouterReturn ReturnWatchTimeUp(const ReturnWatch& watch, int32_t seconds, int64_t nowMs) {
  RouterReturn verdict;
  verdict.outcome = ReturnOutcome::kBack;
  if (nowMs < watch.deadlineMs) return verdict;
  const std::string limit = std::to_string(seconds);
  if (!watch.down) {
    verdict.outcome = ReturnOutcome::kNotDown;
    verdict.reason = "the router took the answer but did not go down within " + limit + " s.";
    return verdict;
  }
  verdict.outcome = ReturnOutcome::kNotBack;
  verdict.downMs = watch.downAtMs - watch.answeredMs;
  verdict.reason = "the router went down but did not come back within " + limit + " s.";
  return verdict;
}

RouterReturn ReturnWatchKeyShown(const ReturnWatch& watch, int64_t backAtMs, bool sameKey) {
  RouterReturn verdict;
  verdict.outcome = sameKey ? ReturnOutcome::kBack : ReturnOutcome::kKeyChanged;
  verdict.downMs = watch.downAtMs - watch.answeredMs;
  verdict.backMs = backAtMs - watch.answeredMs;
  if (!sameKey) verdict.reason = "the router's host key changed across the reboot.";
  return verdict;
}

std::string SecondsText(int64_t ms) {
  if (ms < 0) ms = 0;
  const int64_t tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string WaitingLine(int32_t seconds) {
  return "waiting up to " + std::to_string(seconds) +
         " s for the router to go down and come back";
}

std::string WentDownLine(int64_t downMs) {
  return "router went down after " + SecondsText(downMs) + " s";
}

std::string BackLine(int64_t downMs, int64_t backMs) {
  return "router back after " + SecondsText(backMs) + " s, down for " +
         SecondsText(backMs - downMs) + " s";
}
