#include "session/reboot_session.h"

#include <string>

#include "base/numbers.h"
#include "console/console.h"
#include "session/router_return.h"
#include "ssh/ssh_library.h"
#include "base/wipe.h"

namespace {

constexpr int32_t kConnectTimeoutSeconds = 20;
constexpr uint32_t kConnectFlags = 512;
constexpr int32_t kLineCount = 1024;
constexpr int32_t kFailurePauseMs = 4000;
constexpr const char* kRebootCommand = "/system reboot";
constexpr const char* kAnswer = "y";

// The library's word on its last failure; a failure it does not explain
// counts as kOther.
SshFailure LastFailure(std::string* text) {
  char bytes[kReasonTextBytes] = {};
  SshFailure kind = SshGetLastError(bytes, sizeof bytes);
  *text = bytes;
  return kind == SshFailure::kNone ? SshFailure::kOther : kind;
}

// Why the connection or the answer failed, in a few words.
std::string ReasonText(SshFailure kind, const std::string& text) {
  switch (kind) {
    case SshFailure::kNameNotResolved:
      return "the router's name could not be resolved.";
    case SshFailure::kConnectionRefused:
      return "the router refused the connection.";
    case SshFailure::kTimedOut:
      return text.empty() ? "the router did not respond in time." : text;
    case SshFailure::kHostKeyRefused:
      return text.empty() ? "the router's host key is refused." : text;
    case SshFailure::kAuthenticationRefused:
      return text.empty() ? "the user name or password was refused." : text;
    case SshFailure::kRemoteEnded:
      return "the router ended the session before asking.";
    case SshFailure::kRemoteFailed:
    case SshFailure::kNoSharedAlgorithm:
    case SshFailure::kOther:
    case SshFailure::kNone:
      break;
  }
  // Every failure has its line, even one the library does not explain.
  return text.empty() ? "the SSH library gave no reason." : text;
}

constexpr size_t kValueBytes = 127;
constexpr size_t kPortTextBytes = 31;
constexpr int64_t kHighestPort = 65535;

// Why a value cannot be used as given, or empty when all can. A value the
// fixed texts cannot hold whole is refused rather than cut: a cut address
// can name another router and a cut password is not the password.
std::string RequestProblem(std::string_view user, std::string_view password,
                           std::string_view port, std::string_view address) {
  const struct {
    std::string_view value;
    size_t limit;
    const char* name;
  } kValues[] = {{user, kValueBytes, "the user name"},
                 {password, kValueBytes, "the password"},
                 {address, kValueBytes, "the router address"},
                 {port, kPortTextBytes, "the port"}};
  for (const auto& v : kValues) {
    if (v.value.size() > v.limit) {
      return std::string(v.name) + " is longer than " + std::to_string(v.limit) + " bytes.";
    }
  }
  // The port is read as a number exactly as before; 0 (also no number at
  // all) means the default port, and anything else outside 1..65535 is
  // refused instead of wrapping around.
  const int64_t number = RoundToInteger(TextToNumber(port));
  if (number < 0 || number > kHighestPort) {
    return "the port " + std::string(port) + " is outside 1 to 65535.";
  }
  return std::string();
}

// Where one conversation's words go: the stages (verbose only), each
// failure as a headline and its reason, and the pause after a failure.
class SessionTalk {
 public:
  virtual ~SessionTalk() = default;
  virtual void Stage(const std::string& line) = 0;
  virtual void Failed(const std::string& headline, const std::string& reason) = 0;
  virtual void Pause() = 0;
};

// The single run's: everything on the console.
class ConsoleTalk : public SessionTalk {
 public:
  explicit ConsoleTalk(bool verbose) : verbose_(verbose) {}
  void Stage(const std::string& line) override {
    if (verbose_) PrintLine(line);
  }
  void Failed(const std::string& headline, const std::string& reason) override {
    PrintLine(headline);
    if (!reason.empty()) PrintLine("Reason: " + reason);
  }
  void Pause() override { SleepMs(kFailurePauseMs); }

