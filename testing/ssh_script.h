#ifndef TESTING_SSH_SCRIPT_H_
#define TESTING_SSH_SCRIPT_H_

// A scripted stand-in for the SSH client library (link swkicker_ssh_script
// instead of swkicker_ssh): the six calls return what the script says and
// are recorded in order with their arguments.

#include <cstdint>
#include <string>
#include <vector>

#include "ssh/ssh_library.h"
#include "ssh/ssh_peer.h"

struct SshScript {
  int32_t initializeResult = 1;
  SshClient connectResult = 1;  // kInvalidClient: the connection fails
  int32_t readResult = 1;
  std::string line = "Reboot now? [y/N]: ";  // what SshReadLineA hands out
  int32_t writeResult = 1;
  int32_t disconnectResult = 1;
  // What SshGetLastError gives after a failed connect, write or disconnect
  // (kNone after one that succeeded).
  SshFailure connectFailure = SshFailure::kOther;
  SshFailure writeFailure = SshFailure::kRemoteEnded;
  SshFailure disconnectFailure = SshFailure::kOther;
  std::string failureText;
  // What SshLastRoute gives after a connect: route as given, except that an
  // empty host means the host, port (0: 22) and user the connect was given,
  // as a session with nothing configured goes.
  SshRoute route;
};

enum class SshCallKind { kInitialize, kConnect, kReadLine, kWriteLine, kDisconnect, kUninitialize };

/// One call as it was made. Texts are read up to their zero byte, within
/// the sizes the interface gives them (128 for host, user and password, 512
/// for the command and the written text).
struct SshCall {
  SshCallKind kind = SshCallKind::kInitialize;
  SshClient client = kInvalidClient;  // read, write, disconnect
  std::string host;                   // connect
  int32_t port = 0;
  std::string user;
  std::string password;
  int32_t timeout = 0;
  uint32_t flags = 0;
  bool hasOptions = false;
  uint32_t optionsSize = 0;
  bool optionsReservedZero = false;  // bytes 4..439 all zero
  std::string command;               // the options' remote command
  bool reservedNull = false;         // the last argument of init and connect
  int32_t countIn = 0;               // read, write: the count cell on entry
  std::string text;                  // write: the text sent
  // Calls after a connect: the text then held by the password buffer that
  // was passed to it (empty once wiped).
  std::string passwordBufferNow;
};

/// Starts a new script: results from script, no calls recorded.
void SshScriptReset(const SshScript& script = SshScript());
/// The calls made since the last reset, in order.
const std::vector<SshCall>& SshScriptCalls();

#endif  // TESTING_SSH_SCRIPT_H_
