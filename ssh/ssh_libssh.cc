// The SSH client library on libssh 0.10: the six calls, their table of
// open sessions, and the opening of a session step by step (the steps, the
// host key, the authentication and the channel each have a file of their
// own beside it; see ssh_libssh_session.h). Only the ssh_libssh files
// include libssh's client header. Several sessions may be open at once,
// each used by one thread at a time; nothing is printed, and the only file
// written is a new router's line in known_hosts.

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/address_text.h"
#include "base/clock.h"
#include "base/numbers.h"
#include "ssh/server_offer.h"
#include "ssh/ssh_libssh_peer.h"
#include "ssh/ssh_libssh_session.h"
#include "ssh/ssh_thread_state.h"
#include "ssh/tcp_connect.h"
#include "ssh_files/ssh_files.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 20;

// libssh and the crypto library below it may change the floating-point
// environment; the port conversion needs its own mode back after each call.
struct FloatingPointModeGuard {
  ~FloatingPointModeGuard() { SetFloatingPointMode(); }
};

// The open sessions by handle. The lock guards the table alone: a session's
// calls run outside it, so one router's slow step never holds up another's.
std::mutex g_sessionsLock;
std::map<SshClient, std::unique_ptr<OpenSession>> g_sessions;
std::atomic<SshClient> g_lastHandle{0};

// SshInitializeA calls not yet matched by SshUninitialize.
std::mutex g_libraryLock;
int g_libraryUsers = 0;

// Ends a call: its failure becomes the calling thread's last error.
void EndCall(SshFailure kind, const std::string& text = std::string()) {
  SshThreadState& state = ThisThreadState();
  state.lastFailure = kind;
  state.lastFailureText = text;
}
void EndCall(const OpenSession& open) { EndCall(open.failure, open.failureText); }

void DiscardLog(int, const char*, const char*, void*) {}

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

