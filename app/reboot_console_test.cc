// The reboot conversation against the scripted SSH library and the
// in-memory screen: what reaches the library, what is printed, what is
// returned.

#include "app/reboot_console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/memory_screen.h"
#include "testing/ssh_script.h"

namespace {

using Lines = std::vector<std::string>;

const char kConnecting[] = "connecting to 192.0.2.1 and sending reboot command";
const char kResponding[] = "responding 'y' to question";
const char kDisconnecting[] = "disconnecting from 192.0.2.1";
const char kConnectFailed[] = "Connection attempt failed. Error: 'invalid client'.";
const char kSendFailed[] = "Sending the answer failed.";
const char kEndedEarly[] = "Reason: the router ended the session before asking.";

std::vector<SshCallKind> Kinds() {
  std::vector<SshCallKind> kinds;
  for (const SshCall& call : SshScriptCalls()) kinds.push_back(call.kind);
  return kinds;
}

SshFailure RunScripted(const SshScript& script, const std::string& verbose,
         const std::string& address = "192.0.2.1", const std::string& user = "admin",
         const std::string& password = "s3cret", const std::string& port = "22") {
  MemoryScreenReset(400, 25);
  SshScriptReset(script);
  return RunRebootSession(user, password, port, verbose, address);
}

TEST(RebootSession, VerboseRunDrivesTheLibraryInOrderAndPrintsThreeLines) {
  EXPECT_EQ(RunScripted(SshScript(), "y"), SshFailure::kNone);
  EXPECT_EQ(MemoryScreenLines(), (Lines{kConnecting, kResponding, kDisconnecting}));
  EXPECT_TRUE(MemoryScreenSleeps().empty());
  ASSERT_EQ(Kinds(), (std::vector<SshCallKind>{SshCallKind::kConnect, SshCallKind::kReadLine,
                                               SshCallKind::kWriteLine,
                                               SshCallKind::kDisconnect}));
  const SshCall& connect = SshScriptCalls()[0];
  EXPECT_EQ(connect.host, "192.0.2.1");
  EXPECT_EQ(connect.port, 22);
  EXPECT_EQ(connect.user, "admin");
  EXPECT_EQ(connect.password, "s3cret");
  EXPECT_EQ(connect.timeout, 20);
  EXPECT_EQ(connect.flags, 512u);
  ASSERT_TRUE(connect.hasOptions);
  EXPECT_EQ(connect.optionsSize, 952u);
  EXPECT_TRUE(connect.optionsReservedZero);
  EXPECT_EQ(connect.command, "/system reboot");
  EXPECT_TRUE(connect.reservedNull);
  const SshCall& read = SshScriptCalls()[1];
  EXPECT_EQ(read.client, 1u);
  EXPECT_EQ(read.countIn, 1024);
  EXPECT_EQ(read.passwordBufferNow, "") << "password left in memory after the connect";
  const SshCall& write = SshScriptCalls()[2];
  EXPECT_EQ(write.client, 1u);
  EXPECT_EQ(write.text, "y");
  EXPECT_EQ(write.countIn, 1024);
  EXPECT_EQ(SshScriptCalls()[3].client, 1u);
}

TEST(RebootSession, OnlyExactlyYIsVerbose) {
  const struct {
    const char* verbose;
    bool printed;
  } kCases[] = {{"y", true}, {"Y", false}, {"yes", false}, {"", false}, {"n", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.verbose);
    EXPECT_EQ(RunScripted(SshScript(), c.verbose), SshFailure::kNone);
    EXPECT_EQ(MemoryScreenLines().empty(), !c.printed);
    EXPECT_EQ(SshScriptCalls().size(), 4u);
  }
}

TEST(RebootSession, ConnectionFailureIsReportedInBothModesWithItsPause) {
  for (const char* verbose : {"y", "n"}) {
    SCOPED_TRACE(verbose);
    SshScript script;
    script.connectResult = kInvalidClient;
    EXPECT_EQ(RunScripted(script, verbose), SshFailure::kOther);
    Lines expected = {kConnectFailed, "Reason: the SSH library gave no reason."};
    if (std::string(verbose) == "y") expected.insert(expected.begin(), kConnecting);
    EXPECT_EQ(MemoryScreenLines(), expected);
    EXPECT_EQ(MemoryScreenSleeps(), (std::vector<int32_t>{4000}));
    EXPECT_EQ(Kinds(), (std::vector<SshCallKind>{SshCallKind::kConnect}));
  }
}

// One short line after the failure message names the reason, in both modes;
// the library's own text is used where it has one.
TEST(RebootSession, ConnectionFailureNamesItsReason) {
  const struct {
    SshFailure kind;
    const char* text;
    const char* line;
  } kCases[] = {
      {SshFailure::kNameNotResolved, "", "Reason: the router's name could not be resolved."},
      {SshFailure::kConnectionRefused, "", "Reason: the router refused the connection."},
      {SshFailure::kTimedOut, "", "Reason: the router did not respond in time."},
      {SshFailure::kHostKeyRefused, "host key changed: /h/.ssh/known_hosts line 3 lists another key.",
       "Reason: host key changed: /h/.ssh/known_hosts line 3 lists another key."},
      {SshFailure::kAuthenticationRefused, "", "Reason: the user name or password was refused."},
      {SshFailure::kAuthenticationRefused, "the router asked for more than the password.",
       "Reason: the router asked for more than the password."},
      {SshFailure::kOther, "no router address was given.", "Reason: no router address was given."},
      // A library that reports no reason still fails the run, with a line.
      {SshFailure::kOther, "", "Reason: the SSH library gave no reason."},
      {SshFailure::kNone, "", "Reason: the SSH library gave no reason."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    SshScript script;
    script.connectResult = kInvalidClient;
    script.connectFailure = c.kind;
    script.failureText = c.text;
    const SshFailure expectedKind = c.kind == SshFailure::kNone ? SshFailure::kOther : c.kind;
    EXPECT_EQ(RunScripted(script, "n"), expectedKind);
    EXPECT_EQ(MemoryScreenLines(), (Lines{kConnectFailed, c.line}));
    EXPECT_EQ(MemoryScreenSleeps(), (std::vector<int32_t>{4000}));
  }
}

// A router that refuses the reboot after the answer (exit status, signal)
// is a failed reboot; one that merely fails to close cleanly is not.
TEST(RebootSession, FailureReportedByTheRouterAfterTheAnswerIsAFailedReboot) {
  for (const char* verbose : {"y", "n"}) {
    SCOPED_TRACE(verbose);
    SshScript script;
    script.disconnectResult = 0;
    script.disconnectFailure = SshFailure::kRemoteFailed;
    script.failureText = "exit status 1 (failure: not enough permissions)";
    EXPECT_EQ(RunScripted(script, verbose), SshFailure::kRemoteFailed);
    const char* failed =
        "The reboot failed: the router reported exit status 1 (failure: not enough permissions).";
    const Lines expected = std::string(verbose) == "y"
                               ? Lines{kConnecting, kResponding, kDisconnecting, failed}
                               : Lines{failed};
    EXPECT_EQ(MemoryScreenLines(), expected);
  }
  SshScript unclean;
  unclean.disconnectResult = 0;
  unclean.disconnectFailure = SshFailure::kOther;
  EXPECT_EQ(RunScripted(unclean, "n"), SshFailure::kNone);
  EXPECT_TRUE(MemoryScreenLines().empty());
}

// A router that drops the session instead of taking the answer (a user who
// may not reboot it) must not end as a quiet success.
TEST(RebootSession, FailedAnswerIsReportedInBothModesAndStillDisconnects) {
  for (const char* verbose : {"y", "n"}) {
    SCOPED_TRACE(verbose);
    SshScript script;
    script.writeResult = 0;
    EXPECT_EQ(RunScripted(script, verbose), SshFailure::kRemoteEnded);
    const Lines expected = std::string(verbose) == "y"
                               ? Lines{kConnecting, kResponding, kSendFailed, kEndedEarly,
                                       kDisconnecting}
                               : Lines{kSendFailed, kEndedEarly};
    EXPECT_EQ(MemoryScreenLines(), expected);
    EXPECT_EQ(Kinds().back(), SshCallKind::kDisconnect);
  }
}

TEST(RebootSession, AnswerIsSentWhateverTheReadGave) {
  const struct {
    const char* name;
    int32_t readResult;
    const char* line;
  } kCases[] = {
      {"nothing before the timeout", 0, ""},
      {"an empty line", 1, ""},
      {"a line longer than the buffer", 1, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SshScript script;
    script.readResult = c.readResult;
    script.line = c.line != nullptr ? c.line : std::string(5000, 'x');
    EXPECT_EQ(RunScripted(script, "n"), SshFailure::kNone);
    ASSERT_EQ(SshScriptCalls().size(), 4u);
    EXPECT_EQ(SshScriptCalls()[2].text, "y");
    EXPECT_TRUE(MemoryScreenLines().empty());
  }
}

TEST(RebootSession, LongTextsUpTo127BytesReachTheLibraryWhole) {
  const std::string address = std::string(115, 'a') + ".example.net";
  const std::string user = std::string(127, 'u');
  const std::string password = std::string(127, 'p');
  EXPECT_EQ(RunScripted(SshScript(), "y", address, user, password), SshFailure::kNone);
  const SshCall& connect = SshScriptCalls()[0];
  EXPECT_EQ(connect.host, address);
  EXPECT_EQ(connect.user, user);
  EXPECT_EQ(connect.password, password);
}

// A value the fixed texts cannot hold whole, or a port outside 1..65535
// however it is written, is refused before anything connects: a cut
// address names another router, a wrapped port another service.
TEST(RebootSession, ValuesThatDoNotFitAreRefusedBeforeConnecting) {
  const std::string over = std::string(127, 'x') + "OVER";
  const struct {
    std::string user, password, port, address;
    const char* reason;
  } kCases[] = {
      {over, "pw", "22", "192.0.2.1", "Reason: the user name is longer than 127 bytes."},
      {"admin", over, "22", "192.0.2.1", "Reason: the password is longer than 127 bytes."},
      {"admin", "pw", "22", "192.0.2.1." + std::string(127, 'a'),
       "Reason: the router address is longer than 127 bytes."},
      {"admin", "pw", std::string(30, '0') + "22", "192.0.2.1",
       "Reason: the port is longer than 31 bytes."},
      {"admin", "pw", "65536", "192.0.2.1", "Reason: the port 65536 is outside 1 to 65535."},
      {"admin", "pw", "4294967318", "192.0.2.1",
       "Reason: the port 4294967318 is outside 1 to 65535."},
      {"admin", "pw", "99999999999999999999", "192.0.2.1",
       "Reason: the port 99999999999999999999 is outside 1 to 65535."},
      {"admin", "pw", "1e20", "192.0.2.1", "Reason: the port 1e20 is outside 1 to 65535."},
      {"admin", "pw", "-1", "192.0.2.1", "Reason: the port -1 is outside 1 to 65535."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(RunScripted(SshScript(), "n", c.address, c.user, c.password, c.port),
              SshFailure::kOther);
    EXPECT_TRUE(SshScriptCalls().empty());
    EXPECT_EQ(MemoryScreenLines(), (Lines{kConnectFailed, c.reason}));
    EXPECT_EQ(MemoryScreenSleeps(), (std::vector<int32_t>{4000}));
  }
}

TEST(RebootSession, PortTextIsReadAsANumber) {
  const struct {
    std::string text;
    int32_t port;
  } kCases[] = {
      {"22", 22}, {"", 0}, {"22.5", 22}, {"23.5", 24}, {"ssh", 0}, {"65535", 65535},
      {std::string(29, '0') + "22", 22},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    RunScripted(SshScript(), "n", "192.0.2.1", "admin", "pw", c.text);
    ASSERT_FALSE(SshScriptCalls().empty());
    EXPECT_EQ(SshScriptCalls()[0].port, c.port);
  }
}

}  // namespace
