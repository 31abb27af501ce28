// The pure part of waiting for a rebooted router: the /wait: value, the
// probes' pace, the verdicts from a sequence of probe results, and the texts.

#include "session/router_return.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct WaitValueCase {
  const char* text;
  bool valid;
  int32_t seconds;
};

TEST(RouterReturnTest, WaitValueIsWholeSecondsFromOneTo3600) {
  const WaitValueCase kCases[] = {
      {"1", true, 1},
      {"60", true, 60},
      {"3600", true, 3600},
      {"0060", true, 60},  // leading zeros are still sixty
      {"", false, 0},
      {"0", false, 0},
      {"3601", false, 0},
      {"99999999999999999999", false, 0},  // must not wrap into range
      {"-5", false, 0},
      {"+5", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"5s", false, 0},
      {"1.5", false, 0},
      {"0x10", false, 0},
  };
  for (const WaitValueCase& c : kCases) {
    SCOPED_TRACE(c.text);
    int32_t seconds = -7;
    EXPECT_EQ(ParseWaitSeconds(c.text, &seconds), c.valid);
    EXPECT_EQ(seconds, c.valid ? c.seconds : -7);
  }
}

// One probe result: the probe started at startMs and found the port serving
// SSH or not.
struct ProbeResult {
  int64_t startMs;
  bool serving;
};

struct WatchCase {
  const char* name;
  std::vector<ProbeResult> probes;
  std::vector<ReturnStep> steps;  // what each result meant
  int64_t timeUpAtMs;             // when the time is looked at afterwards
  ReturnOutcome outcome;          // kBack: nothing decided then
  int64_t downMs;                 // after the answer; -1: never down
};

TEST(RouterReturnTest, ProbeResultsGiveTheVerdict) {
  // The answer at 1000 ms, a wait of 10 s: the deadline is 11000.
  using S = ReturnStep;
  const WatchCase kCases[] = {
      {"down, then serving: the key is checked",
       {{1100, true}, {1350, false}, {1600, false}, {4600, true}},
       {S::kNothing, S::kWentDown, S::kNothing, S::kServing}, 5000, ReturnOutcome::kBack, 350},
      {"serving all along: did not go down",
       {{1100, true}, {5100, true}, {10900, true}},
       {S::kNothing, S::kNothing, S::kNothing}, 11000, ReturnOutcome::kNotDown, -1},
      {"down and never back: did not come back",
       {{1100, false}, {10900, false}},
       {S::kWentDown, S::kNothing}, 11000, ReturnOutcome::kNotBack, 100},
      // The time is up exactly at the deadline, not a moment later.
      {"no verdict before the deadline", {{1100, false}}, {S::kWentDown}, 10999,
       ReturnOutcome::kBack, 100},
  };
  for (const WatchCase& c : kCases) {
    SCOPED_TRACE(c.name);
    ReturnWatch watch;
    ReturnWatchStart(1000, 10, 1100, &watch);
    std::vector<ReturnStep> steps;
    for (const ProbeResult& probe : c.probes) {
      steps.push_back(ReturnWatchNote(&watch, probe.startMs, probe.serving));
    }
    EXPECT_EQ(steps, c.steps);
    const RouterReturn verdict = ReturnWatchTimeUp(watch, 10, c.timeUpAtMs);
    EXPECT_EQ(verdict.outcome, c.outcome);
    EXPECT_EQ(watch.down ? watch.downAtMs - watch.answeredMs : -1, c.downMs);
    if (c.outcome == ReturnOutcome::kNotBack) {
      EXPECT_EQ(verdict.downMs, c.downMs);
    }
  }
}

TEST(RouterReturnTest, VerdictsCarryTheirReasons) {
  ReturnWatch watch;
  ReturnWatchStart(1000, 30, 1000, &watch);
  EXPECT_EQ(ReturnWatchTimeUp(watch, 30, 31000).reason,
            "the router took the answer but did not go down within 30 s.");
  ReturnWatchNote(&watch, 4200, false);
  EXPECT_EQ(ReturnWatchTimeUp(watch, 30, 31000).reason,
            "the router went down but did not come back within 30 s.");

  const RouterReturn same = ReturnWatchKeyShown(watch, 48900, true);
  EXPECT_EQ(same.outcome, ReturnOutcome::kBack);
  EXPECT_EQ(same.downMs, 3200);
  EXPECT_EQ(same.backMs, 47900);
  EXPECT_EQ(same.reason, "");
  const RouterReturn other = ReturnWatchKeyShown(watch, 48900, false);
  EXPECT_EQ(other.outcome, ReturnOutcome::kKeyChanged);
  EXPECT_EQ(other.reason, "the router's host key changed across the reboot.");
}

// Four probes a second, none at or after the deadline, and a loop that fell
// behind starts one at once instead of a burst to catch up.
TEST(RouterReturnTest, ProbesStartFourTimesASecondUntilTheDeadline) {
  ReturnWatch watch;
  ReturnWatchStart(0, 1, 100, &watch);
  std::vector<int64_t> started;
  for (int64_t now = 100; now < 1500; now += 10) {
    if (ReturnWatchProbeDue(&watch, now)) started.push_back(now);
  }
  EXPECT_EQ(started, (std::vector<int64_t>{100, 350, 600, 850}));

  ReturnWatchStart(0, 10, 0, &watch);
  EXPECT_TRUE(ReturnWatchProbeDue(&watch, 0));
  EXPECT_TRUE(ReturnWatchProbeDue(&watch, 2000));  // after a long key check
  EXPECT_FALSE(ReturnWatchProbeDue(&watch, 2010));
  EXPECT_TRUE(ReturnWatchProbeDue(&watch, 2250));
}

TEST(RouterReturnTest, LinesShowTenthsOfSecondsWhateverTheLocale) {
  EXPECT_EQ(SecondsText(0), "0.0");
  EXPECT_EQ(SecondsText(3249), "3.2");
  EXPECT_EQ(SecondsText(3250), "3.3");
  EXPECT_EQ(SecondsText(59960), "60.0");
  EXPECT_EQ(WaitingLine(60), "waiting up to 60 s for the router to go down and come back");
  EXPECT_EQ(WentDownLine(3200), "router went down after 3.2 s");
  EXPECT_EQ(BackLine(3200, 47900), "router back after 47.9 s, down for 44.7 s");
}

}  // namespace
