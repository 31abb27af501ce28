#ifndef SESSION_REBOOT_SESSION_H_
#define SESSION_REBOOT_SESSION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "session/ssh_library.h"
#include "session/ssh_peer.h"

/// One SSH conversation with the router: connect with the remote command
/// "/system reboot", read its question, answer "y", disconnect. Reports every
/// stage on the console in verbose mode (verbose is exactly "y") and the
/// failures, each with a line naming its reason, in both modes. Returns kNone
/// when the answer was delivered and the router reported no failure, else
/// why not. answeredMs, when given, receives MonotonicMs() at the moment the
/// answer was delivered. route, when given, receives where the session went
/// and the key it recorded, once the session got that far (else it is left
/// as it was); verbose mode also says those that differ from what was given.
///
/// A user name, password or address longer than 127 bytes, a port text
/// longer than 31 bytes, or a port outside 1..65535 (0 means 22) is refused
/// before any connection with kOther and a reason naming the value.
/// *password is wiped once the connection is made or has failed, before
/// any pause.
SshFailure RunRebootSession(std::string_view user, std::string* password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs = nullptr,
                            SshRoute* route = nullptr);
/// The same with a copy of password.
SshFailure RunRebootSession(std::string_view user, std::string_view password,
                            std::string_view port, std::string_view verbose,
                            std::string_view address, int64_t* answeredMs = nullptr,
                            SshRoute* route = nullptr);

/// How one router's conversation ended, for a run over many routers.
struct RebootResult {
  SshFailure failure = SshFailure::kNone;
  std::string reason;       // why it failed, one clause; empty when it did not
  int64_t answeredMs = 0;   // MonotonicMs() when the answer was delivered
  SshRoute route;           // where it went; empty host when it got nowhere
};

/// The same conversation for one router of many, on any thread: nothing is
/// shown and nothing pauses. *password is wiped as above.
RebootResult RebootQuietly(std::string_view user, std::string* password, std::string_view port,
                           std::string_view address);

#endif  // SESSION_REBOOT_SESSION_H_
