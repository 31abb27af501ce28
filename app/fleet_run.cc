#include "app/fleet_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "app/ending.h"
#include "app/fleet_list.h"
#include "app/fleet_options.h"
#include "app/fleet_report.h"
#include "app/fleet_retry.h"
#include "app/fleet_stop.h"
#include "app/fleet_text.h"
#include "app/run_log.h"
#include "base/clock.h"
#include "base/numbers.h"
#include "base/wipe.h"
#include "console/console.h"
#include "session/reboot_session.h"
#include "session/router_return.h"
#include "session/router_watch.h"

namespace {

constexpr char kBanner[] = "SWKicker v1.0";
constexpr char kClosingVerbose[] = "done - quitting in 4 seconds";
constexpr int32_t kClosingPauseMs = 4000;
// How often the main thread looks for an interrupt and redraws the
// progress line (whose clock shows whole seconds).
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

// When a router may start: at most down not yet back (0: no bound), no
// group before the ones before it have their outcomes, and none once more
// have failed than /maxfail: allows or past /until: (untilMs, on the
// monotonic clock; below 0: no window).
struct Schedule {
  const FleetOptions* options = nullptr;
  int total = 0;
  int64_t untilMs = -1;
};

// What the threads share: the next router to take, how many are running
// and how many are being waited for, and the results not yet shown. Only
// the main thread prints, writes the report and the log.
struct Progress {
  std::mutex mutex;
  std::condition_variable finished;
  // Told when a router's outcome is known, so a held one may start.
  std::condition_variable settled;
  size_t next = 0;
  int running = 0;
  int waiting = 0;
  // Routers started whose outcome is not yet known, the group of the last
  // one started, and the failures known so far.
  int unsettled = 0;
  int startedGroup = -1;
  int failedSoFar = 0;
  // Why no further router starts; empty while they may.
  std::string halt;
  // 1 after the first interrupt, 2 once a second one ended the waits.
  int stopLevel = 0;
  // Per router: whether its return is watched and its verdict still wanted.
  std::vector<char> watching;
  std::deque<RouterResult> results;
  // A router that took the answer and is watched for its return: its row
  // so far, finished by the watch's verdict.
  std::vector<RouterResult> awaited;
  std::vector<int64_t> startedMs;
  // Each router reached so far (numeric address and port, as the
  // connection found it) and the list line that reached it first.
  std::map<std::string, int> reached;
};

// Lets the session of list line go on unless another line's session
// already reached the same address and port in this run; then *sameAs is
// that line.
SshPeerCheck OneSessionPerRouter(Progress* progress, int line, int* sameAs) {
  return [progress, line, sameAs](const std::string& peer, std::string* reason) {
    std::lock_guard<std::mutex> lock(progress->mutex);
    const auto [at, added] = progress->reached.insert({peer, line});
    if (added || at->second == line) return true;
    *sameAs = at->second;
    *reason = SameRouterReason(at->second);
    return false;
  };
}

std::string WithoutFullStop(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void Finish(RouterResult* result, const Ending& ending, const std::string& reason,
            int64_t startMs) {
  result->status = ending.status;
  if (result->status != kExitDone) result->reason = reason;
  result->seconds = static_cast<double>(MonotonicMs() - startMs) / 1000;
}

// A router's outcome is known (under the lock): its row goes to the main
// thread, and a router held for it may start.
void Settle(Progress* progress, RouterResult result) {
  --progress->unsettled;
  if (result.status != kExitDone) ++progress->failedSoFar;
  progress->results.push_back(std::move(result));
  progress->settled.notify_all();
}

// A router's row before its session: as its list line gives it.
RouterResult RowOf(const FleetRouter& router) {
  RouterResult result;
  result.line = router.line;
  result.address = router.address;
  result.port = std::to_string(router.portNumber);
  result.user = router.user;
  return result;
}

// The row of a router the run never started.
RouterResult NotStarted(const FleetRouter& router, const std::string& halt) {
  RouterResult result = RowOf(router);
  result.status = kExitNotStarted;
  result.reason = "halted: " + halt;
  return result;
}

// Under the lock: why no further router may start, once the failures or
// the clock say so; empty while they may.
std::string HaltReason(const Schedule& schedule, const Progress& progress) {
  const FleetOptions& options = *schedule.options;
  if (FailuresExceedBound(options, progress.failedSoFar, schedule.total)) {
    return options.maxFailCount >= 0
               ? "more than " + std::to_string(options.maxFailCount) + " failed (/maxfail:)"
               : "more than " + std::to_string(options.maxFailPercent) +
                     "% failed (/maxfail:)";
  }
  if (schedule.untilMs >= 0 && MonotonicMs() >= schedule.untilMs) {
    return "the window of /until: has ended";
  }
  return "";
}

// Under the lock: takes the next router once it may start, or returns
// false when none is left to start; a halted run's rest get their rows
// here, not started.
bool TakeNext(std::vector<FleetRouter>* routers, const Schedule& schedule,
              Progress* progress, std::unique_lock<std::mutex>* lock, size_t* index) {
  for (;;) {
    if (progress->next >= routers->size()) return false;
    if (progress->halt.empty()) progress->halt = HaltReason(schedule, *progress);
    if (!progress->halt.empty()) {
      for (; progress->next < routers->size(); ++progress->next) {
        progress->results.push_back(NotStarted((*routers)[progress->next], progress->halt));
      }
      progress->finished.notify_one();
      progress->settled.notify_all();
      return false;
    }
    const FleetRouter& router = (*routers)[progress->next];
    const bool groupOpen =
        router.group == progress->startedGroup || progress->unsettled == 0;
    const int down = schedule.options->down;
    const bool downOpen = down == 0 || progress->unsettled < down;
    if (groupOpen && downOpen) break;
    if (schedule.untilMs >= 0) {
      progress->settled.wait_for(
          *lock, std::chrono::milliseconds(std::max<int64_t>(
                     1, schedule.untilMs - MonotonicMs())));
    } else {
      progress->settled.wait(*lock);
    }
  }
  *index = progress->next++;
  progress->startedGroup = (*routers)[*index].group;
  ++progress->unsettled;
  progress->startedMs[*index] = MonotonicMs();
  ++progress->running;
  return true;
}

// Under the lock: a router that took the answer and is no longer waited
// for, after a second interrupt.
void NotConfirmed(Progress* progress, RouterResult result) {
  result.status = kExitNotConfirmed;
  result.reason = "not confirmed: the wait for its return was stopped";
  Settle(progress, std::move(result));
}

// The second interrupt, under the lock: every wait ends, its router not
// confirmed.
void EndWaits(Progress* progress) {
  progress->stopLevel = 2;
  for (size_t index = 0; index < progress->watching.size(); ++index) {
    if (!progress->watching[index]) continue;
    progress->watching[index] = 0;
    --progress->waiting;
    NotConfirmed(progress, std::move(progress->awaited[index]));
  }
}

// The watch's verdict on a router that took the answer, on the pool's
// thread: its row is finished and handed to the main thread.
void Returned(Progress* progress, size_t index, const RouterReturn& back) {
  {
    std::lock_guard<std::mutex> lock(progress->mutex);
    // A second interrupt already gave it its row.
    if (!progress->watching[index]) return;
    progress->watching[index] = 0;
    RouterResult result = std::move(progress->awaited[index]);
    if (back.downMs >= 0) result.downSeconds = static_cast<double>(back.downMs) / 1000;
    if (back.backMs >= 0) result.backSeconds = static_cast<double>(back.backMs) / 1000;
    Finish(&result, EndingFor(back.outcome), WithoutFullStop(back.reason),
           progress->startedMs[index]);
    --progress->waiting;
    Settle(progress, std::move(result));
  }
  progress->finished.notify_one();
}

// Where the session went, in place of what the list gave, when it got as
// far as reading the SSH configuration. A key a preflight found unknown was
// not recorded: the row's note says so, once the router is ready.
void TakeRoute(const SshRoute& route, RouterResult* result) {
  if (route.host.empty()) return;
  if (route.host != result->address) result->givenName = result->address;
  result->address = route.host;
  result->port = std::to_string(route.port);
  result->user = route.user;
  if (!route.addedFingerprint.empty() && !route.addedWouldBe) {
    result->addedKey = route.addedKeyType + " " + route.addedFingerprint;
    result->addedTo = route.addedFile;
  }
}

// A ready router's note: its key, met for the first time, is what a reboot
// would record.
std::string UnrecordedKeyNote(const SshRoute& route) {
  if (!route.addedWouldBe) return "";
  return "its host key is not yet known: a reboot would record " + route.addedKeyType +
         " key " + route.addedFingerprint + " in " + route.addedFile;
}

// The routers, one at a time, on a worker thread: the conversation, and
// for one that took the answer under /wait:, the hand-over to the watch,
// which does not hold the job slot. Nothing here prints.
void Work(std::vector<FleetRouter>* routers, const Schedule* schedule, int32_t waitSeconds,
          ReturnWatchPool* watch, Progress* progress) {
  // The port is read as a number before any SSH call; a new thread starts
  // in the default floating-point mode, not the program's.
  SetFloatingPointMode();
  for (;;) {
    size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(progress->mutex);
      if (!TakeNext(routers, *schedule, progress, &lock, &index)) return;
    }
    FleetRouter& router = (*routers)[index];
    RouterResult result = RowOf(router);
    result.preflight = schedule->options->check;
    int sameAs = 0;
    const SshPeerCheck once = OneSessionPerRouter(progress, router.line, &sameAs);
    const RebootResult talk =
        result.preflight
            ? CheckQuietly(router.user, &router.password, router.port, router.address, once)
            : RebootQuietly(router.user, &router.password, router.port, router.address, once);
    TakeRoute(talk.route, &result);
    result.question = talk.question;
    const bool awaited = talk.failure == SshFailure::kNone && waitSeconds > 0;
    if (sameAs != 0) {
      Finish(&result, Ending{kExitSameRouter, ""}, SameRouterReason(sameAs),
             progress->startedMs[index]);
      result.sameAsLine = sameAs;
    } else if (!awaited) {
      const Ending ending = EndingFor(talk.failure);
      Finish(&result, ending, talk.reason.empty() ? std::string(ending.reason) : talk.reason,
             progress->startedMs[index]);
      if (result.preflight && result.status == kExitDone) {
        result.reason = UnrecordedKeyNote(talk.route);
      }
    }
    bool watched = false;
    {
      std::lock_guard<std::mutex> lock(progress->mutex);
      --progress->running;
      if (awaited && progress->stopLevel >= 2) {
        NotConfirmed(progress, std::move(result));
      } else if (awaited) {
        ++progress->waiting;
        progress->watching[index] = 1;
        progress->awaited[index] = std::move(result);
        watched = true;
      } else {
        Settle(progress, std::move(result));
      }
    }
    if (watched) {
      watch->Watch(index, talk.peer, waitSeconds, talk.answeredMs);
    } else {
      progress->finished.notify_one();
    }
  }
}

// Whether two paths name one file that exists.
bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
#if defined(_WIN32)
  return false;
#else
  struct stat first = {};
  struct stat second = {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
#endif
}

// A refusal before any router is contacted: the reason, in both modes, and
// in the system log when no terminal watches.
int Refuse(const std::string& reason) {
  PrintErrorLine("The fleet run cannot start.");
  PrintErrorLine("Reason: " + reason + ".");
  if (Console().output < 0) {
    WriteSystemLog(true, RunLogLine({.outcome = "failed", .reason = reason,
                                     .hasTarget = false}));
  }
  return kExitFailed;
}

// Seconds as the log line takes them: -1 where nothing was seen.
int64_t MillisecondsOf(double seconds) {
  return seconds < 0 ? -1 : static_cast<int64_t>(seconds * 1000 + 0.5);
}

// Milliseconds from now to the next moment the local clock reads minute
// (minutes since midnight); mktime weighs a change of daylight saving time.
int64_t MsToNextLocalMinute(int minute) {
  const std::time_t now = std::time(nullptr);
  std::tm local = LocalTimeOf(now);
  local.tm_hour = minute / 60;
  local.tm_min = minute % 60;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  std::time_t at = std::mktime(&local);
  if (at <= now) {
    ++local.tm_mday;
    local.tm_hour = minute / 60;
    local.tm_min = minute % 60;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    at = std::mktime(&local);
  }
  return static_cast<int64_t>(std::difftime(at, now) * 1000);
}

void WipeAll(std::vector<FleetRouter>* routers) { WipeFleetRouters(routers); }

// The retry list's path checked with the other options, the report already
// open (so that two spellings of one new file are seen as one): it may be
// the list itself, which is read whole first, but not the report.
bool RetryPathUsable(const FleetOptions& options, std::string* error) {
  if (options.retryPath.empty()) return true;
  if (options.reportPath != "-" && !options.reportPath.empty() &&
      SameFile(options.retryPath, options.reportPath)) {
    *error = "/retry: and /report: name one file";
    return false;
  }
  if (!CheckFleetRetry(options.retryPath, error)) {
    *error = "the retry list " + *error;
    return false;
  }
  return true;
}

}  // namespace

