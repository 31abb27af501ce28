#include "app/reboot_console.h"

#include "console/console.h"

namespace {

constexpr int32_t kFailurePauseMs = 4000;

void PrintStage(const std::string& line, void*) { PrintLine(line); }

// A failure's lines go to standard error when no screen shows them.
void PrintFailure(const std::string& headline, const std::string& reason, void*) {
  PrintErrorLine(headline);
  if (!reason.empty()) PrintErrorLine("Reason: " + reason);
}

}  // namespace

RebootResult RebootOnConsole(std::string_view user, std::string* password,
                             std::string_view port, std::string_view verbose,
                             std::string_view address) {
  RebootTalk talk;
  if (verbose == "y") talk.stage = PrintStage;
  talk.failed = PrintFailure;
  RebootResult result = Reboot(user, password, port, address, talk);
  if (!result.opened) PauseForReader(kFailurePauseMs);
  return result;
}

SshFailure RunRebootSession(std::string_view user, std::string* password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs) {
  const RebootResult result = RebootOnConsole(user, password, port, verbose, address);
  if (answeredMs != nullptr && result.answeredMs != 0) {
    *answeredMs = result.answeredMs;
  }
  return result.failure;
}

SshFailure RunRebootSession(std::string_view user, std::string_view password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs) {
  std::string copy(password);
  return RunRebootSession(user, &copy, port, verbose, address, answeredMs);
}
