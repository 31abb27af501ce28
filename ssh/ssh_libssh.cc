// The SSH client library on libssh 0.10. The only file that includes libssh's
// client header. Several sessions may be open at once, each used by one
// thread at a time; nothing is printed, and the only file written is a new
// router's line in known_hosts.

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#if defined(_WIN32)
#include <winsock2.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/address_text.h"
#include "base/clock.h"
#include "ssh_files/known_hosts.h"
#include "ssh/line_assembler.h"
#include "base/numbers.h"
#include "ssh/server_offer.h"
#include "ssh_files/ssh_config.h"
#include "ssh_files/ssh_files.h"
#include "ssh_files/small_file.h"
#include "ssh/socket.h"
#include "ssh/ssh_libssh_peer.h"
#include "ssh/ssh_library.h"
#include "ssh/tcp_connect.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 20;
// How long SshDisconnect lets the remote command finish after its input
// ended.
constexpr int64_t kCloseWaitMs = 3000;
constexpr int kMaxKeyboardInteractiveRounds = 8;
// How long the agent may take to answer before it is passed over.
constexpr int kAgentDeadlineMs = 2000;
// A non-blocking step that ran out of time, beside libssh's own results.
constexpr int kStepTimedOut = -1000;
// The last line of the remote command's output kept for a failure report.
constexpr size_t kOutputTailBytes = 512;
constexpr size_t kReportedLineBytes = 120;
// The host key algorithms in OpenSSH's order of preference; the known ones
// are put before the rest, in this same order.
constexpr const char* kHostKeyAlgorithmOrder[] = {
    "ssh-ed25519",  "ecdsa-sha2-nistp256",        "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp521", "sk-ssh-ed25519@openssh.com", "sk-ecdsa-sha2-nistp256@openssh.com",
    "rsa-sha2-512", "rsa-sha2-256"};

// libssh and the crypto library below it may change the floating-point
// environment; the port conversion needs its own mode back after each call.
struct FloatingPointModeGuard {
  ~FloatingPointModeGuard() { SetFloatingPointMode(); }
};

// One session: what libssh holds for it, this file's bounds and state, and
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
  // The connection this file opened: libssh uses a socket it was given but
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
  SshFailure failure = SshFailure::kNone;
  std::string failureText;
};

// The open sessions by handle. The lock guards the table alone: a session's
// calls run outside it, so one router's slow step never holds up another's.
std::mutex g_sessionsLock;
std::map<SshClient, std::unique_ptr<OpenSession>> g_sessions;
std::atomic<SshClient> g_lastHandle{0};

// SshInitializeA calls not yet matched by SshUninitialize.
std::mutex g_libraryLock;
int g_libraryUsers = 0;

// Why this thread's last SshConnectA, SshWriteLineA or SshDisconnect failed,
// as errno is kept: a session on another thread never overwrites it.
thread_local SshFailure t_lastFailure = SshFailure::kNone;
thread_local std::string t_lastFailureText;

// Ends a call: its failure becomes the calling thread's last error.
void EndCall(SshFailure kind, const std::string& text = std::string()) {
  t_lastFailure = kind;
  t_lastFailureText = text;
}
void EndCall(const OpenSession& open) { EndCall(open.failure, open.failureText); }

int64_t NowMs() { return MonotonicMs(); }

void DiscardLog(int, const char*, const char*, void*) {}

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

bool SetOptions(ssh_session session, const char* host, int port, const char* user,
                long timeoutSeconds) {
  const int noLog = SSH_LOG_NOLOG;
  const bool processConfig = false;
  const unsigned int portValue = static_cast<unsigned int>(port);
  const long timeoutUsec = 0;
  // Without it the answer, a few bytes, waits behind the delayed ACK of the
  // previous packet (about 40 ms on Linux).
  const int noDelay = 1;
  // The user is set after the host: libssh reads "name@" in a host text as a
  // user name, and the given user must win. known_hosts is read by this
  // file, not by libssh, whose reading would reorder the host key
  // algorithms on its own: libssh is given a path that opens as an empty
  // file for both.
  return ssh_options_set(session, SSH_OPTIONS_LOG_VERBOSITY, &noLog) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_HOST, host) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_PORT, &portValue) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_USER, user) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeoutSeconds) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &timeoutUsec) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_NODELAY, &noDelay) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, NullPath()) == 0 &&
         ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, NullPath()) == 0;
}

// The host name as libssh took it (without a "name@" part).
std::string SessionHost(ssh_session session, const char* given) {
  char* host = nullptr;
  if (ssh_options_get(session, SSH_OPTIONS_HOST, &host) != SSH_OK || host == nullptr) {
    return given;
  }
  std::string name = host;
  ssh_string_free_char(host);
  return name;
}

// Puts the algorithms of the key types known_hosts lists for the host
// before the others, each group in OpenSSH's order (never the order of the
// file's lines), so that a host with several keys shows a listed one.
bool PreferKnownKeyTypes(ssh_session session, const std::vector<std::string>& knownTypes) {
  const auto known = [&](const std::string& algorithm) {
    // An RSA key signs with SHA-2; the SHA-1 signature stays off.
    const std::string type = algorithm.rfind("rsa-sha2-", 0) == 0 ? "ssh-rsa" : algorithm;
    return std::find(knownTypes.begin(), knownTypes.end(), type) != knownTypes.end();
  };
  std::string preferred;
  std::string others;
  for (const char* algorithm : kHostKeyAlgorithmOrder) {
    std::string* list = known(algorithm) ? &preferred : &others;
    if (!list->empty()) *list += ",";
    *list += algorithm;
  }
  const std::string algorithms =
      preferred.empty() ? others : others.empty() ? preferred : preferred + "," + others;
  return ssh_options_set(session, SSH_OPTIONS_HOSTKEYS, algorithms.c_str()) == 0;
}

