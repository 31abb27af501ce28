// The remote command's channel: opened with its callbacks, its output cut
// into lines, the answer written and flushed in time, and the close that
// lets the command finish and tells whether it reported a failure.

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/clock.h"
#include "ssh/ssh_libssh_session.h"

namespace {

// How long SshDisconnect lets the remote command finish after its input
// ended.
constexpr int64_t kCloseWaitMs = 3000;
// The last line of the remote command's output kept for a failure report.
constexpr size_t kOutputTailBytes = 512;
constexpr size_t kReportedLineBytes = 120;

void OnExitStatus(ssh_session, ssh_channel, int status, void* userdata) {
  static_cast<OpenSession*>(userdata)->exitStatus = status;
}

void OnExitSignal(ssh_session, ssh_channel, const char* signal, int, const char*,
                  const char*, void* userdata) {
  static_cast<OpenSession*>(userdata)->exitSignal =
      signal != nullptr && signal[0] != '\0' ? signal : "?";
}

void OnClose(ssh_session, ssh_channel, void* userdata) {
  static_cast<OpenSession*>(userdata)->closed = true;
}

// Whether the remote command reported its end: an exit status or a signal.
bool Exited(const OpenSession* open) {
  return open->exitStatus.has_value() || !open->exitSignal.empty();
}

// Whether that end was a failure: a signal or a non-zero exit status.
bool ReportedFailure(const OpenSession* open) {
  return !open->exitSignal.empty() || open->exitStatus.value_or(0) != 0;
}

// What the remote command reported at its end, when that is a failure: the
// exit status or signal and its last line of output.
std::string RemoteFailure(const OpenSession* open) {
  if (!ReportedFailure(open)) return std::string();
  std::string report = !open->exitSignal.empty()
                           ? "signal " + open->exitSignal
                           : "exit status " + std::to_string(*open->exitStatus);
  std::string tail = open->outputTail;
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r' || tail.back() == ' ')) {
    tail.pop_back();
  }
  const size_t lineStart = tail.find_last_of("\r\n");
  std::string line = lineStart == std::string::npos ? tail : tail.substr(lineStart + 1);
  if (line.size() > kReportedLineBytes) line.resize(kReportedLineBytes);
  if (!line.empty()) report += " (" + line + ")";
  return report;
}

// Moves all the output that has arrived, stdout and stderr, into the line
// assembler. All of it: a prompt-like piece is a line only when nothing came
// after it. False when nothing came; marks the end on a read error.
bool FeedArrived(OpenSession* open) {
  char chunk[4096];
  bool fed = false;
  for (bool more = true; more;) {
    more = false;
    for (int stream = 0; stream < 2; ++stream) {
      const int n = ssh_channel_read_nonblocking(open->channel, chunk, sizeof chunk, stream);
      if (n > 0) {
        LineAssemblerFeed(&open->lines, chunk, static_cast<size_t>(n), MonotonicMs());
        fed = more = true;
      } else if (n < 0 && n != SSH_EOF) {
        LineAssemblerClose(&open->lines);
        return fed;
      }
    }
  }
  return fed;
}

bool RemoteFinished(const OpenSession* open) {
  return ssh_channel_is_eof(open->channel) || ssh_channel_is_closed(open->channel);
}

// Reads output so the remote is never blocked on a full window, keeping only
// its end for a failure report.
void DrainOutput(OpenSession* open) {
  char chunk[4096];
  for (int stream = 0; stream < 2; ++stream) {
    int n;
    while ((n = ssh_channel_read_nonblocking(open->channel, chunk, sizeof chunk, stream)) > 0) {
      open->outputTail.append(chunk, static_cast<size_t>(n));
      if (open->outputTail.size() > kOutputTailBytes) {
        open->outputTail.erase(0, open->outputTail.size() - kOutputTailBytes);
      }
    }
  }
}

}  // namespace

bool OpenCommandChannel(OpenSession* open, const char* command) {
  open->channel = ssh_channel_new(open->session);
  if (open->channel == nullptr) {
    open->Fail(SshFailure::kOther, ssh_get_error(open->session));
    return false;
  }
  ssh_callbacks_init(&open->callbacks);
  open->callbacks.userdata = open;
  open->callbacks.channel_exit_status_function = OnExitStatus;
  open->callbacks.channel_exit_signal_function = OnExitSignal;
  open->callbacks.channel_close_function = OnClose;
  if (ssh_set_channel_callbacks(open->channel, &open->callbacks) != SSH_OK) {
    open->Fail(SshFailure::kOther);
    return false;
  }
  ssh_channel channel = open->channel;
  int rc = RunStep(open, SSH_AGAIN, [&] { return ssh_channel_open_session(channel); });
  if (rc == SSH_OK && !open->checkOnly) {
    rc = RunStep(open, SSH_AGAIN, [&] { return ssh_channel_request_exec(channel, command); });
  }
  if (rc == SSH_OK) return true;
  StepFailure(open, rc);
  return false;
}

