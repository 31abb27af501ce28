#ifndef SESSION_REBOOT_SESSION_H_
#define SESSION_REBOOT_SESSION_H_

#include <string_view>

/// One SSH conversation with the router: connect with the remote command
/// "/system reboot", read its question, answer "y", disconnect. Reports every
/// stage on the console in verbose mode (verbose is exactly "y") and the
/// failures in both modes. Returns true when the answer was delivered.
bool RunRebootSession(std::string_view user, std::string_view password,
                      std::string_view port, std::string_view verbose,
                      std::string_view address);

#endif  // SESSION_REBOOT_SESSION_H_