// The key the server showed, as known_hosts writes it.
struct ShownKey {
  std::string type;
  std::string base64;
};

// What a new entry needs: the host, the key, and the files to check again
// under the lock (another run may have recorded the host meanwhile).
struct NewEntry {
  const std::vector<KnownHostsText>* files;
  std::string host;
  int port;
  ShownKey key;
  bool hashed;
};

std::string EntryToAppend(const std::string& text, void* context) {
  const NewEntry* entry = static_cast<const NewEntry*>(context);
  std::vector<KnownHostsText> now = *entry->files;
  now[0].text = text;
  if (CheckHostKey(now, entry->host, entry->port, entry->key.type, entry->key.base64).status !=
      HostKeyStatus::kUnknown) {
    return std::string();
  }
  uint8_t salt[kHashSaltBytes];
  if (entry->hashed && !RandomBytes(salt, sizeof salt)) return std::string();
  const std::string line = KnownHostsEntry(entry->host, entry->port, entry->key.type,
                                           entry->key.base64, entry->hashed ? salt : nullptr);
  // A last line without its line feed must not swallow the new one.
  return (!text.empty() && text.back() != '\n' ? "\n" : "") + line;
}

// Whether RevokedHostKeys' file speaks against the key the server showed;
// *reason then says why. As ssh does, it fails closed: a file missing or
// unreadable, or a line in it that cannot be read, refuses the key. A
// binary key revocation list is not read.
bool RevokedByFile(const std::string& path, const std::string& host, int port,
                   const ShownKey& shown, std::string* reason) {
  std::string text;
  const SmallFileStatus status = ReadSmallFile(path, kSshFileMaxBytes, &text);
  if (status != SmallFileStatus::kRead) {
    *reason = "the router's host key is unverifiable, the RevokedHostKeys file " + path +
              (status == SmallFileStatus::kMissing ? " is missing" : " cannot be read");
    return true;
  }
  if (IsKeyRevocationList(text)) {
    *reason = "the router's host key is unverifiable: RevokedHostKeys " + path +
              " is a binary key revocation list, which swKicker cannot read; list the revoked "
              "public keys in a text file, one a line";
    return true;
  }
  const HostKeyVerdict verdict =
      CheckHostKey({RevokedKeysAsKnownHosts({path, true, text})}, host, port, shown.type,
                   shown.base64);
  if (verdict.status == HostKeyStatus::kUnknown) return false;
  *reason = HostKeyReason(verdict);
  return true;
}

// Judges the key the server showed against known_hosts, after the key
// exchange and before any authentication: a refused key means the password
// never leaves; *reason then says why in one short line naming the file and
// line. An unknown host is handled as StrictHostKeyChecking says: refused,
// recorded in the first user file (the exchange has proved the server holds
// the key), or accepted as it is.
bool HostKeyAcceptable(ssh_session session, const std::vector<KnownHostsText>& files,
                       const std::string& host, int port, const SshConfig& config,
                       std::string* reason) {
  ssh_key key = nullptr;
  char* base64 = nullptr;
  HostKeyVerdict verdict{HostKeyStatus::kUnreadable, std::string(), 0};
  ShownKey shown;
  if (ssh_get_server_publickey(session, &key) == SSH_OK &&
      ssh_pki_export_pubkey_base64(key, &base64) == SSH_OK) {
    shown = {ssh_key_type_to_char(ssh_key_type(key)), base64};
    verdict = CheckHostKey(files, host, port, shown.type, shown.base64);
  }
  ssh_string_free_char(base64);
  ssh_key_free(key);
  if (!shown.type.empty() && !config.revokedHostKeys.empty() &&
      RevokedByFile(config.revokedHostKeys, host, port, shown, reason)) {
    return false;
  }
  *reason = HostKeyReason(verdict);
  if (verdict.status != HostKeyStatus::kUnknown) return HostKeyAccepted(verdict);
  if (config.strictHostKeyChecking == StrictHostKeyChecking::kYes) {
    *reason = "the router's host key is not known and StrictHostKeyChecking is yes: add it to " +
              files[0].path;
    return false;
  }
  if (config.strictHostKeyChecking == StrictHostKeyChecking::kAsk) {
    *reason = "the router's host key is not known and StrictHostKeyChecking is ask, but nobody "
              "is there to answer: add the key to " + files[0].path;
    return false;
  }
  if (config.strictHostKeyChecking == StrictHostKeyChecking::kAcceptNew &&
      files[0].path != NullPath()) {
    // As ssh does, a file that cannot be written leaves the router accepted
    // this time, and unknown.
    NewEntry entry{&files, host, port, shown, config.hashKnownHosts};
    std::string error;
    AppendUnderLock(files[0].path, EntryToAppend, &entry, &error);
  }
  return true;
}