int RunFleet(const std::vector<std::u16string>& params) {
  FleetOptions options;
  std::string error;
  if (!ReadFleetOptions(params, &options, &error)) return Refuse(error);
  int32_t waitSeconds = 0;
  if (options.hasWait && !ParseWaitSeconds(options.wait, &waitSeconds)) {
    return Refuse("/wait: takes a whole number of seconds from 1 to " +
                  std::to_string(kMaxWaitSeconds));
  }
  // A preflight takes the night's command line as it stands: nothing goes
  // down, so /wait: and /down: have nothing to wait for.
  if (options.check) waitSeconds = 0;
  if (!options.reportPath.empty() && options.listPath != "-" &&
      SameFile(options.reportPath, options.listPath)) {
    return Refuse("/report: names the list file itself");
  }
  std::vector<FleetRouter> routers;
  if (!LoadFleetList(options.listPath, &routers, &error)) return Refuse(error);
  FleetReport report;
  if (!options.reportPath.empty() && !report.Open(options.reportPath, waitSeconds > 0, &error)) {
    WipeAll(&routers);
    return Refuse("the report " + error);
  }
  if (!RetryPathUsable(options, &error)) {
    WipeAll(&routers);
    return Refuse(error);
  }

  const bool verbose = options.verbose;
  const bool showProgress = verbose && ConsoleShowsText();
  const bool unwatched = Console().output < 0;
  // Lines that are no failure go to standard output when nobody sees a
  // screen, unless the CSV itself goes there (/report:-): then it holds the
  // CSV alone and they go to standard error.
  const bool csvOnStandardOutput = options.reportPath == "-";
  const auto say = [csvOnStandardOutput](const std::string& line) {
    if (csvOnStandardOutput) {
      PrintErrorLine(line);
    } else {
      PrintLine(line);
    }
  };
  if (verbose) {
    say(kBanner);
    say("");
    if (options.check) {
      say("preflight (/check:y): every router is contacted up to an open session; none is "
          "sent the reboot command");
    }
  }
  const int total = static_cast<int>(routers.size());
  const int64_t startMs = MonotonicMs();
  const auto elapsed = [&] { return static_cast<double>(MonotonicMs() - startMs) / 1000; };

  Schedule schedule{.options = &options, .total = total};
  if (options.untilMinute >= 0) schedule.untilMs = startMs + MsToNextLocalMinute(options.untilMinute);
  // The routers not yet started are shown when something other than the
  // jobs may hold them back.
  const bool showHeld = options.down > 0 || options.maxFailCount >= 0 ||
                        options.maxFailPercent >= 0 || options.untilMinute >= 0 ||
                        routers.back().group > routers.front().group;
  Progress progress;
  progress.startedMs.resize(routers.size());
  progress.watching.resize(routers.size());
  const int jobs = std::min(options.jobs, total);
  // Under /wait: the routers that took the answer are watched apart from
  // the job slots, so the waits run side by side with the conversations
  // and with each other; the key checks of routers that are back take up
  // to /jobs: threads of their own.
  // Only this thread takes the interrupt: the others start with it held
  // back, so no SSH call or probe is ever cut by it.
  ArmFleetStops();
  LetInterruptKeyStop(true);
  BlockStopsOnThisThread(true);
  std::unique_ptr<ReturnWatchPool> watch;
  if (waitSeconds > 0) {
    progress.awaited.resize(routers.size());
    watch = std::make_unique<ReturnWatchPool>(
        jobs, [&progress](size_t index, const RouterReturn& back) {
          Returned(&progress, index, back);
        });
  }
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(jobs));
  for (int i = 0; i < jobs; ++i) {
    workers.emplace_back(Work, &routers, &schedule, waitSeconds, watch.get(), &progress);
  }
  BlockStopsOnThisThread(false);

  int done = 0;
  int failed = 0;
  int notStarted = 0;
  int stopSignal = 0;
  // The rows the retry list is made of: those of routers that did not reboot.
  std::vector<RouterResult> notRebooted;
  std::unique_lock<std::mutex> lock(progress.mutex);
  while (done < total) {
    progress.finished.wait_for(lock, kRedrawEvery, [&] { return !progress.results.empty(); });
    const FleetStops stops = ReadFleetStops();
    int inFlight = -1;
    if (stops.count >= 1 && progress.stopLevel == 0) {
      // The first interrupt: no new starts; sessions in flight finish (a
      // reboot is never cut once its command is sent) and the waits go on.
      stopSignal = stops.signal;
      progress.stopLevel = 1;
      progress.halt = std::string("stopped by ") + StopName(stopSignal);
      inFlight = progress.unsettled;
      progress.settled.notify_all();
    }
    if (stops.count >= 2 && progress.stopLevel == 1) EndWaits(&progress);
    std::deque<RouterResult> batch;
    batch.swap(progress.results);
    const int running = progress.running;
    const int waiting = waitSeconds > 0 ? progress.waiting : -1;
    const int held = showHeld ? total - static_cast<int>(progress.next) : -1;
    lock.unlock();
    if (inFlight >= 0) {
      if (showProgress) ShowStatusLine("");
      say("stopping: " + std::to_string(inFlight) + (inFlight == 1 ? " router" : " routers") +
          " in flight, Ctrl+C again to stop waiting");
    }
    for (const RouterResult& result : batch) {
      ++done;
      if (result.status == kExitNotStarted) {
        ++notStarted;
      } else if (result.status != kExitDone) {
        ++failed;
      }
      if (verbose || result.status != kExitDone) {
        if (showProgress) ShowStatusLine("");
        if (result.status == kExitDone) {
          say(FinishedLine(result));
        } else {
          PrintErrorLine(FinishedLine(result));
        }
      }
      report.Add(result);
      if (!options.retryPath.empty() && result.status != kExitDone) notRebooted.push_back(result);
      if (unwatched) {
        WriteSystemLog(result.status != kExitDone,
                       RunLogLine({.address = result.address,
                                   .port = PortFromText(result.port),
                                   .user = result.user,
                                   .givenName = result.givenName,
                                   .outcome = result.status == kExitDone
                                                  ? (result.preflight ? "ready" : "answered")
                                              : result.status == kExitNotStarted ||
                                                      result.status == kExitNotConfirmed
                                                  ? OutcomeOf(result)
                                                  : std::string_view("failed"),
                                   .reason = result.reason,
                                   .downMs = MillisecondsOf(result.downSeconds),
                                   .backMs = MillisecondsOf(result.backSeconds),
                                   .listLine = result.line,
                                   .addedKey = result.addedKey,
                                   .addedTo = result.addedTo,
                                   .question = result.question}));
      }
    }
    if (showProgress && done < total) {
      ShowStatusLine(ProgressLine(total, done, failed, running, waiting, elapsed(), held,
                                  options.check),
                     ShortProgressLine(total, done, failed, elapsed()));
    }
    lock.lock();
  }
  const std::string halt = progress.halt;
  lock.unlock();
  for (std::thread& worker : workers) worker.join();
  watch.reset();
  LetInterruptKeyStop(false);
  DisarmFleetStops();
  const bool halted = notStarted > 0 || stopSignal != 0;

  const int64_t elapsedMs = MonotonicMs() - startMs;
  if (showProgress) ShowStatusLine("");
  const bool reportWhole = report.Close();
  const double seconds = static_cast<double>(elapsedMs) / 1000;
  if (!reportWhole) {
    PrintErrorLine("The report " + options.reportPath + " could not be written whole: " +
                   std::to_string(report.missing()) + " of " + std::to_string(total) +
                   " rows are missing (" + report.error() + ").");
  }
  // The retry list once every row is known; one that cannot be written
  // counts as a report not written whole (13), and the old one stays.
  bool retryWritten = true;
  if (!options.retryPath.empty()) {
    retryWritten = SaveFleetRetry(options.retryPath,
                                  options.listPath == "-" ? "standard input" : options.listPath,
                                  routers, notRebooted, &error);
    if (!retryWritten) {
      PrintErrorLine("The retry list could not be written, and any old one is left as it was: " +
                     error + ".");
    }
  }
  WipeAll(&routers);
  const bool filesWhole = reportWhole && retryWritten;
  const int rebooted = total - failed - notStarted;
  if (verbose || failed > 0 || halted || !filesWhole) {
    say(SummaryLine(rebooted, failed, seconds, report.missing(), total, notStarted,
                    halted ? halt : std::string(), options.check) +
        (retryWritten ? "" : "; the retry list was not written"));
  }
  if (unwatched) {
    WriteSystemLog(failed > 0 || halted || !filesWhole,
                   FleetLogLine(options.listPath, total, rebooted, failed, elapsedMs,
                                reportWhole ? -1 : report.written(), notStarted,
                                !halted                                      ? ""
                                : stopSignal != 0                            ? "signal"
                                : halt.find("/until:") != std::string::npos ? "until"
                                                                             : "maxfail",
                                options.check) +
                       (retryWritten ? "" : " retry=unwritten"));
  }
  // One pause for the whole run, where the single command pauses: after a
  // verbose run, and after failures shown in quiet mode; none when nobody
  // sees the text.
  if (verbose) {
    say(kClosingVerbose);
    PauseForReader(kClosingPauseMs);
  } else if (failed > 0 || halted || !filesWhole) {
    PauseForReader(kClosingPauseMs);
  }
  if (filesWhole && stopSignal != 0) return StoppedStatus(stopSignal);
  return FleetStatus(failed, filesWhole, halted);
}
