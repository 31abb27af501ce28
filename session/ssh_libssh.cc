// The SSH client library on libssh 0.10. The only file that includes libssh's
// client header. One session at a time; nothing is printed and no file is
// written.

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#if defined(__linux__)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "session/numbers/numbers.h"
#include "session/line_assembler.h"
#include "session/ssh_files.h"
#include "session/ssh_library.h"

namespace {

constexpr int kDefaultPort = 22;
constexpr int kDefaultTimeoutSeconds = 20;
// How long SshDisconnect lets the remote command finish after its input
// ended.
constexpr int64_t kCloseWaitMs = 3000;
constexpr int kMaxKeyboardInteractiveRounds = 8;

// libssh and the crypto library below it may change the floating-point
// environment; the port conversion needs its own mode back after each call.
struct FloatingPointModeGuard {
  ~FloatingPointModeGuard() { SetFloatingPointMode(); }
};

struct OpenSession {
  ssh_session session = nullptr;
  ssh_channel channel = nullptr;
  // Must outlive the channel: libssh keeps a pointer to it.
  ssh_channel_callbacks_struct callbacks = {};
  SshClient handle = kInvalidClient;
  int64_t timeoutMs = 0;
  LineAssembler lines;
  bool exited = false;  // exit status or exit signal received
  bool closed = false;  // the remote closed the channel
};

OpenSession g_open;
SshClient g_lastHandle = 0;
bool g_initialized = false;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void DiscardLog(int, const char*, const char*, void*) {}

void OnExitStatus(ssh_session, ssh_channel, int, void* userdata) {
  static_cast<OpenSession*>(userdata)->exited = true;
}

void OnExitSignal(ssh_session, ssh_channel, const char*, int, const char*,
                  const char*, void* userdata) {
  static_cast<OpenSession*>(userdata)->exited = true;
}

void OnClose(ssh_session, ssh_channel, void* userdata) {
  static_cast<OpenSession*>(userdata)->closed = true;
}

bool SetOptions(ssh_session session, const char* host, int port,
                const char* user, long timeoutSeconds) {
  const int noLog = SSH_LOG_NOLOG;
  const bool processConfig = false;
  const unsigned int portValue = static_cast<unsigned int>(port);
  const long timeoutUsec = 0;
  // Without it the answer, a few bytes, waits behind the delayed ACK of the
  // previous packet (about 40 ms on Linux).
  const int noDelay = 1;
  const std::string knownHosts = UserKnownHostsPath();
  const std::string globalKnownHosts = GlobalKnownHostsPath();
  // The user is set after the host: libssh reads "name@" in a host text as a
  // user name, and the given user must win.
  return ssh_options_set(session, SSH_OPTIONS_LOG_VERBOSITY, &noLog) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_HOST, host) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_PORT, &portValue) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_USER, user) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeoutSeconds) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &timeoutUsec) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_NODELAY, &noDelay) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str()) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, globalKnownHosts.c_str()) == 0;
}