// Many servers leave Nagle on for a session without a terminal (OpenSSH's
// sshd does): their next small packet waits for our ACK of the one before,
// which Linux delays by up to 40 ms when we have nothing to send. Quick-ACK
// mode sends a due ACK at once. Linux leaves that mode by itself once we
// send after receiving, so it is set again before a wait that can block,
// and never where the socket has no such mode (a proxy command's pipe, or
// Windows, where the socket was made acknowledging every segment).
void AckPromptly(const OpenSession* open) {
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
  const int64_t now = NowMs();
  const int64_t end = std::min(*heardMs + open->stepMs, open->sessionEndMs);
  if (now >= end) return false;
  const socket_t fd = ssh_get_fd(open->session);
  if (fd == SSH_INVALID_SOCKET) {
    // No socket yet to wait on: libssh is looked at again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(end - now, 20)));
    return true;
  }
  AckPromptly(open);
  const bool writing = (ssh_get_poll_flags(open->session) & SSH_WRITE_PENDING) != 0;
  SocketPoll ready[2] = {{static_cast<TcpSocket>(fd), false, false},
                         {static_cast<TcpSocket>(fd), true, false}};
  // One wait at most a second long: the clock is looked at again after a
  // signal or a wake-up with nothing for libssh.
  if (PollSockets(ready, writing ? 2 : 1, static_cast<int>(std::min<int64_t>(end - now, 1000))) >
      0) {
    *heardMs = NowMs();
  }
  return true;
}

// Runs a non-blocking libssh call until it stops asking to be called again;
// kStepTimedOut when the host took too long. The waits between tries are
// ours, so each acknowledges promptly (see AckPromptly): right after
// authentication OpenSSH's sshd sends a packet of its own (its host keys),
// and with Nagle on it then holds the reply to the channel open behind it.
template <typename Call>
int RunStep(const OpenSession* open, int again, Call call) {
  int64_t heardMs = NowMs();
  for (;;) {
    const int rc = call();
    if (rc != again) return rc;
    if (!AwaitHost(open, &heardMs)) return kStepTimedOut;
  }
}

// The blocking calls after the session is open wait at most a step's bound,
// and never past the session's.
void BoundBlockingWaits(const OpenSession* open) {
  const int64_t ms = std::clamp<int64_t>(open->sessionEndMs - NowMs(), 1, open->stepMs);
  const long seconds = static_cast<long>(ms / 1000);
  const long microseconds = static_cast<long>(ms % 1000) * 1000;
  ssh_options_set(open->session, SSH_OPTIONS_TIMEOUT, &seconds);
  ssh_options_set(open->session, SSH_OPTIONS_TIMEOUT_USEC, &microseconds);
}

// Resolves the host and opens the TCP connection within a step's bound
// (ConnectTimeout's where configured), then hands the socket to libssh;
// Release closes it. A session whose connection libssh makes itself
// (through a proxy) skips this.
bool ConnectTcp(OpenSession* open, const char* host, int port, int connectTimeoutSeconds) {
  const int64_t stepMs =
      connectTimeoutSeconds > 0
          ? std::min<int64_t>(connectTimeoutSeconds, kSshSessionBoundSeconds) * 1000
          : open->stepMs;
  const TcpConnection tcp = TcpConnect(host, port, std::min(NowMs() + stepMs, open->sessionEndMs));
  if (!tcp.connected) {
    open->Fail(tcp.failure, tcp.text);
    return false;
  }
  open->ownSocket = tcp.fd;
  socket_t fd = static_cast<socket_t>(tcp.fd);
  std::string refused;
  if (!PeerAllowed(fd, &refused)) {
    open->Fail(SshFailure::kOther, refused);
    return false;
  }
  if (ssh_options_set(open->session, SSH_OPTIONS_FD, &fd) != 0) {
    open->Fail(SshFailure::kOther, "the SSH library did not take the connection.");
    return false;
  }
  return true;
}

// The failure a step's result stands for: it ran out of time, or libssh
// says what went wrong.
SshFailure StepFailure(OpenSession* open, int rc) {
  if (rc == kStepTimedOut) return open->Fail(SshFailure::kTimedOut);
  return open->Fail(SshFailure::kOther, ssh_get_error(open->session));
}

// The failure an authentication call's result stands for.
SshFailure AuthFailure(OpenSession* open, int rc) {
  if (rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL) {
    return open->Fail(SshFailure::kAuthenticationRefused);
  }
  return StepFailure(open, rc);
}

// The password answers a round only when the round asks for exactly one
// thing and does not echo it; a round asking for anything else (a user
// name, a code, several answers) ends the authentication, so the password
// never lands in another field.
SshFailure KeyboardInteractive(OpenSession* open, const char* password) {
  ssh_session session = open->session;
  const auto next = [&] { return ssh_userauth_kbdint(session, nullptr, nullptr); };
  int rc = RunStep(open, SSH_AUTH_AGAIN, next);
  for (int round = 0; rc == SSH_AUTH_INFO && round < kMaxKeyboardInteractiveRounds; ++round) {
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    if (prompts > 0) {
      char echo = 1;
      if (prompts != 1 || ssh_userauth_kbdint_getprompt(session, 0, &echo) == nullptr ||
          echo != 0) {
        return open->Fail(SshFailure::kAuthenticationRefused,
                          "the router asked for more than the password.");
      }
      if (ssh_userauth_kbdint_setanswer(session, 0, password) < 0) {
        return open->Fail(SshFailure::kOther, ssh_get_error(session));
      }
    }
    rc = RunStep(open, SSH_AUTH_AGAIN, next);
  }
  if (rc == SSH_AUTH_INFO) {
    return open->Fail(SshFailure::kAuthenticationRefused,
                      "the router kept asking without accepting the password.");
  }
  return rc == SSH_AUTH_SUCCESS ? SshFailure::kNone : AuthFailure(open, rc);
}

