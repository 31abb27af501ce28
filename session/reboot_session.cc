#include "session/reboot_session.h"

#include <string>

#include "session/numbers/numbers.h"
#include "console/console.h"
#include "session/ssh_library.h"
#include "session/wipe.h"

namespace {

constexpr int32_t kConnectTimeoutSeconds = 20;
constexpr uint32_t kConnectFlags = 512;
constexpr int32_t kLineCount = 1024;
constexpr int32_t kFailurePauseMs = 4000;
constexpr const char* kRebootCommand = "/system reboot";
constexpr const char* kAnswer = "y";

}  // namespace

bool RunRebootSession(std::string_view user, std::string_view password,
                      std::string_view port, std::string_view verbose,
                      std::string_view address) {
  const bool isVerbose = verbose == "y";
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
  StoreFixedText(password, &passwordText);
  StoreFixedText(kRebootCommand, &command);
  StoreFixedText(ReadFixedText(command), options.remoteCommand, sizeof options.remoteCommand);

  if (isVerbose) {
    PrintLine("connecting to " + std::string(address) + " and sending reboot command");
  }
  SshClient client =
      SshConnectA(addressText.bytes, portNumber, userText.bytes, passwordText.bytes,
                  kConnectTimeoutSeconds, kConnectFlags, &options, nullptr);
  // The password is not needed once the session is open (or has failed).
  WipeBytes(passwordText.bytes, sizeof passwordText.bytes);
  if (client == kInvalidClient) {
    PrintLine("Connection attempt failed. Error: 'invalid client'.");
    SleepMs(kFailurePauseMs);
    return false;
  }

  // Whatever came back (even nothing before the timeout), the answer is sent.
  count = kLineCount;
  SshReadLineA(client, line, &count);
  if (isVerbose) PrintLine("responding 'y' to question");

  StoreFixedText(kAnswer, &command);
  count = kLineCount;
  const bool delivered = SshWriteLineA(client, command.bytes, &count) != 0;
  // The router closes the session when the user may not reboot it: that
  // must not look like a quiet success.
  if (!delivered) PrintLine("Sending the answer failed.");

  if (isVerbose) PrintLine("disconnecting from " + std::string(address));
  SshDisconnect(client);
  client = kInvalidClient;
  return delivered;
}