// A host listed with another key, or with a key of another type, is refused
// before any password leaves the machine. An unknown host is accepted and
// not recorded.
bool HostKeyAcceptable(ssh_session session) {
  switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_OK:
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

bool KeyboardInteractive(ssh_session session, const char* password) {
  int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
  for (int round = 0; rc == SSH_AUTH_INFO && round < kMaxKeyboardInteractiveRounds; ++round) {
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    for (int i = 0; i < prompts; ++i) {
      if (ssh_userauth_kbdint_setanswer(session, static_cast<unsigned int>(i), password) < 0) {
        return false;
      }
    }
    rc = ssh_userauth_kbdint(session, nullptr, nullptr);
  }
  return rc == SSH_AUTH_SUCCESS;
}

// No passphrase is ever asked for: a scheduled run has nobody to type it,
// so a key that needs one is skipped.
int NoPassphrase(const char*, char*, size_t, int, int, void*) { return -1; }

// One identity file, used the way OpenSSH uses it: the public half is
// offered first (FILE.pub, or the private file when it has no passphrase),
// and the private key is read and used only when the server would take it.
bool IdentityFileAccepted(ssh_session session, const std::string& path) {
  ssh_key publicKey = nullptr;
  ssh_key privateKey = nullptr;
  if (ssh_pki_import_pubkey_file((path + ".pub").c_str(), &publicKey) != SSH_OK) {
    publicKey = nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), nullptr, NoPassphrase, nullptr,
                                    &privateKey) != SSH_OK ||
        ssh_pki_export_privkey_to_pubkey(privateKey, &publicKey) != SSH_OK) {
      ssh_key_free(privateKey);
      return false;
    }
  }
  bool accepted = false;
  if (ssh_userauth_try_publickey(session, nullptr, publicKey) == SSH_AUTH_SUCCESS &&
      (privateKey != nullptr ||
       ssh_pki_import_privkey_file(path.c_str(), nullptr, NoPassphrase, nullptr,
                                   &privateKey) == SSH_OK)) {
    accepted = ssh_userauth_publickey(session, nullptr, privateKey) == SSH_AUTH_SUCCESS;
  }
  ssh_key_free(publicKey);
  ssh_key_free(privateKey);
  return accepted;
}

// The keys of a running agent, then the default identity files. Nothing is
// written and nothing is asked for.
bool PublicKeyAccepted(ssh_session session) {
#ifndef _WIN32
  if (AgentNamed() && ssh_userauth_agent(session, nullptr) == SSH_AUTH_SUCCESS) return true;
#endif
  for (const std::string& path : DefaultIdentityFiles()) {
    if (IdentityFileAccepted(session, path)) return true;
  }
  return false;
}

bool Authenticate(ssh_session session, const char* password) {
  // "none" first: it returns the methods the server offers.
  const int none = ssh_userauth_none(session, nullptr);
  if (none == SSH_AUTH_SUCCESS) return true;
  if (none != SSH_AUTH_DENIED && none != SSH_AUTH_PARTIAL) return false;
  int methods = ssh_userauth_list(session, nullptr);
  // The password goes out only when no key was accepted.
  if ((methods & SSH_AUTH_METHOD_PUBLICKEY) != 0) {
    if (PublicKeyAccepted(session)) return true;
    methods = ssh_userauth_list(session, nullptr);
  }
  if ((methods & SSH_AUTH_METHOD_PASSWORD) != 0) {
    return ssh_userauth_password(session, nullptr, password) == SSH_AUTH_SUCCESS;
  }
  if ((methods & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
    return KeyboardInteractive(session, password);
  }
  return false;
}

void AwaitPackets(OpenSession* open, int waitMs);

// Runs a libssh step without letting libssh wait: the waits between tries
// are ours, so each acknowledges promptly (see AckPromptly). Right after
// authentication OpenSSH's sshd sends a packet of its own (its host keys),
// and with Nagle on it then holds the reply to the channel open behind it.
template <typename Step>
int RunStep(OpenSession* open, int64_t timeoutMs, Step step) {
  const int64_t deadline = NowMs() + timeoutMs;
  ssh_set_blocking(open->session, 0);
  int rc = step();
  for (int64_t left; rc == SSH_AGAIN && (left = deadline - NowMs()) > 0; rc = step()) {
    AwaitPackets(open, static_cast<int>(left));
  }
  ssh_set_blocking(open->session, 1);
  return rc;
}

// The authentication service, asked for here rather than inside the first
// authentication call: a server may send a packet of its own after the key
// exchange (libssh's sends its extensions) and hold the service's acceptance
// behind it.
bool RequestAuthService(OpenSession* open, int64_t timeoutMs) {
  return RunStep(open, timeoutMs,
                 [open] { return ssh_service_request(open->session, "ssh-userauth"); }) == SSH_OK;
}

bool OpenCommandChannel(OpenSession* open, const char* command, int64_t timeoutMs) {
  open->channel = ssh_channel_new(open->session);
  if (open->channel == nullptr) return false;
  ssh_callbacks_init(&open->callbacks);
  open->callbacks.userdata = open;
  open->callbacks.channel_exit_status_function = OnExitStatus;
  open->callbacks.channel_exit_signal_function = OnExitSignal;
  open->callbacks.channel_close_function = OnClose;
  return ssh_set_channel_callbacks(open->channel, &open->callbacks) == SSH_OK &&
         RunStep(open, timeoutMs, [open] { return ssh_channel_open_session(open->channel); }) ==
             SSH_OK &&
         RunStep(open, timeoutMs,
                 [open, command] { return ssh_channel_request_exec(open->channel, command); }) ==
             SSH_OK;
}

SshClient NextHandle() {
  ++g_lastHandle;
  if (g_lastHandle == kInvalidClient || g_lastHandle == 0) g_lastHandle = 1;
  return g_lastHandle;
}

OpenSession* Find(SshClient client) {
  if (client == kInvalidClient || g_open.handle != client) return nullptr;
  return &g_open;
}

// Many servers leave Nagle on for a session without a terminal (OpenSSH's
// sshd does): their next small packet waits for our ACK of the one before,
// which Linux delays by up to 40 ms when we have nothing to send. Quick-ACK
// mode sends a due ACK at once; Linux drops out of that mode by itself, so it
// is set again before every wait.
void AckPromptly(ssh_session session) {
#if defined(TCP_QUICKACK)
  const socket_t fd = ssh_get_fd(session);
  if (fd == SSH_INVALID_SOCKET) return;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)session;
#endif
}