// No passphrase is ever asked for: a scheduled run has nobody to type it,
// so a key that needs one is skipped.
int NoPassphrase(const char*, char*, size_t, int, int, void*) { return -1; }

// One identity file, used the way OpenSSH uses it: the public half is
// offered first (FILE.pub, or the private file when it has no passphrase),
// and the private key is read and used only when the server would take it.
bool IdentityFileAccepted(const OpenSession* open, const std::string& path) {
  ssh_session session = open->session;
  // libssh opens them blocking and reads them whole: a FIFO or device is
  // skipped before it gets there.
  if (CheckSmallFile(path, kSshFileMaxBytes) != SmallFileStatus::kRead) return false;
  const bool publicHalfUsable =
      CheckSmallFile(path + ".pub", kSshFileMaxBytes) == SmallFileStatus::kRead;
  ssh_key publicKey = nullptr;
  ssh_key privateKey = nullptr;
  if (!publicHalfUsable ||
      ssh_pki_import_pubkey_file((path + ".pub").c_str(), &publicKey) != SSH_OK) {
    publicKey = nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), nullptr, NoPassphrase, nullptr,
                                    &privateKey) != SSH_OK ||
        ssh_pki_export_privkey_to_pubkey(privateKey, &publicKey) != SSH_OK) {
      ssh_key_free(privateKey);
      return false;
    }
  }
  bool accepted = false;
  if (RunStep(open, SSH_AUTH_AGAIN,
              [&] { return ssh_userauth_try_publickey(session, nullptr, publicKey); }) ==
          SSH_AUTH_SUCCESS &&
      (privateKey != nullptr ||
       ssh_pki_import_privkey_file(path.c_str(), nullptr, NoPassphrase, nullptr,
                                   &privateKey) == SSH_OK)) {
    accepted = RunStep(open, SSH_AUTH_AGAIN, [&] {
                 return ssh_userauth_publickey(session, nullptr, privateKey);
               }) == SSH_AUTH_SUCCESS;
  }
  ssh_key_free(publicKey);
  ssh_key_free(privateKey);
  return accepted;
}

// The keys of a running agent (unless IdentitiesOnly), then the identity
// files: the configured ones, else the default ones. Nothing is written and
// nothing is asked for.
bool PublicKeyAccepted(const OpenSession* open) {
#ifndef _WIN32
  ssh_session session = open->session;
  if (open->useAgent && AgentNamed() && !open->identitiesOnly &&
      AgentAnswers(kAgentDeadlineMs) &&
      RunStep(open, SSH_AUTH_AGAIN, [&] { return ssh_userauth_agent(session, nullptr); }) ==
          SSH_AUTH_SUCCESS) {
    return true;
  }
#endif
  for (const std::string& path : open->identityFiles) {
    if (IdentityFileAccepted(open, path)) return true;
  }
  return false;
}

SshFailure Authenticate(OpenSession* open, const char* password) {
  ssh_session session = open->session;
  // "none" first: it returns the methods the server offers.
  const int none =
      RunStep(open, SSH_AUTH_AGAIN, [&] { return ssh_userauth_none(session, nullptr); });
  if (none == SSH_AUTH_SUCCESS) return SshFailure::kNone;
  if (none != SSH_AUTH_DENIED && none != SSH_AUTH_PARTIAL) return AuthFailure(open, none);
  int methods = ssh_userauth_list(session, nullptr);
  // The password goes out only when no key was accepted.
  if ((methods & SSH_AUTH_METHOD_PUBLICKEY) != 0 && open->pubkeyAuthentication) {
    if (PublicKeyAccepted(open)) return SshFailure::kNone;
    methods = ssh_userauth_list(session, nullptr);
  }
  // Only by a way the configuration allows, in its order.
  const bool passwordOffered = (methods & SSH_AUTH_METHOD_PASSWORD) != 0;
  const bool interactiveOffered = (methods & SSH_AUTH_METHOD_INTERACTIVE) != 0;
  const bool byPassword = passwordOffered && open->password.allowed;
  const bool byInteractive = interactiveOffered && open->keyboardInteractive.allowed;
  if (byPassword && !(byInteractive && open->keyboardInteractiveFirst)) {
    const int rc = RunStep(open, SSH_AUTH_AGAIN,
                           [&] { return ssh_userauth_password(session, nullptr, password); });
    return rc == SSH_AUTH_SUCCESS ? SshFailure::kNone : AuthFailure(open, rc);
  }
  if (byInteractive) return KeyboardInteractive(open, password);
  if (!passwordOffered && !interactiveOffered) {
    return open->Fail(SshFailure::kAuthenticationRefused,
                      "the router offers no password authentication.");
  }
  std::vector<std::string> excluded;
  if (passwordOffered) {
    excluded.push_back("password authentication by " + open->password.excludedBy);
  }
  if (interactiveOffered) {
    excluded.push_back("keyboard-interactive by " + open->keyboardInteractive.excludedBy);
  }
  std::string text = "the password was not sent: the SSH configuration excludes ";
  for (size_t i = 0; i < excluded.size(); ++i) text += (i > 0 ? ", and " : "") + excluded[i];
  return open->Fail(SshFailure::kAuthenticationRefused, text + ".");
}

SshFailure RequestAuthService(OpenSession* open) {
  ssh_session session = open->session;
  const int rc =
      RunStep(open, SSH_AGAIN, [&] { return ssh_service_request(session, "ssh-userauth"); });
  return rc == SSH_OK ? SshFailure::kNone : StepFailure(open, rc);
}

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
  if (rc == SSH_OK) {
    rc = RunStep(open, SSH_AGAIN, [&] { return ssh_channel_request_exec(channel, command); });
  }
  if (rc == SSH_OK) return true;
  StepFailure(open, rc);
  return false;
}

