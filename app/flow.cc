#include "app/flow.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/ending.h"
#include "app/fleet_options.h"
#include "app/fleet_run.h"
#include "app/reboot_console.h"
#include "app/run_log.h"
#include "base/numbers.h"
#include "base/wipe.h"
#include "console/console.h"
#include "session/reboot_session.h"
#include "session/router_return.h"
#include "session/router_watch.h"

namespace {

constexpr char kBanner[] = "SWKicker v1.0";
constexpr char kInitFailed[] = "Unable to initialize SocketTools library";
constexpr char kClosingVerbose[] = "done - quitting in 4 seconds";
constexpr char kPressAnyKey[] = "press any key to quit";
constexpr int32_t kClosingPauseMs = 4000;

constexpr char kWaitPrefix[] = "/wait:";

// Colour indices: 7 light grey, 11 light cyan, 0 black.
constexpr int32_t kLightGrey = 7;
constexpr int32_t kLightCyan = 11;
constexpr int32_t kBlack = 0;

void ShowUsage() {
  PrintWrappedLine("syntax:");
  PrintWrappedLine(
      "swKicker /user:(user name) /pw:(password) /port:(port) "
      "/v:(use verbose: y or n) /ip:(ip address of router)");
  SetColor(kLightCyan, kBlack);
  PrintWrappedLine(
      "example: swKicker /user:admin /pw:yourSecret /port:22 /v:y "
      "/ip:192.168.88.1");
  SetColor(kLightGrey, kBlack);
  PrintWrappedLine("verbose=n will produce no console output");
  PrintWrappedLine("Same order is required!");
  // What the program does beyond the five options.
  PrintWrappedLine("");
  PrintWrappedLine(
      "/wait:(seconds, 1 to 3600) as a sixth option waits until the router has rebooted and "
      "serves SSH again");
  PrintWrappedLine(
      "a fleet: swKicker /list:(file, one router per line: /user:... /pw:... /port:... /ip:...) "
      "[/v:y|n] [/jobs:(1 to 256)] [/report:(CSV file)] [/wait:(seconds)] [/down:N] "
      "[/maxfail:N|P%] [/until:HH:MM] [/check:y] [/retry:(file)]; a line of --- ends a group");
  PrintWrappedLine(
      "exit status: 0 done, 1 options or other failure, 2 name not resolved, 3 refused, "
      "4 timed out, 5 host key refused, 6 login refused, 7 answer not delivered, 8 router "
      "reported a failure, 9 no shared algorithm, 10 a router of the fleet failed, 11 not down, "
      "12 not back, 13 report or retry list not written whole, 14 fleet halted, 128+N stopped "
      "by signal N");
  PrintWrappedLine("--help shows this text, --version the version");
}

// The one line --version prints: this program, the SSH library, the
// platform it was built for.
std::string VersionLine() {
  return std::string("swKicker ") + SWK_VERSION + ", libssh " + SshLibraryVersion() + ", " +
         SWK_PLATFORM_NAME;
}

// What a lone first parameter asks for instead of a reboot.
enum class InfoRequest { kNone, kHelp, kVersion };

InfoRequest AskedForInfo() {
  // Parameter 2 is the password: copied only to see whether there is one,
  // and wiped at once, so no copy outlives this look.
  std::u16string second = CommandParam(2);
  const bool alone = second.empty();
  Wipe(&second);
  if (!alone) return InfoRequest::kNone;
  const std::string first = ToNarrow(LowerText(CommandParam(1)));
  for (const char* help : {"--help", "-h", "-?", "/?"}) {
    if (first == help) return InfoRequest::kHelp;
  }
  if (first == "--version" || first == "/version") return InfoRequest::kVersion;
  return InfoRequest::kNone;
}

// The parameters are found by position only; each prefix is text removed
// from the value at its own position, so a parameter given out of order
// keeps its prefix.
RebootRequest ReadRequest() {
  RebootRequest request;
  request.user = ToNarrow(CommandParam(1));
  std::u16string password = CommandParam(2);
  request.password = ToNarrow(password);
  Wipe(&password);
  request.port = ToNarrow(CommandParam(3));
  request.verbose = ToNarrow(LowerText(CommandParam(4)));
  request.address = ToNarrow(CommandParam(5));

  request.user = StripPrefix(request.user, "/user:");
  std::string stripped = StripPrefix(request.password, "/pw:");
  Wipe(&request.password);
  request.password = std::move(stripped);
  request.port = StripPrefix(request.port, "/port:");
  request.verbose = StripPrefix(request.verbose, "/v:");
  request.address = StripPrefix(request.address, "/ip:");
  // The sixth is optional and counts only with its prefix: without it, it is
  // ignored as every parameter after the fifth always was.
  const std::string sixth = ToNarrow(CommandParam(6));
  request.hasWait = sixth.rfind(kWaitPrefix, 0) == 0;
  if (request.hasWait) request.wait = sixth.substr(sizeof kWaitPrefix - 1);
  for (int n = 6;; ++n) {
    const std::string param = ToNarrow(LowerText(CommandParam(n)));
    if (param.empty()) break;
    if (param.rfind(kCheckPrefix, 0) == 0) request.asksCheck = true;
  }
  return request;
}

// The tail holds the password: every text made from it is wiped.
bool CommandLineIsEmpty() {
  std::u16string tail = CommandParam(0);
  std::u16string trimmed = TrimSpaces(tail);
  std::u16string lower = LowerText(trimmed);
  std::string narrow = ToNarrow(lower);
  const bool empty = narrow.empty();
  Wipe(&tail);
  Wipe(&trimmed);
  Wipe(&lower);
  Wipe(&narrow);
  return empty;
}

// A run that no terminal watches (cron, a timer) leaves its one line in the
// system log; a watched run has told its user already.
void LogUnwatchedRun(const RunLogEntry& entry) {
  if (Console().output < 0) {
    WriteSystemLog(entry.outcome == "failed", RunLogLine(entry));
  }
}

// An option of the single command refused before anything reaches the
// router: said, logged when nobody watches, exit status 1.
int RefuseOption(RebootRequest* request, const std::string& option, const std::string& reason,
                 std::string_view logReason) {
  Wipe(&request->password);
  PrintErrorLine("The option " + option + " is not valid.");
  PrintErrorLine("Reason: " + reason);
  LogUnwatchedRun({.address = request->address,
                   .port = PortFromText(request->port),
                   .user = request->user,
                   .outcome = "failed",
                   .reason = logReason});
  SshUninitialize();
  return kExitFailed;
}

void PrintVerboseLine(const std::string& line, void*) { PrintLine(line); }

// After the answer: waits for the router to go down and come back with the
// host key it showed, printing the progress in verbose mode and a failure in
// both.
RouterReturn AwaitRouterReturn(const SshPeer& peer, int32_t seconds, int64_t answeredMs,
                               bool verbose) {
  RouterReturn back = WaitForRouterReturn(peer, seconds, answeredMs,
                                          verbose ? PrintVerboseLine : nullptr, nullptr);
  if (back.outcome != ReturnOutcome::kBack) {
    PrintErrorLine("The reboot was not confirmed.");
    PrintErrorLine("Reason: " + back.reason);
  }
  return back;
}

// The usage screen and an initialisation failure end here: the message, an
// empty line, and a key press. Nobody presses a key for a screen that was
// never shown (all output redirected): that run ends at once, its message
// (a failure's on standard error) and nothing about a key.
void ClosingWithKey(const std::string& errorText) {
  if (ConsoleShowsText()) {
    PrintLine(errorText);
    PrintLine("");
    PrintLine(kPressAnyKey);
    WaitKey();
  } else if (!errorText.empty()) {
    PrintErrorLine(errorText);
  }
  SshUninitialize();
}

}  // namespace