// Lets libssh handle whatever the server sends for up to waitMs, even after
// the remote's EOF (the channel calls stop looking then); returns after the
// first packets handled. The channel callbacks record exit status and close.
void AwaitPackets(OpenSession* open, int waitMs) {
  AckPromptly(open->session);
  ssh_event event = ssh_event_new();
  if (event == nullptr) return;
  if (ssh_event_add_session(event, open->session) == SSH_OK) {
    ssh_event_dopoll(event, waitMs);
    ssh_event_remove_session(event, open->session);
  }
  ssh_event_free(event);
}

// Frees what a session holds, channel before session: ssh_disconnect frees
// the session's channels itself.
void Release(OpenSession* open) {
  if (open->channel != nullptr) {
    ssh_channel_free(open->channel);
    open->channel = nullptr;
  }
  if (open->session != nullptr) {
    ssh_disconnect(open->session);
    ssh_free(open->session);
    open->session = nullptr;
  }
  open->handle = kInvalidClient;
  open->lines = LineAssembler();
  open->exited = false;
  open->closed = false;
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
        LineAssemblerFeed(&open->lines, chunk, static_cast<size_t>(n), NowMs());
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

// Reads and drops output so the remote is never blocked on a full window.
void DrainOutput(OpenSession* open) {
  char chunk[4096];
  for (int stream = 0; stream < 2; ++stream) {
    while (ssh_channel_read_nonblocking(open->channel, chunk, sizeof chunk, stream) > 0) {
    }
  }
}

}  // namespace

int32_t SshInitializeA(const char*, void*) {
  FloatingPointModeGuard guard;
  if (!g_initialized) {
    if (ssh_init() != SSH_OK) return 0;
    g_initialized = true;
  }
  // libssh's own logging would write to stderr.
  ssh_set_log_callback(DiscardLog);
  ssh_set_log_level(SSH_LOG_NOLOG);
  return 1;
}