// Puts an opened session in the table under a handle of its own: never 0,
// never kInvalidClient, and none still in use after the count wraps.
SshClient AddSession(std::unique_ptr<OpenSession> open) {
  std::lock_guard<std::mutex> hold(g_sessionsLock);
  for (;;) {
    const SshClient handle = ++g_lastHandle;
    if (handle != 0 && handle != kInvalidClient &&
        g_sessions.try_emplace(handle, std::move(open)).second) {
      return handle;
    }
  }
}

// The open session of a handle; nullptr for any other. The caller is the one
// thread using that session now, so it stays until that thread closes it.
OpenSession* Find(SshClient client) {
  std::lock_guard<std::mutex> hold(g_sessionsLock);
  const auto found = g_sessions.find(client);
  return found != g_sessions.end() ? found->second.get() : nullptr;
}

// Takes the session of a handle out of the table, for closing: a second
// close of the same handle finds nothing.
std::unique_ptr<OpenSession> Take(SshClient client) {
  std::lock_guard<std::mutex> hold(g_sessionsLock);
  const auto found = g_sessions.find(client);
  if (found == g_sessions.end()) return nullptr;
  std::unique_ptr<OpenSession> open = std::move(found->second);
  g_sessions.erase(found);
  return open;
}

// Lets libssh handle whatever the server sends for up to waitMs, even after
// the remote's EOF (the channel calls stop looking then); returns after the
// first packets handled. The channel callbacks record exit status and close.
void AwaitPackets(OpenSession* open, int waitMs) {
  if (waitMs > 0) AckPromptly(open);
  ssh_event event = ssh_event_new();
  if (event == nullptr) return;
  if (ssh_event_add_session(event, open->session) == SSH_OK) {
    ssh_event_dopoll(event, waitMs);
    ssh_event_remove_session(event, open->session);
  }
  ssh_event_free(event);
}

// Frees what a session holds, channel before session: ssh_disconnect frees
// the session's channels itself. Once both are gone libssh holds nothing of
// it, callbacks included; the failure stays, for the call to report.
void Release(OpenSession* open) {
  if (open->channel != nullptr) ssh_channel_free(open->channel);
  if (open->session != nullptr) {
    ssh_disconnect(open->session);
    ssh_free(open->session);
  }
  if (open->ownSocket.has_value()) CloseTcpSocket(*open->ownSocket);
  open->channel = nullptr;
  open->session = nullptr;
  open->ownSocket.reset();
}

OpenSession::~OpenSession() { Release(this); }

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

// The command that carries the session for ProxyCommand, or for ProxyJump
// the same command ssh would run through the jump hosts; empty for neither.
// False, with open's failure set, where the library cannot run one.
bool ProxyCommandFor([[maybe_unused]] OpenSession* open, const SshConfig& config,
                     std::string* command) {
  command->clear();
  if (config.proxyCommand.empty() && config.proxyJump.empty()) return true;
#if defined(_WIN32)
  open->Fail(SshFailure::kOther,
             std::string(config.proxyCommand.empty() ? "ProxyJump" : "ProxyCommand") +
                 " cannot be used on Windows: this program's SSH library cannot run a proxy "
                 "command there.");
  return false;
#else
  *command = !config.proxyCommand.empty() ? config.proxyCommand
                                          : ProxyJumpCommand(config.proxyJump);
  return true;
#endif
}

int OptionFor(AlgorithmKind kind) {
  switch (kind) {
    case AlgorithmKind::kKex: return SSH_OPTIONS_KEY_EXCHANGE;
    case AlgorithmKind::kHostKey: return SSH_OPTIONS_HOSTKEYS;
    case AlgorithmKind::kCipher: return SSH_OPTIONS_CIPHERS_C_S;
    case AlgorithmKind::kMac: return SSH_OPTIONS_HMAC_C_S;
  }
  return SSH_OPTIONS_KEY_EXCHANGE;
}

// Whether this build of the library can do the algorithm at all: it refuses
// a list that holds nothing it knows.
bool LibraryCan(AlgorithmKind kind, const std::string& name) {
  ssh_session scratch = ssh_new();
  if (scratch == nullptr) return false;
  const bool can = ssh_options_set(scratch, static_cast<ssh_options_e>(OptionFor(kind)),
                                   name.c_str()) == 0;
  ssh_free(scratch);
  return can;
}

