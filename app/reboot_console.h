#ifndef APP_REBOOT_CONSOLE_H_
#define APP_REBOOT_CONSOLE_H_

// The single run's reboot conversation, told on the console.

#include <cstdint>
#include <string>
#include <string_view>

#include "session/reboot_session.h"

/// Reboot (session/reboot_session.h) with its words on the console: every
/// stage in verbose mode (verbose is exactly "y"), and each failure with a
/// line naming its reason in both modes. A failure before the session
/// opened is followed by a pause, after *password is wiped.
RebootResult RebootOnConsole(std::string_view user, std::string* password,
                             std::string_view port, std::string_view verbose,
                             std::string_view address);

/// The same, returning kNone when the answer was delivered and the router
/// reported no failure, else why not. answeredMs, when given, receives
/// MonotonicMs() at the moment the answer was delivered.
SshFailure RunRebootSession(std::string_view user, std::string* password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs = nullptr);
/// The same with a copy of password.
SshFailure RunRebootSession(std::string_view user, std::string_view password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs = nullptr);

#endif  // APP_REBOOT_CONSOLE_H_