SshClient SshConnectA(const char* host, int32_t port, const char* user,
                      const char* password, int32_t timeout, uint32_t,
                      SshConnectOptions* options, void*) {
  FloatingPointModeGuard guard;
  if (host == nullptr || host[0] == '\0' || user == nullptr || password == nullptr ||
      options == nullptr || g_open.handle != kInvalidClient) {
    return kInvalidClient;
  }
  if (port == 0) port = kDefaultPort;
  if (port < 1 || port > 65535) return kInvalidClient;
  const size_t commandLength = strnlen(options->remoteCommand, sizeof options->remoteCommand);
  if (commandLength == 0 || commandLength == sizeof options->remoteCommand) {
    return kInvalidClient;
  }
  const std::string command(options->remoteCommand, commandLength);
  const long timeoutSeconds = timeout > 0 ? timeout : kDefaultTimeoutSeconds;

  ssh_set_log_callback(DiscardLog);
  OpenSession* open = &g_open;
  open->session = ssh_new();
  if (open->session == nullptr) return kInvalidClient;
  const int64_t timeoutMs = static_cast<int64_t>(timeoutSeconds) * 1000;
  if (!SetOptions(open->session, host, port, user, timeoutSeconds) ||
      ssh_connect(open->session) != SSH_OK || !HostKeyAcceptable(open->session) ||
      !RequestAuthService(open, timeoutMs) || !Authenticate(open->session, password) ||
      !OpenCommandChannel(open, command.c_str(), timeoutMs)) {
    Release(open);
    return kInvalidClient;
  }
  open->timeoutMs = static_cast<int64_t>(timeoutSeconds) * 1000;
  open->handle = NextHandle();
  return open->handle;
}

int32_t SshReadLineA(SshClient client, char* buffer, int32_t* count) {
  FloatingPointModeGuard guard;
  OpenSession* open = Find(client);
  if (buffer == nullptr || count == nullptr || *count < 1) return 0;
  buffer[0] = '\0';
  const int32_t capacity = *count;
  *count = 0;
  if (open == nullptr || capacity < 2) return 0;

  const int64_t deadline = NowMs() + open->timeoutMs;
  std::string line;
  for (;;) {
    int64_t waitMs = 0;
    const LineStep step = LineAssemblerTake(&open->lines, NowMs(), deadline,
                                            static_cast<size_t>(capacity - 1), &line, &waitMs);
    if (step == LineStep::kLine) {
      std::memcpy(buffer, line.data(), line.size());
      buffer[line.size()] = '\0';
      *count = static_cast<int32_t>(line.size());
      return 1;
    }
    if (step == LineStep::kNone) return 0;
    PumpOutput(open, static_cast<int>(waitMs));
  }
}

int32_t SshWriteLineA(SshClient client, const char* text, int32_t*) {
  FloatingPointModeGuard guard;
  OpenSession* open = Find(client);
  if (open == nullptr || text == nullptr) return 0;
  // Whatever has arrived is handled first: a command that has already ended
  // or closed its channel can no longer take the line.
  AwaitPackets(open, 0);
  if (open->exited || open->closed || ssh_channel_is_closed(open->channel)) return 0;
  std::string line(text);
  line.push_back('\n');
  const int sent = ssh_channel_write(open->channel, line.data(), static_cast<uint32_t>(line.size()));
  return sent == static_cast<int>(line.size()) ? 1 : 0;
}

int32_t SshDisconnect(SshClient client) {
  FloatingPointModeGuard guard;
  OpenSession* open = Find(client);
  if (open == nullptr) return 0;
  // Closing at once can kill a command that has read its input but not yet
  // acted on it: end its input, then give it a bounded time to finish.
  if (!open->exited && !open->closed && !ssh_channel_is_closed(open->channel) &&
      ssh_channel_send_eof(open->channel) == SSH_OK) {
    const int64_t deadline = NowMs() + kCloseWaitMs;
    for (;;) {
      DrainOutput(open);
      const int64_t left = deadline - NowMs();
      if (open->exited || open->closed || left <= 0 || !ssh_is_connected(open->session) ||
          ssh_channel_is_closed(open->channel)) {
        break;
      }
      AwaitPackets(open, static_cast<int>(std::min<int64_t>(left, 100)));
    }
  }
  ssh_channel_close(open->channel);
  // libssh writes its disconnect message only when it has seen the socket
  // writable since its last write, and closes the socket right after: a
  // zero-time poll lets the message reach the server.
  AwaitPackets(open, 0);
  Release(open);
  return 1;
}

void SshUninitialize() {
  FloatingPointModeGuard guard;
  if (g_open.handle != kInvalidClient) Release(&g_open);
  if (g_initialized) {
    ssh_finalize();
    g_initialized = false;
  }
}
