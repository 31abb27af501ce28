#ifndef SESSION_FORCED_COMMAND_ROUTER_H_
#define SESSION_FORCED_COMMAND_ROUTER_H_

// A real SSH server made to play a router for one test: a throwaway user
// whose every login runs a forced command that records the command it was
// asked for, asks "Reboot now? [y/N]: " without a line feed, as a router's
// CLI does, and records the answer. The subclass starts the server.

#include <gtest/gtest.h>

#include <string>

#include "session/test_process.h"
#include "session/test_servers.h"

/// The throwaway user's password.
extern const char kRouterPassword[];

class ForcedCommandRouterTest : public testing::Test {
 protected:
  /// Makes dir_ (dir_/out writable by the user, dir_/home as HOME, an empty
  /// dir_/ssh_config bound over /etc/ssh/ssh_config in a private mount
  /// namespace), the
  /// user (name userPrefix + pid) and the forced command dir_/ask.sh. With
  /// dir_/eof present the command ends its output at once and lives on a
  /// moment; with dir_/fail present it reports a failure and exit status 1
  /// after the answer. Call with ASSERT_NO_FATAL_FAILURE.
  void PrepareRouter(const char* userPrefix);
  /// Once the server listens on port_: starts the SSH library.
  void StartLibrary();
  void TearDown() override;

  /// A verbose reboot through the server: the three lines, the command and
  /// the answer recorded by the forced command, nothing written to HOME,
  /// and loosely bounded in time.
  void ExpectVerboseRebootDelivered();
  /// A wrong password: refused with its reason, and no command ran.
  void ExpectWrongPasswordRefused();

  std::string dir_;
  std::string home_;
  ThrowawayUser user_;
  SavedVariable savedHome_;
  std::string systemConfig_;
  bool ownSystemConfig_ = false;
  Child server_;
  int port_ = -1;
  bool initialized_ = false;
};

#endif  // SESSION_FORCED_COMMAND_ROUTER_H_