// Feeds the output that has arrived, or else waits up to waitMs for packets
// and feeds what they brought. Marks the end when the remote has finished.
void PumpOutput(OpenSession* open, int waitMs) {
  if (FeedArrived(open)) return;
  if (!RemoteFinished(open)) {
    AwaitPackets(open, waitMs);
    if (FeedArrived(open)) return;
  }
  if (RemoteFinished(open)) LineAssemblerClose(&open->lines);
}

// SshWriteLineA's work on an open session.
bool WriteLineOn(OpenSession* open, const char* text) {
  if (open->checkOnly) {
    open->Fail(SshFailure::kOther, "a check-only session sends nothing.");
    return false;
  }
  open->Fail(SshFailure::kOther);
  // Whatever has arrived is handled first: a command that has already ended
  // its output, exited or closed its channel is not asking anything, in
  // whichever order its end-of-output and its close come.
  AwaitPackets(open, 0);
  if (Exited(open) || open->closed || ssh_channel_is_closed(open->channel) ||
      ssh_channel_is_eof(open->channel)) {
    open->Fail(SshFailure::kRemoteEnded);
    return false;
  }
  if (MonotonicMs() >= open->sessionEndMs) {
    open->Fail(SshFailure::kTimedOut);
    return false;
  }
  BoundBlockingWaits(open);
  std::string line(text);
  line.push_back('\n');
  const int sent = ssh_channel_write(open->channel, line.data(), static_cast<uint32_t>(line.size()));
  // libssh counts bytes as written once they are in its own buffer: the
  // answer is sent only when that buffer has reached the socket in time.
  const int64_t left = std::min(MonotonicMs() + open->stepMs, open->sessionEndMs) - MonotonicMs();
  const bool flushed =
      sent > 0 && ssh_blocking_flush(open->session, static_cast<int>(std::max<int64_t>(left, 0))) ==
                      SSH_OK;
  if (sent == static_cast<int>(line.size()) && flushed) {
    open->Fail(SshFailure::kNone);
    return true;
  }
  // A remote that ended its side did not ask; one that is still there but
  // gave no room for the answer (a stalled window or key re-exchange) or
  // did not take it in time is a timeout.
  AwaitPackets(open, 0);
  if (sent < 0 || open->closed || Exited(open) || ssh_channel_is_closed(open->channel) ||
      ssh_channel_is_eof(open->channel) || !ssh_is_connected(open->session)) {
    open->Fail(SshFailure::kRemoteEnded);
    return false;
  }
  std::string reason = "the router did not take the answer in time; none of it left.";
  if (sent > 0 && sent < static_cast<int>(line.size())) {
    reason = "the router did not take the answer in time; " + std::to_string(sent) + " of its " +
           std::to_string(line.size()) + " bytes were sent.";
  } else if (sent > 0) {
    reason = "the router did not take the answer in time; part of it may have left.";
  }
  open->Fail(SshFailure::kTimedOut, reason);
  return false;
}

// SshDisconnect's work on a session already out of the table.
bool CloseSession(OpenSession* open) {
  BoundBlockingWaits(open);
  if (open->checkOnly) {
    // No command runs: nothing to end or wait for.
    ssh_channel_close(open->channel);
    AwaitPackets(open, 0);
    ReleaseSession(open);
    open->Fail(SshFailure::kNone);
    return true;
  }
  DrainOutput(open);
  // Closing at once can kill a command that has read its input but not yet
  // acted on it: end its input, then give it a bounded time to finish.
  const bool ended = open->closed || ssh_channel_is_closed(open->channel);
  if (!ended && (Exited(open) || ssh_channel_send_eof(open->channel) == SSH_OK)) {
    const int64_t deadline = std::min(MonotonicMs() + kCloseWaitMs, open->sessionEndMs);
    for (;;) {
      DrainOutput(open);
      const int64_t left = deadline - MonotonicMs();
      // A failure's exit status can come before the command's last output
      // (OpenSSH's sshd sends it when the command exits, while its pipe may
      // still hold output): then the wait goes on to the end of the output.
      if ((Exited(open) && !ReportedFailure(open)) || open->closed || left <= 0 ||
          !ssh_is_connected(open->session) || ssh_channel_is_closed(open->channel)) {
        break;
      }
      AwaitPackets(open, static_cast<int>(std::min<int64_t>(left, 100)));
    }
  }
  DrainOutput(open);
  const std::string failure = RemoteFailure(open);
  BoundBlockingWaits(open);
  ssh_channel_close(open->channel);
  // libssh writes its disconnect message only when it has seen the socket
  // writable since its last write, and closes the socket right after: a
  // zero-time poll lets the message reach the server.
  AwaitPackets(open, 0);
  ReleaseSession(open);
  if (!failure.empty()) {
    open->Fail(SshFailure::kRemoteFailed, failure);
    return false;
  }
  open->Fail(SshFailure::kNone);
  return true;
}
