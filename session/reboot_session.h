#ifndef SESSION_REBOOT_SESSION_H_
#define SESSION_REBOOT_SESSION_H_

// The reboot conversation with one router, on the six calls of the SSH
// library. It shows nothing itself: what it says goes through the talk its
// caller hands it, and how it ended comes back as a value. The library's
// start and stop (SshInitializeA, SshUninitialize, declared with the six
// calls brought in here) are the caller's.

#include <cstdint>
#include <string>
#include <string_view>

#include "ssh/ssh_library.h"
#include "ssh/ssh_peer.h"

/// What the conversation says as it goes, each at the moment it happens:
/// a stage as it begins ("connecting to ..."), and a failure as a headline
/// and its reason (empty when the headline says it all). Either may be
/// null; context is the caller's.
struct RebootTalk {
  void (*stage)(const std::string& line, void* context) = nullptr;
  void (*failed)(const std::string& headline, const std::string& reason, void* context) = nullptr;
  void* context = nullptr;
};

/// How one conversation ended.
struct RebootResult {
  SshFailure failure = SshFailure::kNone;
  // Why it failed, one clause without a closing full stop; empty when it
  // did not.
  std::string reason;
  // The SSH library's own words on the failure, as it gave them (at most
  // kReasonTextBytes - 1 bytes); empty when it gave none.
  std::string libraryText;
  int64_t answeredMs = 0;  // MonotonicMs() when the answer was delivered
  // Whether the session was opened: a failure before that ends a single
  // run with a pause.
  bool opened = false;
  // The router as the session found it, for the wait for its return;
  // addressLength 0 when it is not known.
  SshPeer peer;
  // The router's question: the line read before the answer was sent, as it
  // came (control characters included); empty when none came.
  std::string question;
  // Where the session went after the SSH configuration, and the key a first
  // contact recorded; an empty host when it got nowhere. The talk's stages
  // say them where they differ from what was given.
  SshRoute route;
};

/// One SSH conversation with the router: connect with the remote command
/// "/system reboot", read its question, answer "y", disconnect. failure is
/// kNone when the answer was delivered and the router reported no failure.
///
/// A user name, password or address longer than 127 bytes, a port text
/// longer than 31 bytes, or a port outside 1..65535 (0 means 22) is refused
/// before any connection with kOther and a reason naming the value.
/// *password is wiped once the connection is made or has failed. check,
/// when given, is asked about the connected address before anything is sent
/// to it (see SshPeerCheck). Nothing pauses; any thread may call it.
RebootResult Reboot(std::string_view user, std::string* password, std::string_view port,
                    std::string_view address, const RebootTalk& talk,
                    const SshPeerCheck& check = SshPeerCheck());

/// The same for one router of many: nothing is said.
RebootResult RebootQuietly(std::string_view user, std::string* password, std::string_view port,
                           std::string_view address, const SshPeerCheck& check = SshPeerCheck());

/// A preflight of one router: the session is opened as for a reboot
/// (address, configuration, host key, authentication, its channel) and
/// closed without the command ever being requested, so nothing can reboot.
/// A host key met for the first time is not recorded (route's added fields
/// describe it, addedWouldBe). failure is kNone when the router is ready.
/// Nothing is said.
RebootResult CheckQuietly(std::string_view user, std::string* password, std::string_view port,
                          std::string_view address, const SshPeerCheck& check = SshPeerCheck());

#endif  // SESSION_REBOOT_SESSION_H_
