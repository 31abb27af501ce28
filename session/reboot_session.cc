#include "session/reboot_session.h"

#include <string>

#include "base/clock.h"
#include "base/numbers.h"
#include "base/wipe.h"
#include "ssh/ssh_library.h"

namespace {

constexpr int32_t kConnectTimeoutSeconds = 20;
constexpr uint32_t kConnectFlags = 512;
constexpr int32_t kLineCount = 1024;
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

// The talk's calls, where it has them.
void Stage(const RebootTalk& talk, const std::string& line) {
  if (talk.stage != nullptr) talk.stage(line, talk.context);
}

// A failure is told, and its reason kept for the result: the headline
// stands for a reason it has not.
void Failed(const RebootTalk& talk, const std::string& headline, const std::string& reason,
            RebootResult* result) {
  if (talk.failed != nullptr) talk.failed(headline, reason, talk.context);
  result->reason = reason.empty() ? headline : reason;
  // The reason reads as one clause in a report: no closing full stop.
  if (!result->reason.empty() && result->reason.back() == '.') result->reason.pop_back();
}

// The lines about where the session went, when that is not what was given
// (an alias in the SSH configuration, its User or Port, another spelling of
// an address), and about a router's key recorded on first contact, as ssh
// says it.
void TellRoute(const RebootTalk& talk, const SshRoute& route, std::string_view address,
               int32_t port, std::string_view user) {
  if (route.host != address || route.port != (port == 0 ? kSshDefaultPort : port) ||
      route.user != user) {
    Stage(talk, std::string(address) + " is " + route.host + " port " +
                    std::to_string(route.port) + ", user " + route.user);
  }
  if (!route.addedFingerprint.empty() && !route.addedWouldBe) {
    Stage(talk, "permanently added '" + route.addedName + "' (" + route.addedKeyType + " key " +
                    route.addedFingerprint + ") to " + route.addedFile);
  }
}

// The fixed texts the library's calls take, kept by the caller for the
// whole session, as the library may look at them until it ends.
struct SessionTexts {
  FixedText<128> address;
  FixedText<128> user;
  FixedText<128> password;
  FixedText<512> command;
  SshConnectOptions options = {};
};

// The session's opening, for a reboot or (with kSshCheckOnly in flags) a
// check: the values checked, the connection with the reboot command as the
// remote one, the password wiped, the route told. kInvalidClient when it
// failed, told and in result.
SshClient OpenRouterSession(std::string_view user, std::string* password, std::string_view port,
                            std::string_view address, const RebootTalk& talk,
                            const SshPeerCheck& check, uint32_t flags, SessionTexts* texts,
                            RebootResult* result) {
  const std::string problem = RequestProblem(user, *password, port, address);
  if (!problem.empty()) {
    Wipe(password);
    result->failure = SshFailure::kOther;
    Failed(talk, "Connection attempt failed. Error: 'invalid client'.", problem, result);
    return kInvalidClient;
  }

  FixedText<128>& addressText = texts->address;
  FixedText<128>& userText = texts->user;
  FixedText<128>& passwordText = texts->password;
  SshConnectOptions& options = texts->options;
  options.size = sizeof options;

  const int32_t portNumber = PortFromText(port);
  StoreFixedText(address, &addressText);
  StoreFixedText(user, &userText);
  StoreFixedText(*password, &passwordText);
  StoreFixedText(kRebootCommand, &texts->command);
  StoreFixedText(ReadFixedText(texts->command), options.remoteCommand,
                 sizeof options.remoteCommand);

  // The library asks the check of the sessions this thread opens, while it
  // is set.
  if (check) SshSetPeerCheck(check);
  const SshClient client =
      SshConnectA(addressText.bytes, portNumber, userText.bytes, passwordText.bytes,
                  kConnectTimeoutSeconds, flags, &options, nullptr);
  if (check) SshSetPeerCheck(nullptr);
  // The password is not needed once the session is open (or has failed),
  // and is gone before any pause.
  WipeBytes(passwordText.bytes, sizeof passwordText.bytes);
  Wipe(password);
  if (SshLastRoute(&result->route)) TellRoute(talk, result->route, address, portNumber, user);
  if (client == kInvalidClient) {
    result->failure = LastFailure(&result->libraryText);
    Failed(talk, "Connection attempt failed. Error: 'invalid client'.",
           ReasonText(result->failure, result->libraryText), result);
    return kInvalidClient;
  }
  result->opened = true;
  if (!SshLastPeer(&result->peer)) result->peer = SshPeer();
  return client;
}

}  // namespace

RebootResult Reboot(std::string_view user, std::string* password, std::string_view port,
                    std::string_view address, const RebootTalk& talk,
                    const SshPeerCheck& check) {
  RebootResult result;
  SessionTexts texts;
  Stage(talk, "connecting to " + std::string(address) + " and sending reboot command");
  SshClient client = OpenRouterSession(user, password, port, address, talk, check,
                                       kConnectFlags, &texts, &result);
  if (client == kInvalidClient) return result;

  FixedText<512>& command = texts.command;
  char line[kLineCount] = {};
  int32_t count = kLineCount;
  // Whatever came back (even nothing before the timeout), the answer is sent.
  if (SshReadLineA(client, line, &count) != 0 && count >= 0 && count < kLineCount) {
    result.question.assign(line, static_cast<size_t>(count));
  }
  Stage(talk, "responding 'y' to question");

  StoreFixedText(kAnswer, &command);
  count = kLineCount;
  // The router closes the session when the user may not reboot it: that
  // must not look like a quiet success.
  if (SshWriteLineA(client, command.bytes, &count) == 0) {
    result.failure = LastFailure(&result.libraryText);
    Failed(talk, "Sending the answer failed.", ReasonText(result.failure, result.libraryText),
           &result);
  } else {
    result.answeredMs = MonotonicMs();
  }

  Stage(talk, "disconnecting from " + std::string(address));
  // A router that goes down to reboot simply ends the session; one that
  // refuses says so with its command's exit status or a signal.
  if (SshDisconnect(client) == 0 && result.failure == SshFailure::kNone) {
    std::string text;
    if (LastFailure(&text) == SshFailure::kRemoteFailed) {
      result.failure = SshFailure::kRemoteFailed;
      result.libraryText = text;
      Failed(talk, "The reboot failed: the router reported " + text + ".", "", &result);
    }
  }
  client = kInvalidClient;
  return result;
}

RebootResult CheckQuietly(std::string_view user, std::string* password, std::string_view port,
                          std::string_view address, const SshPeerCheck& check) {
  RebootResult result;
  SessionTexts texts;
  const SshClient client = OpenRouterSession(user, password, port, address, RebootTalk(), check,
                                             kConnectFlags | kSshCheckOnly, &texts, &result);
  if (client != kInvalidClient) SshDisconnect(client);
  return result;
}

RebootResult RebootQuietly(std::string_view user, std::string* password, std::string_view port,
                           std::string_view address, const SshPeerCheck& check) {
  return Reboot(user, password, port, address, RebootTalk(), check);
}