// Resolves the host and opens the TCP connection within a step's bound
// (ConnectTimeout's where configured), then hands the socket to libssh;
// ReleaseSession closes it. A session whose connection libssh makes itself
// (through a proxy) skips this.
bool ConnectTcp(OpenSession* open, const char* host, int port, int connectTimeoutSeconds) {
  const int64_t stepMs =
      connectTimeoutSeconds > 0
          ? std::min<int64_t>(connectTimeoutSeconds, kSshSessionBoundSeconds) * 1000
          : open->stepMs;
  const TcpConnection tcp = TcpConnect(host, port, std::min(MonotonicMs() + stepMs, open->sessionEndMs));
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

// The router's names, each found once: as given, as the configuration
// resolves it (HostName), the form known_hosts and libssh name it by, and
// the name and port its key is listed under.
struct Target {
  std::string given;
  std::string hostName;
  // An address literal in OpenSSH's form of it: 127.1 is 127.0.0.1 there.
  std::string knownName;
  // Under HostKeyAlias known_hosts names the router by the alias alone,
  // without its port, as ssh reads and writes it.
  std::string keyName;
  int keyPort = 0;
};

// Finds the target's names for port; false when libssh refuses the host
// text (spaces, control characters, a port after a colon): a malformed
// address.
bool FindTarget(ssh_session session, const char* given, const SshConfig& config, int port,
                Target* target) {
  if (ssh_options_set(session, SSH_OPTIONS_HOST, config.hostName.c_str()) != 0) return false;
  target->given = given;
  target->hostName = config.hostName;
  target->knownName = CanonicalAddress(SessionHost(session, config.hostName.c_str()));
  target->keyName = config.hostKeyAlias.empty() ? target->knownName : config.hostKeyAlias;
  target->keyPort = config.hostKeyAlias.empty() ? port : kSshDefaultPort;
  return true;
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
                   const char* password, int32_t timeout, uint32_t flags,
                   const SshConnectOptions* options) {
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
  SshThreadState& thread = ThisThreadState();
  thread.route = SshRoute();
  thread.route.host = config.hostName;
  thread.route.port = port;
  thread.route.user = user;
  thread.routeKnown = true;
  const std::string userProblem = UserNameProblem(user);
  if (!userProblem.empty()) {
    open->Fail(SshFailure::kOther, userProblem);
    return false;
  }
  std::string proxyCommand;
  if (!ProxyCommandFor(open, config, &proxyCommand)) return false;

  // libssh's log callback is this thread's own (see SshInitializeA).
  ssh_set_log_callback(DiscardLog);
  open->checkOnly = (flags & kSshCheckOnly) != 0;
  open->stepMs = static_cast<int64_t>(timeoutSeconds) * 1000;
  open->sessionEndMs = MonotonicMs() + kSshSessionBoundSeconds * 1000LL;
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
  const std::vector<KnownHostsText> knownHosts = ReadConfiguredKnownHosts(config);
  Target target;
  if (!FindTarget(open->session, host, config, port, &target)) {
    open->Fail(SshFailure::kOther,
               "the router address is malformed: it is no host name or address.");
    return false;
  }
  thread.route.host = target.knownName;
  const bool optionsSet =
      SetOptions(open->session, target.knownName.c_str(), port, user, timeoutSeconds) &&
      ApplyConfig(open->session, config, proxyCommand,
                  KnownHostKeyTypes(knownHosts, target.keyName, target.keyPort));
  if (!optionsSet) {
    const std::string text = ssh_get_error(open->session);
    open->Fail(SshFailure::kOther,
               text.empty() ? "the SSH library refused the session's settings." : text);
    return false;
  }
  // Through a proxy libssh makes the connection itself.
  if (proxyCommand.empty() &&
      !ConnectTcp(open, target.knownName.c_str(), port, config.connectTimeoutSeconds)) {
    return false;
  }
  // Up to the command, every step runs non-blocking under the client's own
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
            ? NoSharedAlgorithmText(config, target.given, target.hostName, port,
                                    proxyCommand.empty(), reason, LibraryCan,
                                    std::min(MonotonicMs() + open->stepMs, open->sessionEndMs))
            : std::string();
    if (!shared.empty()) {
      open->Fail(SshFailure::kNoSharedAlgorithm, shared);
    } else {
      open->Fail(SshFailure::kOther, reason);
    }
  } else if (!HostKeyAcceptable(session, knownHosts, target.keyName, target.keyPort, config,
                                !open->checkOnly, &reason, &thread.route)) {
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

}  // namespace

// Frees what a session holds, channel before session: ssh_disconnect frees
// the session's channels itself. Once both are gone libssh holds nothing of
// it, callbacks included; the failure stays, for the call to report.
void ReleaseSession(OpenSession* open) {
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

OpenSession::~OpenSession() { ReleaseSession(this); }


bool SshLastRoute(SshRoute* route) {
  const SshThreadState& state = ThisThreadState();
  if (!state.routeKnown) return false;
  *route = state.route;
  return true;
}

const char* SshLibraryVersion() {
  // ssh_version(0) gives the version text without comparing it to anything.
  const char* version = ssh_version(0);
  return version != nullptr ? version : "";
}

SshFailure SshGetLastError(char* text, int32_t capacity) {
  if (text != nullptr && capacity > 0) {
    StoreFixedText(ThisThreadState().lastFailureText, text, static_cast<size_t>(capacity));
  }
  return ThisThreadState().lastFailure;
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
                      const char* password, int32_t timeout, uint32_t flags,
                      SshConnectOptions* options, void*) {
  FloatingPointModeGuard guard;
  ThisThreadState().routeKnown = false;
  auto open = std::make_unique<OpenSession>();
  const bool opened = OpenSessionOn(open.get(), host, port, user, password, timeout, flags, options);
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
  // A check-only session has no command to read from.
  if (open == nullptr || capacity < 2 || open->checkOnly) return 0;

  const int64_t deadline = std::min(MonotonicMs() + open->stepMs, open->sessionEndMs);
  std::string line;
  for (;;) {
    int64_t waitMs = 0;
    const LineStep step = LineAssemblerTake(&open->lines, MonotonicMs(), deadline,
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
