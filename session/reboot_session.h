#ifndef SESSION_REBOOT_SESSION_H_
#define SESSION_REBOOT_SESSION_H_

#include <cstdint>
#include <string_view>

#include "session/ssh_library.h"

/// One SSH conversation with the router: connect with the remote command
/// "/system reboot", read its question, answer "y", disconnect. Reports every
/// stage on the console in verbose mode (verbose is exactly "y") and the
/// failures, each with a line naming its reason, in both modes. Returns kNone
/// when the answer was delivered and the router reported no failure, else
/// why not. answeredMs, when given, receives SteadyNowMs() at the moment the
/// answer was delivered.
SshFailure RunRebootSession(std::string_view user, std::string_view password,
                      std::string_view port, std::string_view verbose,
                      std::string_view address, int64_t* answeredMs = nullptr);

#endif  // SESSION_REBOOT_SESSION_H_
