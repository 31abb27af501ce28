// The whole program flow on the scripted SSH library and the in-memory
// screen: which lines appear, which pauses and key waits are asked for, and
// that the library is started and released exactly once on every path.

#include "app/flow.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app/run_log.h"
#include "testing/system_log_memory.h"
#include "console/console.h"
#include "testing/memory_screen.h"
#include "testing/ssh_script.h"

namespace {

using Lines = std::vector<std::string>;

// The program's name and the arguments joined by spaces into one command
// line; an argument holding a space is put in quotes.
std::u16string CommandLineOf(const std::vector<std::string>& args) {
  std::u16string line = u"swKicker";
  for (const std::string& arg : args) {
    const bool quote = arg.find(' ') != std::string::npos;
    line += quote ? u" \"" : u" ";
    for (unsigned char byte : arg) line += static_cast<char16_t>(byte);
    if (quote) line += u'"';
  }
  return line;
}

// Runs the flow for the given arguments (program name added) and returns
// its exit status. A screen of width 0 stands for output that reaches no
// screen at all.
int RunFlow(std::vector<std::string> args, const SshScript& script = SshScript(),
            int width = 120) {
  MemoryScreenReset(width, 30);
  SshScriptReset(script);
  SetCommandLineText(CommandLineOf(args));
  return RunProgramFlow();
}

int Count(SshCallKind kind) {
  int n = 0;
  for (const SshCall& call : SshScriptCalls()) n += call.kind == kind;
  return n;
}

const SshCall* Find(SshCallKind kind) {
  for (const SshCall& call : SshScriptCalls()) {
    if (call.kind == kind) return &call;
  }
  return nullptr;
}

// The usage text as plain lines, one per paragraph.
const Lines kUsageText = {
    "syntax:",
    "swKicker /user:(user name) /pw:(password) /port:(port) /v:(use verbose: "
    "y or n) /ip:(ip address of router)",
    "example: swKicker /user:admin /pw:yourSecret /port:22 /v:y "
    "/ip:192.168.88.1",
    "verbose=n will produce no console output",
    "Same order is required!",
    "",
    "/wait:(seconds, 1 to 3600) as a sixth option waits until the router has rebooted and "
    "serves SSH again",
    "a fleet: swKicker /list:(file, one router per line: /user:... /pw:... /port:... /ip:...) "
    "[/v:y|n] [/jobs:(1 to 256)] [/report:(CSV file)] [/wait:(seconds)] [/down:N] "
    "[/maxfail:N|P%] [/until:HH:MM] [/check:y] [/retry:(file)]; a line of --- ends a group",
    "exit status: 0 done, 1 options or other failure, 2 name not resolved, 3 refused, "
    "4 timed out, 5 host key refused, 6 login refused, 7 answer not delivered, 8 router "
    "reported a failure, 9 no shared algorithm, 10 a router of the fleet failed, 11 not down, "
    "12 not back, 13 report or retry list not written whole, 14 fleet halted, 128+N stopped "
    "by signal N",
    "--help shows this text, --version the version",
};

Lines Joined(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The same on a screen 120 columns wide: the long lines break at spaces.
const Lines kUsageScreen = Joined(
    Lines(kUsageText.begin(), kUsageText.begin() + 7),
    {"a fleet: swKicker /list:(file, one router per line: /user:... /pw:... /port:... /ip:...) "
     "[/v:y|n] [/jobs:(1 to 256)]",
     "[/report:(CSV file)] [/wait:(seconds)] [/down:N] [/maxfail:N|P%] [/until:HH:MM] "
     "[/check:y] [/retry:(file)]; a line of",
     "--- ends a group",
     "exit status: 0 done, 1 options or other failure, 2 name not resolved, 3 refused, 4 timed "
     "out, 5 host key refused, 6",
     "login refused, 7 answer not delivered, 8 router reported a failure, 9 no shared "
     "algorithm, 10 a router of the fleet",
     "failed, 11 not down, 12 not back, 13 report or retry list not written whole, 14 fleet "
     "halted, 128+N stopped by signal N",
     kUsageText.back()});

const Lines kUsage = Joined(kUsageScreen, {"", "", "press any key to quit"});

TEST(FlowTest, EmptyCommandLineShowsUsageAndWaitsForKey) {
  EXPECT_EQ(RunFlow({}), 0);
  EXPECT_EQ(MemoryScreenLines(), kUsage);
  EXPECT_EQ(MemoryScreenKeyWaits(), 1);
  EXPECT_TRUE(MemoryScreenSleeps().empty());
  EXPECT_EQ(Count(SshCallKind::kInitialize), 1);
  EXPECT_EQ(Count(SshCallKind::kConnect), 0);
  // Released after the key press.
  EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  EXPECT_EQ(SshScriptCalls().back().kind, SshCallKind::kUninitialize);
}

TEST(FlowTest, UsageExampleLineIsLightCyanAndTheRestLightGrey) {
  EXPECT_EQ(RunFlow({}), 0);
  const uint16_t kLightCyanOnBlack = 11, kLightGreyOnBlack = 7;
  EXPECT_EQ(MemoryScreenCell(0, 1).attribute, kLightGreyOnBlack);
  EXPECT_EQ(MemoryScreenCell(0, 2).attribute, kLightCyanOnBlack);
  EXPECT_EQ(MemoryScreenCell(40, 2).attribute, kLightCyanOnBlack);
  EXPECT_EQ(MemoryScreenCell(0, 3).attribute, kLightGreyOnBlack);
  EXPECT_EQ(MemoryScreenCell(0, 7).attribute, kLightGreyOnBlack);
}

// On an 80-column terminal the command's line broke inside "router".
TEST(FlowTest, UsageBreaksAtSpacesOnANarrowScreen) {
  MemoryScreenReset(80, 40);
  SshScriptReset(SshScript());
  SetCommandLineText(u"swKicker");
  EXPECT_EQ(RunProgramFlow(), 0);
  const Lines lines = MemoryScreenLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "swKicker /user:(user name) /pw:(password) /port:(port) /v:(use verbose: y or n)");
  EXPECT_EQ(lines[2], "/ip:(ip address of router)");
}

// Help and version are what a new admin tries first: an answer on the
// screen or standard output, status 0, no pause, no key wait, no SSH.
TEST(FlowTest, HelpAndVersionAnswerAndEndAtOnce) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool version;
  } kRows[] = {
      {"--help", {"--help"}, false}, {"-h", {"-h"}, false},      {"-?", {"-?"}, false},
      {"/?", {"/?"}, false},         {"/HELP case", {"--HELP"}, false},
      {"--version", {"--version"}, true}, {"/version", {"/version"}, true},
  };
  for (const auto& row : kRows) {
    for (int width : {120, 0}) {
      SCOPED_TRACE(std::string(row.name) + (width == 0 ? " without a screen" : " on a screen"));
      EXPECT_EQ(RunFlow(row.args, SshScript(), width), 0);
      const Lines shown = width == 0 ? MemoryScreenPlainLines(1) : MemoryScreenLines();
      if (row.version) {
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].rfind("swKicker 1.", 0), 0u) << shown[0];
        EXPECT_NE(shown[0].find(", libssh 0.0-script, "), std::string::npos) << shown[0];
      } else {
        EXPECT_EQ(shown, width == 0 ? kUsageText : kUsageScreen);
      }
      EXPECT_TRUE(MemoryScreenPlainLines(2).empty());
      EXPECT_TRUE(MemoryScreenSleeps().empty());
      EXPECT_EQ(MemoryScreenKeyWaits(), 0);
      EXPECT_TRUE(SshScriptCalls().empty());
    }
  }
  // Only as the only parameter: otherwise it is a user name.
  EXPECT_EQ(RunFlow({"--help", "/pw:p", "/port:22", "/v:n", "/ip:h"}), 0);
  EXPECT_EQ(Find(SshCallKind::kConnect)->user, "--help");
}