int RunProgramFlow() {
  // Help and version need no SSH library and wait for nothing.
  switch (AskedForInfo()) {
    case InfoRequest::kHelp:
      WipeCommandLine();
      ShowUsage();
      return kExitDone;
    case InfoRequest::kVersion:
      WipeCommandLine();
      PrintLine(VersionLine());
      return kExitDone;
    case InfoRequest::kNone:
      break;
  }
  if (SshInitializeA("", nullptr) == 0) {
    LogUnwatchedRun({.outcome = "failed",
                     .reason = "the SSH library could not start", .hasTarget = false});
    ClosingWithKey(kInitFailed);
    return kExitFailed;
  }

  if (CommandLineIsEmpty()) {
    LogUnwatchedRun({.outcome = "no-options", .reason = "nothing to do", .hasTarget = false});
    ShowUsage();
    ClosingWithKey("");
    return kExitDone;
  }

  // A first parameter /list: starts the fleet run; any other keeps the
  // single command exactly as it was.
  if (IsFleetInvocation(CommandParam(1))) {
    std::vector<std::u16string> params;
    for (int n = 1;; ++n) {
      std::u16string param = CommandParam(n);
      if (param.empty()) break;
      params.push_back(std::move(param));
    }
    WipeCommandLine();
    const int status = RunFleet(params);
    SshUninitialize();
    return status;
  }

  RebootRequest request = ReadRequest();
  // Nothing reads the command line again.
  WipeCommandLine();
  const bool verbose = request.verbose == "y";
  // A wait that cannot be meant is refused before anything reaches the
  // router; so is a preflight, which must not turn into a reboot here, where
  // parameters after the fifth are otherwise ignored.
  int32_t waitSeconds = 0;
  if (request.hasWait && !ParseWaitSeconds(request.wait, &waitSeconds)) {
    return RefuseOption(&request, "/wait:",
                        "/wait: takes a whole number of seconds from 1 to " +
                            std::to_string(kMaxWaitSeconds) + ".",
                        "invalid /wait: option");
  }
  if (request.asksCheck) {
    return RefuseOption(&request, "/check:",
                        "the preflight is an option of the fleet run; nothing was contacted. "
                        "Check one router with: echo \"/user:... /pw:... /port:... /ip:...\" | "
                        "swKicker /list:- /check:y",
                        "/check: is a fleet option");
  }
  if (verbose) {
    PrintLine(kBanner);
    PrintLine("");
  }

  const RebootResult talk = RebootOnConsole(request.user, &request.password, request.port,
                                            request.verbose, request.address);
  const SshFailure outcome = talk.failure;
  Wipe(&request.password);
  Ending ending = EndingFor(outcome);
  // A router that shares no algorithm is told with what to add: a scheduled
  // job's admin reads that in the log line too.
  const std::string detail =
      outcome == SshFailure::kNoSharedAlgorithm ? talk.libraryText : std::string();
  RouterReturn back;
  if (outcome == SshFailure::kNone && waitSeconds > 0) {
    back = AwaitRouterReturn(talk.peer, waitSeconds, talk.answeredMs, verbose);
    ending = EndingFor(back.outcome);
  }
  // Where the session went, as the SSH configuration made it; what was
  // given when it got nowhere.
  SshRoute route = talk.route;
  if (route.host.empty()) {
    route.host = request.address;
    route.port = PortFromText(request.port);
    route.user = request.user;
  }
  const std::string addedKey = route.addedFingerprint.empty()
                                   ? std::string()
                                   : route.addedKeyType + " " + route.addedFingerprint;
  LogUnwatchedRun({.address = route.host,
                   .port = route.port,
                   .user = route.user,
                   .givenName = route.host != request.address ? std::string_view(request.address)
                                                               : std::string_view(),
                   .outcome = ending.status == kExitDone ? "answered" : "failed",
                   .reason = !detail.empty() ? std::string_view(detail) : ending.reason,
                   .downMs = back.downMs,
                   .backMs = back.backMs,
                   .addedKey = addedKey,
                   .addedTo = route.addedFile,
                   .question = talk.question});

  SshUninitialize();
  if (verbose) {
    PrintLine(kClosingVerbose);
    PauseForReader(kClosingPauseMs);
  }
  return ending.status;
}
