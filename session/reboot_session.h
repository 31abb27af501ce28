#ifndef SESSION_REBOOT_SESSION_H_
#define SESSION_REBOOT_SESSION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "ssh/ssh_library.h"

/// One SSH conversation with the router: connect with the remote command
/// "/system reboot", read its question, answer "y", disconnect. Reports every
/// stage on the console in verbose mode (verbose is exactly "y") and the
/// failures, each with a line naming its reason, in both modes. Returns kNone
/// when the answer was delivered and the router reported no failure, else
/// why not. answeredMs, when given, receives MonotonicMs() at the moment the
/// answer was delivered.
///
/// A user name, password or address longer than 127 bytes, a port text
/// longer than 31 bytes, or a port outside 1..65535 (0 means 22) is refused
/// before any connection with kOther and a reason naming the value.
/// *password is wiped once the connection is made or has failed, before
/// any pause.
SshFailure RunRebootSession(std::string_view user, std::string* password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs = nullptr);
/// The same with a copy of password.
SshFailure RunRebootSession(std::string_view user, std::string_view password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs = nullptr);

/// How one router's conversation ended, for a run over many routers.
struct RebootResult {
  SshFailure failure = SshFailure::kNone;
  std::string reason;       // why it failed, one clause; empty when it did not
  int64_t answeredMs = 0;   // MonotonicMs() when the answer was delivered
};

/// The same conversation for one router of many, on any thread: nothing is
/// shown and nothing pauses. *password is wiped as above.
RebootResult RebootQuietly(std::string_view user, std::string* password, std::string_view port,
                           std::string_view address);

#endif  // SESSION_REBOOT_SESSION_H_
