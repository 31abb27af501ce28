// The bounds of a session's steps: every step up to the command runs
// non-blocking under the client's own bounds (a step's and the session's),
// with the waits for the host in between; libssh's timeout holds for each
// wait, not for a whole step or the session.

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/clock.h"
#include "ssh/ssh_libssh_session.h"

// Many servers leave Nagle on for a session without a terminal (OpenSSH's
// sshd does): their next small packet waits for our ACK of the one before,
// which Linux delays by up to 40 ms when we have nothing to send. Quick-ACK
// mode sends a due ACK at once. Linux leaves that mode by itself once we
// send after receiving, so it is set again before a wait that can block,
// and never where the socket has no such mode (a proxy command's pipe, or
// Windows, where the socket was made acknowledging every segment).
void AckSessionPromptly(const OpenSession* open) {
  if (!open->ackPromptly) return;
  const socket_t fd = ssh_get_fd(open->session);
  if (fd == SSH_INVALID_SOCKET) return;
  open->ackPromptly = ::AckPromptly(static_cast<TcpSocket>(fd));
}

// Waits for the host's next bytes during a non-blocking step, until they
// come or the step's time is up; *heardMs is when it was last heard from.
// False once it has been silent for a step's bound or the session's bound
// has come. Room to write ends the wait too while libssh holds output back
// (ssh_get_poll_flags), and only then: an idle socket is always writable.
bool AwaitHost(const OpenSession* open, int64_t* heardMs) {
  const int64_t now = MonotonicMs();
  const int64_t end = std::min(*heardMs + open->stepMs, open->sessionEndMs);
  if (now >= end) return false;
  const socket_t fd = ssh_get_fd(open->session);
  if (fd == SSH_INVALID_SOCKET) {
    // No socket yet to wait on: libssh is looked at again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(end - now, 20)));
    return true;
  }
  AckSessionPromptly(open);
  const bool writing = (ssh_get_poll_flags(open->session) & SSH_WRITE_PENDING) != 0;
  SocketPoll ready[2] = {{static_cast<TcpSocket>(fd), false, false},
                         {static_cast<TcpSocket>(fd), true, false}};
  // One wait at most a second long: the clock is looked at again after a
  // signal or a wake-up with nothing for libssh.
  if (PollSockets(ready, writing ? 2 : 1, static_cast<int>(std::min<int64_t>(end - now, 1000))) >
      0) {
    *heardMs = MonotonicMs();
  }
  return true;
}

// The blocking calls after the session is open wait at most a step's bound,
// and never past the session's.
void BoundBlockingWaits(const OpenSession* open) {
  const int64_t ms = std::clamp<int64_t>(open->sessionEndMs - MonotonicMs(), 1, open->stepMs);
  const long seconds = static_cast<long>(ms / 1000);
  const long microseconds = static_cast<long>(ms % 1000) * 1000;
  ssh_options_set(open->session, SSH_OPTIONS_TIMEOUT, &seconds);
  ssh_options_set(open->session, SSH_OPTIONS_TIMEOUT_USEC, &microseconds);
}

// The failure a step's result stands for: it ran out of time, or libssh
// says what went wrong.
SshFailure StepFailure(OpenSession* open, int rc) {
  if (rc == kStepTimedOut) return open->Fail(SshFailure::kTimedOut);
  return open->Fail(SshFailure::kOther, ssh_get_error(open->session));
}

// Lets libssh handle whatever the server sends for up to waitMs, even after
// the remote's EOF (the channel calls stop looking then); returns after the
// first packets handled. The channel callbacks record exit status and close.
void AwaitPackets(OpenSession* open, int waitMs) {
  if (waitMs > 0) AckSessionPromptly(open);
  ssh_event event = ssh_event_new();
  if (event == nullptr) return;
  if (ssh_event_add_session(event, open->session) == SSH_OK) {
    ssh_event_dopoll(event, waitMs);
    ssh_event_remove_session(event, open->session);
  }
  ssh_event_free(event);
}

// Connects and runs the key exchange; ConnectTimeout, when set, bounds this
// step instead of the step's usual bound, and the session's bound holds.
int ConnectSession(OpenSession* open, int connectTimeoutSeconds) {
  const int64_t stepMs = open->stepMs;
  if (connectTimeoutSeconds > 0) {
    open->stepMs = std::min<int64_t>(connectTimeoutSeconds, kSshSessionBoundSeconds) * 1000;
  }
  ssh_session session = open->session;
  const int connected = RunStep(open, SSH_AGAIN, [&] { return ssh_connect(session); });
  open->stepMs = stepMs;
  return connected;
}