 private:
  bool verbose_;
};

// One router of many: nothing shown, no pause; the reason is kept.
class QuietTalk : public SessionTalk {
 public:
  void Stage(const std::string&) override {}
  void Failed(const std::string& headline, const std::string& reason) override {
    reason_ = reason.empty() ? headline : reason;
  }
  void Pause() override {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

SshFailure Converse(std::string_view user, std::string* password, std::string_view port,
                    std::string_view address, SessionTalk* talk, int64_t* answeredMs) {
  const std::string problem = RequestProblem(user, *password, port, address);
  if (!problem.empty()) {
    Wipe(password);
    talk->Failed("Connection attempt failed. Error: 'invalid client'.", problem);
    talk->Pause();
    return SshFailure::kOther;
  }

  FixedText<128> addressText;
  FixedText<128> userText;
  FixedText<128> passwordText;
  FixedText<512> command;
  SshConnectOptions options = {};
  options.size = sizeof options;
  char line[kLineCount] = {};
  int32_t count = 0;

  const int32_t portNumber = PortFromText(port);
  StoreFixedText(address, &addressText);
  StoreFixedText(user, &userText);
  StoreFixedText(*password, &passwordText);
  StoreFixedText(kRebootCommand, &command);
  StoreFixedText(ReadFixedText(command), options.remoteCommand, sizeof options.remoteCommand);

  talk->Stage("connecting to " + std::string(address) + " and sending reboot command");
  SshClient client =
      SshConnectA(addressText.bytes, portNumber, userText.bytes, passwordText.bytes,
                  kConnectTimeoutSeconds, kConnectFlags, &options, nullptr);
  // The password is not needed once the session is open (or has failed),
  // and is gone before any pause.
  WipeBytes(passwordText.bytes, sizeof passwordText.bytes);
  Wipe(password);
  if (client == kInvalidClient) {
    std::string reason;
    const SshFailure failure = LastFailure(&reason);
    talk->Failed("Connection attempt failed. Error: 'invalid client'.",
                 ReasonText(failure, reason));
    talk->Pause();
    return failure;
  }

  // Whatever came back (even nothing before the timeout), the answer is sent.
  count = kLineCount;
  SshReadLineA(client, line, &count);
  talk->Stage("responding 'y' to question");

  StoreFixedText(kAnswer, &command);
  count = kLineCount;
  SshFailure outcome = SshFailure::kNone;
  // The router closes the session when the user may not reboot it: that
  // must not look like a quiet success.
  if (SshWriteLineA(client, command.bytes, &count) == 0) {
    std::string reason;
    outcome = LastFailure(&reason);
    talk->Failed("Sending the answer failed.", ReasonText(outcome, reason));
  } else if (answeredMs != nullptr) {
    *answeredMs = MonotonicMs();
  }

  talk->Stage("disconnecting from " + std::string(address));
  // A router that goes down to reboot simply ends the session; one that
  // refuses says so with its command's exit status or a signal.
  if (SshDisconnect(client) == 0 && outcome == SshFailure::kNone) {
    std::string reason;
    if (LastFailure(&reason) == SshFailure::kRemoteFailed) {
      outcome = SshFailure::kRemoteFailed;
      talk->Failed("The reboot failed: the router reported " + reason + ".", "");
    }
  }
  client = kInvalidClient;
  return outcome;
}

}  // namespace

SshFailure RunRebootSession(std::string_view user, std::string* password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs) {
  ConsoleTalk talk(verbose == "y");
  return Converse(user, password, port, address, &talk, answeredMs);
}

SshFailure RunRebootSession(std::string_view user, std::string_view password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs) {
  std::string copy(password);
  return RunRebootSession(user, &copy, port, verbose, address, answeredMs);
}

RebootResult RebootQuietly(std::string_view user, std::string* password, std::string_view port,
                           std::string_view address) {
  QuietTalk talk;
  RebootResult result;
  result.failure = Converse(user, password, port, address, &talk, &result.answeredMs);
  result.reason = talk.reason();
  // The reason reads as one clause in a report: no closing full stop.
  if (!result.reason.empty() && result.reason.back() == '.') result.reason.pop_back();
  return result;
}