TEST(FlowTest, InitialisationFailureComesBeforeTheCommandLine) {
  SshScript script;
  script.initializeResult = 0;
  const std::vector<std::vector<std::string>> cases = {
      {}, {"/user:a", "/pw:b", "/port:22", "/v:y", "/ip:10.0.0.1"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    EXPECT_EQ(RunFlow(args, script), 1);
    EXPECT_EQ(MemoryScreenLines(),
              (Lines{"Unable to initialize SocketTools library", "",
                     "press any key to quit"}));
    EXPECT_EQ(MemoryScreenKeyWaits(), 1);
    EXPECT_EQ(Count(SshCallKind::kConnect), 0);
    // Released on this path too.
    EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  }
}

TEST(FlowTest, NoKeyWaitForAMessageNobodySees) {
  // All output redirected away from the terminal: the usage screen and the
  // initialisation failure end at once instead of waiting on a blank screen.
  SshScript failing;
  failing.initializeResult = 0;
  struct Row {
    const char* name;
    SshScript script;
    int status;
  };
  const Row rows[] = {{"Usage", SshScript(), 0}, {"InitFailure", failing, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(RunFlow({}, row.script, 0), row.status);
    EXPECT_EQ(MemoryScreenKeyWaits(), 0);
    EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  }
}

TEST(FlowTest, VerboseRunPrintsBannerSessionAndClosingPause) {
  EXPECT_EQ(RunFlow({"/user:admin", "/pw:secret", "/port:22", "/v:y",
                 "/ip:192.0.2.1"}),
            0);
  EXPECT_EQ(MemoryScreenLines(),
            (Lines{"SWKicker v1.0", "",
                   "connecting to 192.0.2.1 and sending reboot command",
                   "responding 'y' to question",
                   "disconnecting from 192.0.2.1",
                   "done - quitting in 4 seconds"}));
  EXPECT_EQ(MemoryScreenSleeps(), std::vector<int32_t>{4000});
  EXPECT_EQ(MemoryScreenKeyWaits(), 0);
  const SshCall* connect = Find(SshCallKind::kConnect);
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(connect->host, "192.0.2.1");
  EXPECT_EQ(connect->port, 22);
  EXPECT_EQ(connect->user, "admin");
  EXPECT_EQ(connect->password, "secret");
  EXPECT_EQ(connect->command, "/system reboot");
  EXPECT_EQ(Find(SshCallKind::kWriteLine)->text, "y");
  EXPECT_EQ(Count(SshCallKind::kInitialize), 1);
  EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  EXPECT_EQ(SshScriptCalls().back().kind, SshCallKind::kUninitialize);
}

// Verbose mode says where an alias went and the key a first contact
// recorded, as ssh's "Permanently added" does; nothing more when the session
// went where it was told and knew the key.
TEST(FlowTest, VerboseRunNamesWhereItWentAndTheKeyItRecorded) {
  SshScript script;
  script.route = {.host = "127.0.0.1", .port = 2201, .user = "admin",
                  .addedName = "[127.0.0.1]:2201", .addedKeyType = "ED25519",
                  .addedFingerprint = "SHA256:abc", .addedFile = "/root/.ssh/known_hosts"};
  EXPECT_EQ(RunFlow({"/user:", "/pw:p", "/port:", "/v:y", "/ip:myrouter"}, script), 0);
  EXPECT_EQ(MemoryScreenLines(),
            (Lines{"SWKicker v1.0", "", "connecting to myrouter and sending reboot command",
                   "myrouter is 127.0.0.1 port 2201, user admin",
                   "permanently added '[127.0.0.1]:2201' (ED25519 key SHA256:abc) to "
                   "/root/.ssh/known_hosts",
                   "responding 'y' to question", "disconnecting from myrouter",
                   "done - quitting in 4 seconds"}));
}

TEST(FlowTest, QuietRunPrintsNothingAndEndsAtOnce) {
  EXPECT_EQ(RunFlow({"/user:admin", "/pw:secret", "/port:22", "/v:n",
                 "/ip:192.0.2.1"}),
            0);
  EXPECT_TRUE(MemoryScreenLines().empty());
  EXPECT_TRUE(MemoryScreenSleeps().empty());
  EXPECT_EQ(MemoryScreenKeyWaits(), 0);
  EXPECT_EQ(Count(SshCallKind::kWriteLine), 1);
  EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
}

// A failure of no particular kind ends with exit status 1 so that scripts
// and schedulers see it.
TEST(FlowTest, FailuresEndWithStatusOne) {
  struct Row {
    const char* name;
    const char* verbose;
    SshScript script;
    Lines lines;
    std::vector<int32_t> sleeps;
  };
  SshScript refused;
  refused.connectResult = kInvalidClient;
  SshScript unsent;
  unsent.writeResult = 0;
  unsent.writeFailure = SshFailure::kOther;
  const char kNoReason[] = "Reason: the SSH library gave no reason.";
  const Row rows[] = {
      {"refused, quiet", "/v:n", refused,
       {"Connection attempt failed. Error: 'invalid client'.", kNoReason}, {4000}},
      {"refused, verbose", "/v:y", refused,
       {"SWKicker v1.0", "", "connecting to h and sending reboot command",
        "Connection attempt failed. Error: 'invalid client'.", kNoReason,
        "done - quitting in 4 seconds"},
       {4000, 4000}},
      {"answer not sent, quiet", "/v:n", unsent,
       {"Sending the answer failed.", kNoReason}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(RunFlow({"/user:u", "/pw:p", "/port:22", row.verbose, "/ip:h"},
                  row.script),
              1);
    EXPECT_EQ(MemoryScreenLines(), row.lines);
    EXPECT_EQ(MemoryScreenSleeps(), row.sleeps);
    EXPECT_EQ(MemoryScreenKeyWaits(), 0);
    EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  }
}

// A scheduled job sees only the exit status: each reason has its own, and 0
// means the answer was delivered and the router reported no failure.
TEST(FlowTest, EachReasonEndsWithItsOwnStatus) {
  const struct {
    const char* name;
    SshClient connect;
    int32_t write;
    int32_t disconnect;
    SshFailure failure;
    int status;
  } kRows[] = {
      {"delivered", 1, 1, 1, SshFailure::kNone, 0},
      {"other connect failure", kInvalidClient, 1, 1, SshFailure::kOther, 1},
      {"name not resolved", kInvalidClient, 1, 1, SshFailure::kNameNotResolved, 2},
      {"connection refused", kInvalidClient, 1, 1, SshFailure::kConnectionRefused, 3},
      {"timed out", kInvalidClient, 1, 1, SshFailure::kTimedOut, 4},
      {"host key refused", kInvalidClient, 1, 1, SshFailure::kHostKeyRefused, 5},
      {"authentication refused", kInvalidClient, 1, 1, SshFailure::kAuthenticationRefused, 6},
      {"ended before asking", 1, 0, 1, SshFailure::kRemoteEnded, 7},
      {"timed out before the answer", 1, 0, 1, SshFailure::kTimedOut, 4},
      {"router reported a failure", 1, 1, 0, SshFailure::kRemoteFailed, 8},
      {"no shared algorithm", kInvalidClient, 1, 1, SshFailure::kNoSharedAlgorithm, 9},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    SshScript script;
    script.connectResult = row.connect;
    script.writeResult = row.write;
    script.disconnectResult = row.disconnect;
    script.connectFailure = script.writeFailure = script.disconnectFailure = row.failure;
    EXPECT_EQ(RunFlow({"/user:u", "/pw:p", "/port:22", "/v:n", "/ip:h"}, script), row.status);
  }
}

TEST(FlowTest, ValuesAreTakenByPositionAndStrippedOfTheirOwnPrefix) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    const char* user;
    const char* password;
    int32_t port;
    const char* host;
    bool verbose;
  };
  const Row rows[] = {
      {"upper-case verbose switch", {"/user:a", "/pw:b", "/port:22", "/V:Y", "/ip:h"},
       "a", "b", 22, "h", true},
      // The user value is neither lower-cased nor stripped of another case.
      {"prefix test is case-sensitive", {"/USER:admin", "/pw:b", "/port:22", "/v:n", "/ip:h"},
       "/USER:admin", "b", 22, "h", false},
      {"prefix twice", {"/user:a", "/pw:b", "/port:22", "/v:n", "/ip:/ip:10.0.0.1"},
       "a", "b", 22, "10.0.0.1", false},
      {"out of order keeps the prefix", {"/pw:b", "/user:a", "/port:22", "/v:n", "/ip:h"},
       "/pw:b", "/user:a", 22, "h", false},
      {"four parameters: empty address", {"/user:a", "/pw:b", "/port:23.5", "/v:n"},
       "a", "b", 24, "", false},
      {"yes is not y", {"/user:a", "/pw:b", "/port:22", "/v:yes", "/ip:h"},
       "a", "b", 22, "h", false},
      {"sixth parameter ignored", {"/user:a", "/pw:b", "/port:22", "/v:n", "/ip:h", "extra"},
       "a", "b", 22, "h", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunFlow(row.args);
    const SshCall* connect = Find(SshCallKind::kConnect);
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(connect->user, row.user);
    EXPECT_EQ(connect->password, row.password);
    EXPECT_EQ(connect->port, row.port);
    EXPECT_EQ(connect->host, row.host);
    EXPECT_EQ(!MemoryScreenLines().empty(), row.verbose);
  }
}

TEST(FlowTest, TabAloneIsNotAnEmptyCommandLine) {
  EXPECT_EQ(RunFlow({"\t"}), 0);
  const SshCall* connect = Find(SshCallKind::kConnect);
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(connect->user, "\t");
  EXPECT_EQ(connect->password, "");
  EXPECT_EQ(connect->host, "");
  EXPECT_EQ(MemoryScreenKeyWaits(), 0);
}

// Runs the flow as cron would: no terminal shows its messages. Returns the
// exit status; the system log's lines are in SystemLogMemoryRecords().
int RunUnwatched(std::vector<std::string> args, const SshScript& script = SshScript()) {
  MemoryScreenReset(120, 30);
  Console().output = -1;
  SshScriptReset(script);
  SystemLogMemoryReset();
  SetCommandLineText(CommandLineOf(args));
  return RunProgramFlow();
}

TEST(FlowTest, RunWithoutTerminalLeavesOneLineInTheSystemLog) {
  SshScript refused;
  refused.connectResult = kInvalidClient;
  refused.connectFailure = SshFailure::kConnectionRefused;
  SshScript noInit;
  noInit.initializeResult = 0;
  SshScript alias;
  alias.route = {.host = "127.0.0.1", .port = 2201, .user = "admin",
                 .addedName = "[127.0.0.1]:2201", .addedKeyType = "ED25519",
                 .addedFingerprint = "SHA256:abc", .addedFile = "/root/.ssh/known_hosts"};
  SshScript oldRouter;
  oldRouter.connectResult = kInvalidClient;
  oldRouter.connectFailure = SshFailure::kNoSharedAlgorithm;
  oldRouter.failureText =
      "the router offers only old host key types (ssh-rsa); to allow them for this router, add "
      "to ~/.ssh/config: Host 192.0.2.1 / HostKeyAlgorithms +ssh-rsa.";
  // The question the router asked, as the log keeps it for the audit.
  const std::string kAsked = " question=\"Reboot now? [y/N]: \"";
  const struct {
    const char* name;
    std::vector<std::string> args;
    SshScript script;
    bool failure;
    std::string line;
  } kRows[] = {
      {"answered", {"/user:admin", "/pw:Sec ret", "/port:0", "/v:n", "/ip:192.0.2.1"}, {},
       false, "address=192.0.2.1 port=22 user=admin outcome=answered" + kAsked},
      {"verbose makes no difference", {"/user:admin", "/pw:s", "/port:2222", "/v:y", "/ip:r1"},
       {}, false, "address=r1 port=2222 user=admin outcome=answered" + kAsked},
      {"failed", {"/user:admin", "/pw:Secret", "/port:22", "/v:n", "/ip:192.0.2.1"}, refused,
       true,
       "address=192.0.2.1 port=22 user=admin outcome=failed "
       "reason=\"connection refused\""},
      // A line break in a value must not start a second, forged log line.
      {"values with blanks and line breaks",
       {"/user:a b=c", "/pw:p", "/port:22", "/v:n", "/ip:h\nswKicker: forged"}, {}, false,
       "address=\"h\\x0aswKicker: forged\" port=22 user=\"a b=c\" outcome=answered" + kAsked},
      // Out of order, the password lands in the user's place, prefix and all.
      {"password given out of order is starred",
       {"/pw:Secret", "/user:admin", "/port:22", "/v:n", "/ip:h"}, {}, false,
       "address=h port=22 user=/pw:****** outcome=answered" + kAsked},
      // What to add reaches the admin of a scheduled job too.
      {"no shared algorithm", {"/user:admin", "/pw:Secret", "/port:22", "/v:n", "/ip:192.0.2.1"},
       oldRouter, true,
       "address=192.0.2.1 port=22 user=admin outcome=failed reason=\"the router offers only old "
       "host key types (ssh-rsa); to allow them for this router, add to ~/.ssh/config: Host "
       "192.0.2.1 / HostKeyAlgorithms +ssh-rsa.\""},
      // Where it went (a Host alias with HostName, Port and User), the name
      // as given, and the key its first contact recorded.
      {"alias and first contact", {"/user:", "/pw:p", "/port:", "/v:n", "/ip:myrouter"}, alias,
       false,
       "address=127.0.0.1 port=2201 user=admin name=myrouter outcome=answered "
       "added_key=\"ED25519 SHA256:abc\" known_hosts=/root/.ssh/known_hosts" + kAsked},
      {"no options", {}, {}, false, "outcome=no-options reason=\"nothing to do\""},
      {"library cannot start", {"/user:a", "/pw:p", "/port:22", "/v:n", "/ip:h"}, noInit, true,
       "outcome=failed reason=\"the SSH library could not start\""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    RunUnwatched(row.args, row.script);
    ASSERT_EQ(SystemLogMemoryRecords().size(), 1u);
    EXPECT_EQ(SystemLogMemoryRecords()[0].line, row.line);
    EXPECT_EQ(SystemLogMemoryRecords()[0].failure, row.failure);
    EXPECT_EQ(SystemLogMemoryRecords()[0].line.find("Sec"), std::string::npos);
  }
}

// With no screen (`swKicker ... > run.log 2>&1`, cron) the run's lines are
// plain text: progress on standard output, every failure and its reason on
// standard error, and no pause, since nobody reads the screen.
TEST(FlowTest, WithoutAScreenLinesGoToTheirStreamsAndNothingPauses) {
  SshScript refused;
  refused.connectResult = kInvalidClient;
  refused.connectFailure = SshFailure::kAuthenticationRefused;
  refused.failureText = "the user name or password was refused.";
  SshScript noInit;
  noInit.initializeResult = 0;
  const std::vector<std::string> kBase = {"/user:u", "/pw:p", "/port:22"};
  const struct {
    const char* name;
    std::vector<std::string> args;
    SshScript script;
    int status;
    Lines out;
    Lines errors;
  } kRows[] = {
      {"verbose success", {"/v:y", "/ip:h"}, {}, 0,
       {"SWKicker v1.0", "", "connecting to h and sending reboot command",
        "responding 'y' to question", "disconnecting from h", "done - quitting in 4 seconds"},
       {}},
      {"quiet success", {"/v:n", "/ip:h"}, {}, 0, {}, {}},
      {"verbose, wrong password", {"/v:y", "/ip:h"}, refused, 6,
       {"SWKicker v1.0", "", "connecting to h and sending reboot command",
        "done - quitting in 4 seconds"},
       {"Connection attempt failed. Error: 'invalid client'.",
        "Reason: the user name or password was refused."}},
      {"quiet, wrong password", {"/v:n", "/ip:h"}, refused, 6, {},
       {"Connection attempt failed. Error: 'invalid client'.",
        "Reason: the user name or password was refused."}},
      {"invalid /wait:", {"/v:y", "/ip:h", "/wait:0"}, {}, 1, {},
       {"The option /wait: is not valid.",
        "Reason: /wait: takes a whole number of seconds from 1 to 3600."}},
      {"library cannot start", {"/v:y", "/ip:h"}, noInit, 1, {},
       {"Unable to initialize SocketTools library"}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args = kBase;
    args.insert(args.end(), row.args.begin(), row.args.end());
    EXPECT_EQ(RunUnwatched(args, row.script), row.status);
    EXPECT_EQ(MemoryScreenPlainLines(1), row.out);
    EXPECT_EQ(MemoryScreenPlainLines(2), row.errors);
    EXPECT_TRUE(MemoryScreenLines().empty());
    EXPECT_TRUE(MemoryScreenSleeps().empty());
    EXPECT_EQ(MemoryScreenKeyWaits(), 0);
  }
  // The bare command's usage, with nothing about a key nobody is asked for.
  EXPECT_EQ(RunUnwatched({}), 0);
  EXPECT_EQ(MemoryScreenPlainLines(1), kUsageText);
  EXPECT_EQ(MemoryScreenKeyWaits(), 0);
}

TEST(FlowTest, RunOnATerminalWritesNothingToTheSystemLog) {
  SshScript refused;
  refused.connectResult = kInvalidClient;
  SystemLogMemoryReset();
  RunFlow({"/user:a", "/pw:p", "/port:22", "/v:n", "/ip:h"});
  RunFlow({"/user:a", "/pw:p", "/port:22", "/v:n", "/ip:h"}, refused);
  RunFlow({});
  EXPECT_TRUE(SystemLogMemoryRecords().empty());
}

TEST(FlowTest, SystemLogValuesKeepQuotesAndBackslashesInsideTheirQuotes) {
  RunLogEntry entry;
  entry.address = "a\"b";
  entry.port = 65535;
  entry.user = "c\\d\x7f";
  entry.outcome = "failed";
  entry.reason = "";
  EXPECT_EQ(RunLogLine(entry),
            "address=\"a\\\"b\" port=65535 user=\"c\\\\d\\x7f\" outcome=failed");
}

// A /wait: that cannot be meant is refused before the session: the router
// is never connected to. Without the prefix a sixth value is ignored.
TEST(FlowTest, InvalidWaitIsRefusedBeforeTheRouterIsReached) {
  const char* kInvalid[] = {"/wait:", "/wait:0", "/wait:3601", "/wait:1.5", "/wait:-5",
                            "/wait:5s"};
  for (const char* wait : kInvalid) {
    SCOPED_TRACE(wait);
    EXPECT_EQ(RunFlow({"/user:admin", "/pw:pw", "/port:22", "/v:y", "/ip:10.0.0.1", wait}), 1);
    EXPECT_EQ(MemoryScreenLines(),
              (Lines{"The option /wait: is not valid.",
                     "Reason: /wait: takes a whole number of seconds from 1 to 3600."}));
    EXPECT_EQ(Count(SshCallKind::kConnect), 0);
    EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  }
  EXPECT_EQ(RunFlow({"/user:admin", "/pw:pw", "/port:22", "/v:n", "/ip:10.0.0.1", "wait:0"}), 0);
  EXPECT_EQ(Count(SshCallKind::kConnect), 1);
  EXPECT_TRUE(MemoryScreenLines().empty());
}

// The preflight is a fleet option: asked for after the five, in any place
// and spelling, it is refused before the router is reached, never taken
// for a reboot.
TEST(FlowTest, PreflightAskedOfTheSingleCommandIsRefused) {
  const std::vector<std::string> kTails[] = {
      {"/check:y"}, {"/check:n"}, {"/CHECK:Y"}, {"/wait:60", "/check:y"}, {"x", "/check:y"}};
  for (const auto& tail : kTails) {
    SCOPED_TRACE(tail.back());
    std::vector<std::string> args = {"/user:admin", "/pw:pw", "/port:22", "/v:y",
                                     "/ip:10.0.0.1"};
    args.insert(args.end(), tail.begin(), tail.end());
    EXPECT_EQ(RunFlow(args), 1);
    ASSERT_FALSE(MemoryScreenLines().empty());
    EXPECT_EQ(MemoryScreenLines()[0], "The option /check: is not valid.");
    EXPECT_EQ(Count(SshCallKind::kConnect), 0);
    EXPECT_EQ(Count(SshCallKind::kUninitialize), 1);
  }
}

}  // namespace
