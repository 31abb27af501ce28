#include "app/ending.h"

Ending EndingFor(SshFailure failure) {
  constexpr Ending kFailed = {kExitFailed, "the reboot failed"};
  switch (failure) {
    case SshFailure::kNone: return {kExitDone, ""};
    case SshFailure::kOther: return kFailed;
    case SshFailure::kNameNotResolved: return {2, "name not resolved"};
    case SshFailure::kConnectionRefused: return {3, "connection refused"};
    case SshFailure::kTimedOut: return {4, "timed out"};
    case SshFailure::kHostKeyRefused: return {5, "host key refused"};
    case SshFailure::kAuthenticationRefused: return {6, "authentication refused"};
    case SshFailure::kRemoteEnded: return {7, "the answer was not delivered"};
    case SshFailure::kRemoteFailed: return {8, "the router reported a failure"};
    // The reason itself, what to add and where, goes to the log line.
    case SshFailure::kNoSharedAlgorithm: return {9, "no shared algorithm"};
  }
  return kFailed;
}

Ending EndingFor(ReturnOutcome outcome) {
  switch (outcome) {
    case ReturnOutcome::kBack: return {kExitDone, ""};
    case ReturnOutcome::kNotDown: return {11, "the router did not go down"};
    case ReturnOutcome::kNotBack: return {12, "the router did not come back"};
    case ReturnOutcome::kKeyChanged: return {5, "host key changed across the reboot"};
    case ReturnOutcome::kNoAddress: break;
  }
  return {kExitFailed, "the reboot failed"};
}