// The configuration's algorithm options, the proxy, and known_hosts' key
// types first when the host key algorithms are not configured (a configured
// list is used as written, as ssh does).
bool ApplyConfig(ssh_session session, const SshConfig& config, const std::string& proxyCommand,
                 const std::vector<std::string>& knownTypes) {
  const struct {
    const AlgorithmOption* option;
    ssh_options_e names[2];
  } kOptions[] = {
      {&config.kexAlgorithms, {SSH_OPTIONS_KEY_EXCHANGE, SSH_OPTIONS_KEY_EXCHANGE}},
      {&config.ciphers, {SSH_OPTIONS_CIPHERS_C_S, SSH_OPTIONS_CIPHERS_S_C}},
      {&config.macs, {SSH_OPTIONS_HMAC_C_S, SSH_OPTIONS_HMAC_S_C}},
      {&config.pubkeyAcceptedAlgorithms,
       {SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES}},
      {&config.hostKeyAlgorithms, {SSH_OPTIONS_HOSTKEYS, SSH_OPTIONS_HOSTKEYS}},
  };
  for (const auto& each : kOptions) {
    if (!each.option->set) continue;
    for (ssh_options_e name : each.names) {
      if (ssh_options_set(session, name, each.option->list.c_str()) != 0) return false;
    }
  }
  if (!config.hostKeyAlgorithms.set && !PreferKnownKeyTypes(session, knownTypes)) return false;
  // ssh's own floor is 1024 bits, whatever the line says.
  const int rsaBits = std::max(config.requiredRsaSize, 1024);
  if (config.requiredRsaSize > 0 &&
      ssh_options_set(session, SSH_OPTIONS_RSA_MIN_SIZE, &rsaBits) != 0) {
    return false;
  }
  return proxyCommand.empty() ||
         ssh_options_set(session, SSH_OPTIONS_PROXYCOMMAND, proxyCommand.c_str()) == 0;
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

// libssh's words for a key exchange that found nothing common:
// "kex error : no match for method NAME: server [LIST], client [LIST]".
bool KexMismatch(const std::string& text, AlgorithmNeed* need) {
  static const struct {
    const char* name;
    AlgorithmKind kind;
  } kMethods[] = {
      {"kex algos", AlgorithmKind::kKex},
      {"server host key algo", AlgorithmKind::kHostKey},
      {"encryption client->server", AlgorithmKind::kCipher},
      {"encryption server->client", AlgorithmKind::kCipher},
      {"mac algo client->server", AlgorithmKind::kMac},
      {"mac algo server->client", AlgorithmKind::kMac},
  };
  const std::string marker = "no match for method ";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return false;
  const size_t nameStart = at + marker.size();
  const size_t offerStart = text.find(": server [", nameStart);
  const size_t offerEnd = offerStart == std::string::npos ? offerStart : text.find(']', offerStart);
  if (offerEnd == std::string::npos) return false;
  const std::string name = text.substr(nameStart, offerStart - nameStart);
  for (const auto& method : kMethods) {
    if (name == method.name) {
      need->kind = method.kind;
      need->offered = Offered(text.substr(offerStart + 10, offerEnd - offerStart - 10));
      need->allow.clear();
      return true;
    }
  }
  return false;
}

// The reason for a router that shares no algorithm with this side; empty
// when it shares one of every kind, and the failure was another. libssh
// names only the first kind it found nothing common in, and loses even that
// when the router closes the connection before libssh has read its offer:
// the router's offer is read on a connection of its own (no key exchange
// follows), except through a proxy, where libssh's words are all there is.
std::string NoSharedAlgorithmText(const OpenSession* open, const SshConfig& config,
                                  const std::string& host, int port,
                                  const std::string& proxyCommand,
                                  const std::string& libraryText) {
  std::vector<AlgorithmNeed> needs;
  ServerOffer offer;
  const int64_t deadline = std::min(NowMs() + open->stepMs, open->sessionEndMs);
  if (proxyCommand.empty() && ReadServerOffer(config.hostName, port, deadline, NowMs, &offer)) {
    needs = AlgorithmNeeds(offer, config, LibraryCan);
  } else {
    AlgorithmNeed need;
    if (KexMismatch(libraryText, &need)) {
      need.allow = AlgorithmToAllow(need.offered, LibraryCan, need.kind);
      needs.push_back(need);
    }
  }
  if (needs.empty()) return std::string();
#if defined(_WIN32)
  const char* configPath = "%USERPROFILE%\\.ssh\\config";
#else
  const char* configPath = "~/.ssh/config";
#endif
  return NoSharedAlgorithmReason(host, configPath, needs) + ".";
}

// Why a user name cannot be used; empty when it can. The SSH library
// refuses names that ssh would try (Debian's libssh 0.10.6: a leading "-",
// or any of the characters below, which a shell would read): those get a
// reason of this program's own, the same on every platform.
std::string UserNameProblem(const std::string& user) {
  static const char kRefused[] = "\"$&'(),;<>\\`{|}";
  if (user.empty()) {
    return "no user name: /user: is empty, the SSH configuration sets no User, and this "
           "process's user has no name.";
  }
  if (user[0] == '-' || user.find_first_of(kRefused) != std::string::npos) {
    std::string shown;
    for (const char* c = kRefused; *c != '\0'; ++c) shown += std::string(" ") + *c;
    return "the user name \"" + user + "\" cannot be used: this program's SSH library refuses "
           "a name that starts with - or holds any of" + shown + ".";
  }
  return std::string();
}

// SshConnectA's work on a new session: false, with open's failure set, when
// it could not be opened (open's end then frees whatever it got).
bool OpenSessionOn(OpenSession* open, const char* host, int32_t port, const char* user,
                   const char* password, int32_t timeout, const SshConnectOptions* options) {
  open->Fail(SshFailure::kOther);
  if (host == nullptr || user == nullptr || password == nullptr || options == nullptr) {
    return false;
  }
  if (host[0] == '\0') {
    open->Fail(SshFailure::kOther, "no router address was given.");
    return false;
  }
  if (port < 0 || port > 65535) {
    open->Fail(SshFailure::kOther, "port " + std::to_string(port) + " is outside 1 to 65535.");
    return false;
  }
  const size_t commandLength = strnlen(options->remoteCommand, sizeof options->remoteCommand);
  if (commandLength == 0 || commandLength == sizeof options->remoteCommand) {
    return false;
  }
  const std::string command(options->remoteCommand, commandLength);
  const long timeoutSeconds = timeout > 0 ? timeout : kDefaultTimeoutSeconds;

  // The admin's configuration for the router as named; a user and port given
  // win over it, as ssh's -l and -p do.
  const SshConfig config = ReadSshConfig(host, user);
  if (!config.error.empty()) {
    open->Fail(SshFailure::kOther, "the SSH configuration cannot be used: " + config.error + ".");
    return false;
  }
  if (port == 0) port = config.port != 0 ? config.port : kSshDefaultPort;
  // No user given: the configuration's, else this process's, as ssh does.
  const std::string localUser = user[0] == '\0' && config.user.empty() ? LocalUserName() : "";
  if (user[0] == '\0') user = !config.user.empty() ? config.user.c_str() : localUser.c_str();
  const std::string userProblem = UserNameProblem(user);
  if (!userProblem.empty()) {
    open->Fail(SshFailure::kOther, userProblem);
    return false;
  }
  std::string proxyCommand;
  if (!ProxyCommandFor(open, config, &proxyCommand)) return false;

  // libssh's log callback is this thread's own (see SshInitializeA).
  ssh_set_log_callback(DiscardLog);
  open->stepMs = static_cast<int64_t>(timeoutSeconds) * 1000;
  open->sessionEndMs = NowMs() + kSshSessionBoundSeconds * 1000LL;
  open->identityFiles = config.identityFiles.empty() ? DefaultIdentityFiles()
                                                     : config.identityFiles;
  open->identitiesOnly = config.identitiesOnly;
  open->pubkeyAuthentication = config.pubkeyAuthentication;
  open->useAgent = config.useAgent;
  open->password = config.password;
  open->keyboardInteractive = config.keyboardInteractive;
  open->keyboardInteractiveFirst = config.keyboardInteractiveFirst;
  open->session = ssh_new();
  if (open->session == nullptr) return false;
  // Read once: the same text orders the key exchange and judges its key.
  // Unset, each option names two files, as with ssh: known_hosts and
  // known_hosts2 (a key listed or revoked only in the second counts too);
  // a new router is recorded in the first.
  std::vector<std::string> knownHostsPaths = config.userKnownHostsFiles;
  if (knownHostsPaths.empty()) {
    knownHostsPaths.push_back(UserKnownHostsPath());
    if (knownHostsPaths[0] != NullPath()) knownHostsPaths.push_back(knownHostsPaths[0] + "2");
  }
  if (config.globalKnownHostsFiles.empty()) {
    knownHostsPaths.push_back(GlobalKnownHostsPath());
    knownHostsPaths.push_back(GlobalKnownHostsPath() + "2");
  } else {
    knownHostsPaths.insert(knownHostsPaths.end(), config.globalKnownHostsFiles.begin(),
                           config.globalKnownHostsFiles.end());
  }
  std::vector<KnownHostsText> knownHosts = ReadKnownHostsFiles(knownHostsPaths);
  // The null device (no home folder, or named so in the configuration) is
  // read as an empty file, as ssh reads it; any other device is not a file.
  for (KnownHostsText& file : knownHosts) {
    if (file.path == NullPath()) {
      file.readable = true;
      file.text.clear();
    }
  }
  // libssh checks the host text itself (spaces, control characters, a
  // port after a colon): what it refuses is a malformed address.
  if (ssh_options_set(open->session, SSH_OPTIONS_HOST, config.hostName.c_str()) != 0) {
    open->Fail(SshFailure::kOther,
               "the router address is malformed: it is no host name or address.");
    return false;
  }
  bool optionsSet = SetOptions(open->session, config.hostName.c_str(), port, user,
                               timeoutSeconds);
  // An address literal is looked up in known_hosts, and named to libssh, in
  // OpenSSH's form of it: 127.1 is 127.0.0.1 there.
  const std::string knownName =
      CanonicalAddress(SessionHost(open->session, config.hostName.c_str()));
  // Under HostKeyAlias known_hosts names the router by the alias alone,
  // without its port, as ssh reads and writes it.
  const std::string keyName = config.hostKeyAlias.empty() ? knownName : config.hostKeyAlias;
  const int keyPort = config.hostKeyAlias.empty() ? port : kSshDefaultPort;
  optionsSet = optionsSet &&
               ssh_options_set(open->session, SSH_OPTIONS_HOST, knownName.c_str()) == 0 &&
               ApplyConfig(open->session, config, proxyCommand,
                           KnownHostKeyTypes(knownHosts, keyName, keyPort));
  if (!optionsSet) {
    const std::string text = ssh_get_error(open->session);
    open->Fail(SshFailure::kOther,
               text.empty() ? "the SSH library refused the session's settings." : text);
    return false;
  }
  // Through a proxy libssh makes the connection itself.
  if (proxyCommand.empty() &&
      !ConnectTcp(open, knownName.c_str(), port, config.connectTimeoutSeconds)) {
    return false;
  }
  // Up to the command, every step runs non-blocking under this file's own
  // bounds: libssh's timeout holds for each wait, not for a whole step or
  // the whole session.
  ssh_set_blocking(open->session, 0);
  ssh_session session = open->session;
  const int connected = ConnectSession(open, config.connectTimeoutSeconds);
  std::string reason;
  bool ok = false;
  if (connected == kStepTimedOut) {
    open->Fail(SshFailure::kTimedOut);
  } else if (connected != SSH_OK) {
    reason = ssh_get_error(session);
    // The router answered with its version line and then the connection
    // failed: it may share no algorithm with this side.
    AlgorithmNeed need;
    const std::string shared =
        KexMismatch(reason, &need) || ssh_get_serverbanner(session) != nullptr
            ? NoSharedAlgorithmText(open, config, host, port, proxyCommand, reason)
            : std::string();
    if (!shared.empty()) {
      open->Fail(SshFailure::kNoSharedAlgorithm, shared);
    } else {
      open->Fail(SshFailure::kOther, reason);
    }
  } else if (!HostKeyAcceptable(session, knownHosts, keyName, keyPort, config, &reason)) {
    open->Fail(SshFailure::kHostKeyRefused, reason + ".");
  } else if (RequestAuthService(open) == SshFailure::kNone &&
             Authenticate(open, password) == SshFailure::kNone &&
             OpenCommandChannel(open, command.c_str())) {
    ok = true;
  }
  if (!ok) return false;
  // Kept for checking, after the reboot, that the router came back.
  RememberSessionPeer(session);
  ssh_set_blocking(session, 1);
  BoundBlockingWaits(open);
  open->Fail(SshFailure::kNone);
  return true;
}

// SshWriteLineA's work on an open session.
bool WriteLineOn(OpenSession* open, const char* text) {
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
  if (NowMs() >= open->sessionEndMs) {
    open->Fail(SshFailure::kTimedOut);
    return false;
  }
  BoundBlockingWaits(open);
  std::string line(text);
  line.push_back('\n');
  const int sent = ssh_channel_write(open->channel, line.data(), static_cast<uint32_t>(line.size()));
  // libssh counts bytes as written once they are in its own buffer: the
  // answer is sent only when that buffer has reached the socket in time.
  const int64_t left = std::min(NowMs() + open->stepMs, open->sessionEndMs) - NowMs();
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
  DrainOutput(open);
  // Closing at once can kill a command that has read its input but not yet
  // acted on it: end its input, then give it a bounded time to finish.
  const bool ended = open->closed || ssh_channel_is_closed(open->channel);
  if (!ended && (Exited(open) || ssh_channel_send_eof(open->channel) == SSH_OK)) {
    const int64_t deadline = std::min(NowMs() + kCloseWaitMs, open->sessionEndMs);
    for (;;) {
      DrainOutput(open);
      const int64_t left = deadline - NowMs();
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
  Release(open);
  if (!failure.empty()) {
    open->Fail(SshFailure::kRemoteFailed, failure);
    return false;
  }
  open->Fail(SshFailure::kNone);
  return true;
}

}  // namespace

SshFailure SshGetLastError(char* text, int32_t capacity) {
  if (text != nullptr && capacity > 0) {
    StoreFixedText(t_lastFailureText, text, static_cast<size_t>(capacity));
  }
  return t_lastFailure;
}

int32_t SshInitializeA(const char*, void*) {
  FloatingPointModeGuard guard;
  std::lock_guard<std::mutex> hold(g_libraryLock);
  // The static libssh of the Windows build sets up its threading here: it
  // must run before any thread opens a session.
  if (g_libraryUsers == 0 && ssh_init() != SSH_OK) return 0;
  ++g_libraryUsers;
  // libssh's own logging would write to stderr. libssh keeps its log
  // callback per thread: this covers the calling thread, and each session
  // silences its own (see OpenSessionOn).
  ssh_set_log_callback(DiscardLog);
  ssh_set_log_level(SSH_LOG_NOLOG);
  return 1;
}

SshClient SshConnectA(const char* host, int32_t port, const char* user,
                      const char* password, int32_t timeout, uint32_t,
                      SshConnectOptions* options, void*) {
  FloatingPointModeGuard guard;
  auto open = std::make_unique<OpenSession>();
  const bool opened = OpenSessionOn(open.get(), host, port, user, password, timeout, options);
  EndCall(*open);
  return opened ? AddSession(std::move(open)) : kInvalidClient;
}

int32_t SshReadLineA(SshClient client, char* buffer, int32_t* count) {
  FloatingPointModeGuard guard;
  OpenSession* open = Find(client);
  if (buffer == nullptr || count == nullptr || *count < 1) return 0;
  buffer[0] = '\0';
  const int32_t capacity = *count;
  *count = 0;
  if (open == nullptr || capacity < 2) return 0;

  const int64_t deadline = std::min(NowMs() + open->stepMs, open->sessionEndMs);
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
  if (open == nullptr || text == nullptr) {
    EndCall(SshFailure::kOther);
    return 0;
  }
  const bool written = WriteLineOn(open, text);
  EndCall(*open);
  return written ? 1 : 0;
}

int32_t SshDisconnect(SshClient client) {
  FloatingPointModeGuard guard;
  const std::unique_ptr<OpenSession> open = Take(client);
  if (open == nullptr) {
    EndCall(SshFailure::kOther);
    return 0;
  }
  const bool closed = CloseSession(open.get());
  EndCall(*open);
  return closed ? 1 : 0;
}

void SshUninitialize() {
  FloatingPointModeGuard guard;
  std::lock_guard<std::mutex> hold(g_libraryLock);
  if (g_libraryUsers == 0 || --g_libraryUsers > 0) return;
  // Sessions still open go with the library; no other thread is using one.
  std::map<SshClient, std::unique_ptr<OpenSession>> left;
  {
    std::lock_guard<std::mutex> holdSessions(g_sessionsLock);
    left.swap(g_sessions);
  }
  left.clear();
  ssh_finalize();
}
