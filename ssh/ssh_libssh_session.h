#ifndef SSH_SSH_LIBSSH_SESSION_H_
#define SSH_SSH_LIBSSH_SESSION_H_

// One session on libssh, shared by the files that make the SSH library of
// ssh_library.h, each with one job: ssh_libssh.cc (the six calls, their
// handle table and the opening of a session), ssh_libssh_steps.cc (the
// bounds of each step and the waits for the host), ssh_libssh_host_key.cc
// (known_hosts and the host key policy), ssh_libssh_auth.cc
// (authentication) and ssh_libssh_channel.cc (the command's channel).
// Nothing else includes it.

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "ssh/line_assembler.h"
#include "ssh/socket.h"
#include "ssh/ssh_library.h"
#include "ssh/ssh_peer.h"
#include "ssh_files/known_hosts.h"
#include "ssh_files/ssh_config.h"

// A non-blocking step that ran out of time, beside libssh's own results.
constexpr int kStepTimedOut = -1000;

// One session: what libssh holds for it, the client's bounds and state, and
// why the call working on it failed. It stays where it was made (libssh
// keeps a pointer to it) and frees what it holds when it goes.
struct OpenSession {
  OpenSession() = default;
  OpenSession(const OpenSession&) = delete;
  OpenSession& operator=(const OpenSession&) = delete;
  ~OpenSession();

  // Records why the call failed; returns kind.
  SshFailure Fail(SshFailure kind, const std::string& text = std::string()) {
    failure = kind;
    failureText = text;
    return kind;
  }

  ssh_session session = nullptr;
  ssh_channel channel = nullptr;
  // Must outlive the channel: libssh keeps a pointer to it.
  ssh_channel_callbacks_struct callbacks = {};
  LineAssembler lines;
  int64_t stepMs = 0;     // the longest the host may stay silent in a step
  int64_t sessionEndMs = 0;  // no step of this session goes past it
  bool closed = false;  // the remote closed the channel
  std::optional<int> exitStatus;  // once the remote reported one
  std::string exitSignal;         // its name, once reported ("?" when it has none)
  std::string outputTail;  // the end of the output read while closing
  // The connection the client opened: libssh uses a socket it was given but
  // never closes it.
  std::optional<TcpSocket> ownSocket;
  // Whether the socket takes quick-ACK mode; cleared when it refuses it
  // (a note of the socket's, not of the session's state).
  mutable bool ackPromptly = true;
  std::vector<std::string> identityFiles;  // tried in order after the agent
  bool identitiesOnly = false;             // no agent keys
  bool pubkeyAuthentication = true;        // keys are tried at all
  bool useAgent = true;
  // Where the configuration lets the password go, and in which order.
  PasswordWay password;
  PasswordWay keyboardInteractive;
  bool keyboardInteractiveFirst = false;
  // Opened with kSshCheckOnly: no command is requested, nothing is recorded.
  bool checkOnly = false;
  SshFailure failure = SshFailure::kNone;
  std::string failureText;
};

/// Frees what a session holds (its end does too); the failure stays.
void ReleaseSession(OpenSession* open);

// Steps (ssh_libssh_steps.cc).

/// Puts the session's socket in quick-ACK mode where it has one.
void AckSessionPromptly(const OpenSession* open);
/// Waits for the host during a step; false once it has been silent for a
/// step's bound or the session's bound has come.
bool AwaitHost(const OpenSession* open, int64_t* heardMs);
/// The blocking calls wait at most a step's bound, never past the session's.
void BoundBlockingWaits(const OpenSession* open);
/// The failure a step's result stands for, recorded in open.
SshFailure StepFailure(OpenSession* open, int rc);
/// Connects and runs the key exchange (ConnectTimeout bounds it when set).
int ConnectSession(OpenSession* open, int connectTimeoutSeconds);
/// Lets libssh handle what the server sends for up to waitMs.
void AwaitPackets(OpenSession* open, int waitMs);

// Runs a non-blocking libssh call until it stops asking to be called again;
// kStepTimedOut when the host took too long. The waits between tries are
// ours, so each acknowledges promptly (see AckSessionPromptly): right after
// authentication OpenSSH's sshd sends a packet of its own (its host keys),
// and with Nagle on it then holds the reply to the channel open behind it.
template <typename Call>
int RunStep(const OpenSession* open, int again, Call call) {
  int64_t heardMs = MonotonicMs();
  for (;;) {
    const int rc = call();
    if (rc != again) return rc;
    if (!AwaitHost(open, &heardMs)) return kStepTimedOut;
  }
}

// Host keys (ssh_libssh_host_key.cc).

/// The known_hosts files the configuration names (or ssh's defaults), read
/// once: the same text orders the key exchange and judges its key.
std::vector<KnownHostsText> ReadConfiguredKnownHosts(const SshConfig& config);
/// Asks first for the host key algorithms of the key types known_hosts
/// lists for the router.
bool PreferKnownKeyTypes(ssh_session session, const std::vector<std::string>& knownTypes);
/// Whether the key the server showed may be trusted; *reason says why not
/// (a changed key's also names the key shown and the ssh-keygen line that
/// removes the old entry). A key recorded under accept-new is described in
/// route's added fields; with record false nothing is written, and the key
/// that would have been is described there (addedWouldBe).
bool HostKeyAcceptable(ssh_session session, const std::vector<KnownHostsText>& files,
                       const std::string& host, int port, const SshConfig& config,
                       bool record, std::string* reason, SshRoute* route);

// Authentication (ssh_libssh_auth.cc).

SshFailure RequestAuthService(OpenSession* open);
/// Keys first, then the password by the ways the configuration allows.
SshFailure Authenticate(OpenSession* open, const char* password);

// The command's channel (ssh_libssh_channel.cc).

/// Opens the session's channel and requests command on it; a check-only
/// session stops once the channel is open.
bool OpenCommandChannel(OpenSession* open, const char* command);
/// Feeds the output that has arrived into the line assembler, or waits up
/// to waitMs for more.
void PumpOutput(OpenSession* open, int waitMs);
/// SshWriteLineA's work on an open session.
bool WriteLineOn(OpenSession* open, const char* text);
/// SshDisconnect's work on a session already out of the table.
bool CloseSession(OpenSession* open);

#endif  // SSH_SSH_LIBSSH_SESSION_H_
