#ifndef APP_ENDING_H_
#define APP_ENDING_H_

#include <string_view>

#include "session/reboot_session.h"
#include "session/router_return.h"

// How a run ends: the exit status a scheduled job sees, and the words for
// the log line, for each way the conversation or the wait can end.

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;

/// How a reboot ended. A scheduled job sees nothing but the exit status:
/// each reason the reboot failed has its own, and its words in the log line.
struct Ending {
  int status;
  std::string_view reason;
};

/// The ending of a conversation with the router.
Ending EndingFor(SshFailure failure);

/// The ending when the router was waited for after it took the answer.
Ending EndingFor(ReturnOutcome outcome);

#endif  // APP_ENDING_H_
