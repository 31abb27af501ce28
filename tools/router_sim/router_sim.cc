// swKicker-router-sim: a router that can be rebooted over SSH, on loopback.
//
// Listens on 127.0.0.1, prints the port on stdout as one line, accepts one
// user with its password or, when given, its public keys, and answers the
// exec'd command "/system reboot" with a question; reads the answer, replies
// and exits the command with status 0.
// Appends one JSON line per connection to the log file. Fault modes let the
// tests try every way a router can misbehave. Every wait is bounded.
// --reboot-down-ms makes it reboot after the answer: it stops listening for
// a while and then listens again on the same port, logging when it went
// down and came back.
// --ports N plays N routers at once: it listens on N ports, prints each on a
// line of its own, and serves every connection in a child process of its
// own while it goes on accepting.

#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"

namespace {

enum class Mode {
  kNormal,
  kRefusePassword,     // every password is wrong
  kCloseBeforeAsking,  // the command ends before it asks
  kNeverAsk,           // the command waits for an answer it never asked for
  kLongLine,           // a 5000-byte line comes before the question
  kDrip,               // the question comes one byte at a time
  kHangAfterAnswer,    // the command neither replies nor ends after the answer
  kFailAfterAnswer,    // after the answer: a failure line and exit status 1
  kSignalAfterAnswer,  // after the answer: killed by a signal
  kStall,              // every step waits --stall-ms before going on
  kEofBeforeAsking,    // output ends, a moment later the channel closes
  kThreePrompts,       // keyboard-interactive asking user name, password, code
  kEmptyRounds,        // keyboard-interactive rounds that never ask anything
};

struct NamedMode {
  Mode mode;
  const char* name;
};
constexpr NamedMode kModes[] = {
    {Mode::kNormal, "normal"},
    {Mode::kRefusePassword, "refuse-password"},
    {Mode::kCloseBeforeAsking, "close-before-asking"},
    {Mode::kNeverAsk, "never-ask"},
    {Mode::kLongLine, "long-line"},
    {Mode::kDrip, "drip"},
    {Mode::kHangAfterAnswer, "hang-after-answer"},
    {Mode::kFailAfterAnswer, "fail-after-answer"},
    {Mode::kSignalAfterAnswer, "signal-after-answer"},
    {Mode::kStall, "stall"},
    {Mode::kEofBeforeAsking, "eof-before-asking"},
    {Mode::kThreePrompts, "three-prompts"},
    {Mode::kEmptyRounds, "empty-rounds"},
};

constexpr size_t kLongLineBytes = 5000;
constexpr size_t kMaxAnswerBytes = 4096;
constexpr int kMaxPorts = 4096;

struct Settings {
  std::string user = "admin";
  std::string password = "secret";
  int port = 0;
  int ports = 0;  // --ports: routers played at once; 0: one, served in turn
  std::string logPath;
  std::string hostKeyPath;  // empty: a fresh key for this run
  std::string keyType = "ed25519";
  bool printPublicKey = false;
  std::string question = "Reboot now? [y/N]: ";
  bool questionNewline = false;
  std::string reply = "rebooting\n";
  Mode mode = Mode::kNormal;
  bool keyboardInteractive = false;
  std::vector<std::string> authorizedKeyPaths;  // public keys that log in
  int count = 0;                // connections to serve; 0: until killed
  int connectionSeconds = 60;   // bound on one connection
  int lifetimeSeconds = 0;      // bound on the whole run; 0: none
  int dripMs = 150;
  bool nagle = false;  // leave Nagle's algorithm on
  int stallMs = 19000;
  int eofCloseMs = 500;  // between end of output and close
  // Rebooting after a connection that took the answer: keep listening for
  // rebootDelayMs, then stop listening for rebootDownMs (-1: no reboot),
  // then listen again, with a new host key when rebootNewKey; never again
  // when stayDown.
  int rebootDelayMs = 0;
  int rebootDownMs = -1;
  bool rebootNewKey = false;
  bool stayDown = false;
};

// What one connection did, for the log.
struct Record {
  std::string user;
  bool hasPassword = false;
  std::string password;
  int passwordAttempts = 0;
  int publicKeyOffers = 0;  // public keys the client offered or signed with
  std::string method;       // the method that succeeded; empty: none
  bool hasCommand = false;
  std::string command;
  bool questionSent = false;
  bool hasAnswer = false;
  std::string answer;
  bool clientEof = false;
  bool clientClose = false;
  bool clientDisconnect = false;
  int64_t connectedMs = 0;
  int64_t authenticatedMs = 0;
  int64_t commandMs = 0;
  int64_t questionSentMs = 0;
  int64_t answerMs = 0;
  int64_t closedMs = 0;
};

// Wall-clock milliseconds, so a test can set them against its own clock.
int64_t WallMs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// JSON string with every byte outside printable ASCII escaped, so any bytes
// the client sends give a valid line.
std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonOptional(bool present, const std::string& text) {
  return present ? JsonText(text) : "null";
}

const char* JsonBool(bool value) { return value ? "true" : "false"; }

const char* ModeName(Mode mode) {
  for (const NamedMode& entry : kModes) {
    if (entry.mode == mode) return entry.name;
  }
  return "?";
}

// Appends one whole line to the log. Children serving at once share the
// file: each line goes in one write under an exclusive lock, so lines never
// interleave.
void AppendLine(const std::string& path, const std::string& line) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  flock(fd, LOCK_EX);
  size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fd);
}

void AppendLog(const Settings& settings, int connection, unsigned int port, const Record& r) {
  if (settings.logPath.empty()) return;
  std::string line = "{\"connection\":" + std::to_string(connection) +
                     ",\"port\":" + std::to_string(port) +
                     ",\"mode\":" + JsonText(ModeName(settings.mode)) +
                     ",\"user\":" + JsonText(r.user) +
                     ",\"password\":" + JsonOptional(r.hasPassword, r.password) +
                     ",\"password_attempts\":" + std::to_string(r.passwordAttempts) +
                     ",\"publickey_offers\":" + std::to_string(r.publicKeyOffers) +
                     ",\"method\":" + JsonOptional(!r.method.empty(), r.method) +
                     ",\"command\":" + JsonOptional(r.hasCommand, r.command) +
                     ",\"question_sent\":" + JsonBool(r.questionSent) +
                     ",\"answer\":" + JsonOptional(r.hasAnswer, r.answer) +
                     ",\"client_eof\":" + JsonBool(r.clientEof) +
                     ",\"client_close\":" + JsonBool(r.clientClose) +
                     ",\"client_disconnect\":" + JsonBool(r.clientDisconnect) +
                     ",\"clean_close\":" +
                     JsonBool(r.clientEof && r.clientClose && r.clientDisconnect) +
                     ",\"connected_ms\":" + std::to_string(r.connectedMs) +
                     ",\"authenticated_ms\":" + std::to_string(r.authenticatedMs) +
                     ",\"command_ms\":" + std::to_string(r.commandMs) +
                     ",\"question_sent_ms\":" + std::to_string(r.questionSentMs) +
                     ",\"answer_ms\":" + std::to_string(r.answerMs) +
                     ",\"closed_ms\":" + std::to_string(r.closedMs) + "}\n";
  AppendLine(settings.logPath, line);
}

void Usage() {
  std::fprintf(stderr,
               "usage: swKicker-router-sim [options]\n"
               "  --user NAME             the one user accepted (admin)\n"
               "  --password TEXT         its password (secret)\n"
               "  --port N                port on 127.0.0.1; 0 or none: any free port\n"
               "  --ports N               play N routers at once (1 to 4096): listen on\n"
               "                          N ports (from --port on, or any free ones),\n"
               "                          print each on a line of its own, and serve\n"
               "                          every connection in a process of its own;\n"
               "                          --count and --lifetime count for them all\n"
               "  --log FILE              append one JSON line per connection\n"
               "  --host-key FILE         host key to use, made when missing;\n"
               "                          without it a fresh key each run\n"
               "  --key-type ed25519|ecdsa  type of a key that is made (ed25519)\n"
               "  --print-public-key      print the host key's known_hosts text, end\n"
               "  --question TEXT         the question (\"Reboot now? [y/N]: \")\n"
               "  --question-newline      end the question with a line feed\n"
               "  --reply TEXT            sent after the answer (\"rebooting\\n\")\n"
               "  --mode MODE             normal, refuse-password, close-before-asking,\n"
               "                          never-ask, long-line, drip, hang-after-answer,\n"
               "                          fail-after-answer (failure line, exit status 1),\n"
               "                          signal-after-answer (exit signal KILL),\n"
               "                          stall (every step waits --stall-ms),\n"
               "                          eof-before-asking (end of output, close later),\n"
               "                          empty-rounds (keyboard-interactive rounds that\n"
               "                          ask nothing, without end),\n"
               "                          three-prompts (keyboard-interactive asking a\n"
               "                          user name, the password and a code at once)\n"
               "  --keyboard-interactive  offer only keyboard-interactive authentication\n"
               "  --authorized-key FILE   also offer publickey and accept the public key\n"
               "                          in FILE (OpenSSH .pub form); may be repeated\n"
               "  --count N               serve N connections, then end (0: until killed)\n"
               "  --connection-seconds N  bound on one connection (60)\n"
               "  --lifetime N            end after N seconds (0: no bound)\n"
               "  --drip-ms N             pause between dripped bytes (150)\n"
               "  --nagle                 leave Nagle's algorithm on, as many servers do\n"
               "                          for a session without a terminal\n"
               "  --stall-ms N            wait before each step in stall mode (19000)\n"
               "  --eof-close-ms N        end of output to close in eof-before-asking (500)\n"
               "  --reboot-down-ms N      after a connection that took the answer, stop\n"
               "                          listening for N ms, then listen again on the\n"
               "                          same port; logs {\"event\":\"down\"} and\n"
               "                          {\"event\":\"back\"} with wall-clock ms\n"
               "  --reboot-delay-ms N     keep serving N ms after the answer before that (0)\n"
               "  --reboot-new-key        come back with a new host key\n"
               "  --stay-down             after the answer, stop listening and end\n"
               "                          (the reboot options serve one connection at a\n"
               "                          time, and so are refused with --ports)\n");
}

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool ParseSettings(int argc, char** argv, Settings* settings) {
  enum {
    kUser = 1000, kPassword, kPort, kLog, kHostKey, kKeyType, kPrintPublicKey,
    kQuestion, kQuestionNewline, kReply, kMode, kKeyboardInteractive, kAuthorizedKey, kCount,
    kConnectionSeconds, kLifetime, kDripMs, kNagle, kStallMs, kEofCloseMs, kRebootDownMs,
    kRebootDelayMs, kRebootNewKey, kStayDown, kPorts, kHelp,
  };
  static const option kOptions[] = {
      {"user", required_argument, nullptr, kUser},
      {"password", required_argument, nullptr, kPassword},
      {"port", required_argument, nullptr, kPort},
      {"ports", required_argument, nullptr, kPorts},
      {"log", required_argument, nullptr, kLog},
      {"host-key", required_argument, nullptr, kHostKey},
      {"key-type", required_argument, nullptr, kKeyType},
      {"print-public-key", no_argument, nullptr, kPrintPublicKey},
      {"question", required_argument, nullptr, kQuestion},
      {"question-newline", no_argument, nullptr, kQuestionNewline},
      {"reply", required_argument, nullptr, kReply},
      {"mode", required_argument, nullptr, kMode},
      {"keyboard-interactive", no_argument, nullptr, kKeyboardInteractive},
      {"authorized-key", required_argument, nullptr, kAuthorizedKey},
      {"count", required_argument, nullptr, kCount},
      {"connection-seconds", required_argument, nullptr, kConnectionSeconds},
      {"lifetime", required_argument, nullptr, kLifetime},
      {"drip-ms", required_argument, nullptr, kDripMs},
      {"nagle", no_argument, nullptr, kNagle},
      {"stall-ms", required_argument, nullptr, kStallMs},
      {"eof-close-ms", required_argument, nullptr, kEofCloseMs},
      {"reboot-down-ms", required_argument, nullptr, kRebootDownMs},
      {"reboot-delay-ms", required_argument, nullptr, kRebootDelayMs},
      {"reboot-new-key", no_argument, nullptr, kRebootNewKey},
      {"stay-down", no_argument, nullptr, kStayDown},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  while ((option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    bool ok = true;
    switch (option) {
      case kUser: settings->user = optarg; break;
      case kPassword: settings->password = optarg; break;
      case kPort: ok = ParseInt(optarg, 0, 65535, &settings->port); break;
      case kPorts: ok = ParseInt(optarg, 1, kMaxPorts, &settings->ports); break;
      case kLog: settings->logPath = optarg; break;
      case kHostKey: settings->hostKeyPath = optarg; break;
      case kKeyType:
        settings->keyType = optarg;
        ok = settings->keyType == "ed25519" || settings->keyType == "ecdsa";
        break;
      case kPrintPublicKey: settings->printPublicKey = true; break;
      case kQuestion: settings->question = optarg; break;
      case kQuestionNewline: settings->questionNewline = true; break;
      case kReply: settings->reply = optarg; break;
      case kMode: {
        ok = false;
        for (const NamedMode& entry : kModes) {
          if (std::strcmp(entry.name, optarg) == 0) {
            settings->mode = entry.mode;
            ok = true;
          }
        }
        break;
      }
      case kKeyboardInteractive: settings->keyboardInteractive = true; break;
      case kAuthorizedKey: settings->authorizedKeyPaths.push_back(optarg); break;
      case kCount: ok = ParseInt(optarg, 0, 1000000, &settings->count); break;
      case kConnectionSeconds:
        ok = ParseInt(optarg, 1, 86400, &settings->connectionSeconds);
        break;
      case kLifetime: ok = ParseInt(optarg, 0, 86400, &settings->lifetimeSeconds); break;
      case kDripMs: ok = ParseInt(optarg, 0, 10000, &settings->dripMs); break;
      case kNagle: settings->nagle = true; break;
      case kStallMs: ok = ParseInt(optarg, 0, 600000, &settings->stallMs); break;
      case kEofCloseMs: ok = ParseInt(optarg, 0, 60000, &settings->eofCloseMs); break;
      case kRebootDownMs: ok = ParseInt(optarg, 0, 3600000, &settings->rebootDownMs); break;
      case kRebootDelayMs: ok = ParseInt(optarg, 0, 3600000, &settings->rebootDelayMs); break;
      case kRebootNewKey: settings->rebootNewKey = true; break;
      case kStayDown: settings->stayDown = true; break;
      default: ok = false; break;
    }
    if (!ok) return false;
  }
  if (settings->mode == Mode::kThreePrompts || settings->mode == Mode::kEmptyRounds) {
    settings->keyboardInteractive = true;
  }
  if (optind != argc) return false;
  if (settings->ports > 0) {
    // A reboot stops the one listener between connections served in turn;
    // printing the key listens nowhere.
    if (settings->rebootDownMs >= 0 || settings->rebootDelayMs > 0 || settings->rebootNewKey ||
        settings->stayDown || settings->printPublicKey) {
      std::fprintf(stderr,
                   "swKicker-router-sim: --ports does not go with --reboot-down-ms, "
                   "--reboot-delay-ms, --reboot-new-key, --stay-down or --print-public-key\n");
      return false;
    }
    if (settings->port != 0 && settings->port + settings->ports - 1 > 65535) {
      std::fprintf(stderr, "swKicker-router-sim: --port %d with --ports %d passes port 65535\n",
                   settings->port, settings->ports);
      return false;
    }
  }
  if (settings->stayDown && settings->rebootDownMs < 0) settings->rebootDownMs = 0;
  return true;
}

// The host key: the one in the file, or a new one (saved when a file is
// named, so known_hosts entries stay valid across runs).
ssh_key LoadHostKey(const Settings& settings) {
  ssh_key key = nullptr;
  if (!settings.hostKeyPath.empty() &&
      ssh_pki_import_privkey_file(settings.hostKeyPath.c_str(), nullptr, nullptr, nullptr,
                                  &key) == SSH_OK) {
    return key;
  }
  const ssh_keytypes_e type =
      settings.keyType == "ecdsa" ? SSH_KEYTYPE_ECDSA_P256 : SSH_KEYTYPE_ED25519;
  if (ssh_pki_generate(type, 0, &key) != SSH_OK) return nullptr;
  if (!settings.hostKeyPath.empty()) {
    const mode_t old = umask(077);
    const int rc = ssh_pki_export_privkey_file(key, nullptr, nullptr, nullptr,
                                               settings.hostKeyPath.c_str());
    umask(old);
    if (rc != SSH_OK) {
      ssh_key_free(key);
      return nullptr;
    }
  }
  return key;
}

bool PrintPublicKey(ssh_key key) {
  char* base64 = nullptr;
  if (ssh_pki_export_pubkey_base64(key, &base64) != SSH_OK) return false;
  std::printf("%s %s\n", ssh_key_type_to_char(ssh_key_type(key)), base64);
  ssh_string_free_char(base64);
  return std::fflush(stdout) == 0;
}

struct ChannelFlags {
  Record* record;
};

void OnClientEof(ssh_session, ssh_channel, void* userdata) {
  static_cast<ChannelFlags*>(userdata)->record->clientEof = true;
}

void OnClientClose(ssh_session, ssh_channel, void* userdata) {
  static_cast<ChannelFlags*>(userdata)->record->clientClose = true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
const char* MessagePassword(ssh_message message) { return ssh_message_auth_password(message); }
ssh_key MessagePublicKey(ssh_message message) { return ssh_message_auth_pubkey(message); }
ssh_publickey_state_e MessagePublicKeyState(ssh_message message) {
  return ssh_message_auth_publickey_state(message);
}
#pragma GCC diagnostic pop

// The public keys that may log in, read once at start.
std::vector<ssh_key> g_authorizedKeys;

bool LoadAuthorizedKeys(const Settings& settings) {
  for (const std::string& path : settings.authorizedKeyPaths) {
    ssh_key key = nullptr;
    if (ssh_pki_import_pubkey_file(path.c_str(), &key) != SSH_OK) return false;
    g_authorizedKeys.push_back(key);
  }
  return true;
}

bool KeyAuthorized(const Settings& settings, const std::string& user, ssh_key key) {
  if (key == nullptr || user != settings.user) return false;
  for (ssh_key allowed : g_authorizedKeys) {
    if (ssh_key_cmp(allowed, key, SSH_KEY_CMP_PUBLIC) == 0) return true;
  }
  return false;
}

int AuthMethods(const Settings& settings) {
  int methods =
      settings.keyboardInteractive ? SSH_AUTH_METHOD_INTERACTIVE : SSH_AUTH_METHOD_PASSWORD;
  if (!g_authorizedKeys.empty()) methods |= SSH_AUTH_METHOD_PUBLICKEY;
  return methods;
}

void Stall(const Settings& settings) {
  if (settings.mode == Mode::kStall) usleep(static_cast<useconds_t>(settings.stallMs) * 1000);
}

bool PasswordAccepted(const Settings& settings, const std::string& user,
                      const std::string& password) {
  return settings.mode != Mode::kRefusePassword && user == settings.user &&
         password == settings.password;
}

// Authentication, channel and exec requests, up to the command. Returns the
// channel of the exec'd command, or nullptr when the client went away.
ssh_channel AwaitCommand(const Settings& settings, ssh_session session, Record* record,
                         int64_t deadline) {
  const int methods = AuthMethods(settings);
  bool authenticated = false;
  ssh_channel channel = nullptr;
  while (MonotonicMs() < deadline) {
    ssh_message message = ssh_message_get(session);
    if (message == nullptr) break;
    Stall(settings);
    bool handled = false;
    const int type = ssh_message_type(message);
    const int subtype = ssh_message_subtype(message);
    if (type == SSH_REQUEST_AUTH && subtype == SSH_AUTH_METHOD_PASSWORD &&
        !settings.keyboardInteractive) {
      record->user = ssh_message_auth_user(message);
      const char* password = MessagePassword(message);
      record->hasPassword = true;
      record->password = password != nullptr ? password : "";
      ++record->passwordAttempts;
      if (PasswordAccepted(settings, record->user, record->password)) {
        ssh_message_auth_reply_success(message, 0);
        authenticated = true;
        record->method = "password";
        record->authenticatedMs = WallMs();
        handled = true;
      }
    } else if (type == SSH_REQUEST_AUTH && subtype == SSH_AUTH_METHOD_PUBLICKEY &&
               !g_authorizedKeys.empty()) {
      // A key is first offered without a signature (state none) and, when
      // the server would take it, used again with one (state valid); libssh
      // has checked the signature by then.
      record->user = ssh_message_auth_user(message);
      ++record->publicKeyOffers;
      if (KeyAuthorized(settings, record->user, MessagePublicKey(message))) {
        const ssh_publickey_state_e state = MessagePublicKeyState(message);
        if (state == SSH_PUBLICKEY_STATE_NONE) {
          ssh_message_auth_reply_pk_ok_simple(message);
          handled = true;
        } else if (state == SSH_PUBLICKEY_STATE_VALID) {
          ssh_message_auth_reply_success(message, 0);
          authenticated = true;
          record->method = "publickey";
          record->authenticatedMs = WallMs();
          handled = true;
        }
      }
    } else if (type == SSH_REQUEST_AUTH && subtype == SSH_AUTH_METHOD_INTERACTIVE &&
               settings.keyboardInteractive) {
      if (settings.mode == Mode::kEmptyRounds) {
        // Each round, the first included, asks nothing and leads to another.
        if (!ssh_message_auth_kbdint_is_response(message)) {
          record->user = ssh_message_auth_user(message);
        }
        ssh_message_auth_interactive_request(message, "", "", 0, nullptr, nullptr);
        handled = true;
      } else if (!ssh_message_auth_kbdint_is_response(message)) {
        record->user = ssh_message_auth_user(message);
        if (settings.mode == Mode::kThreePrompts) {
          const char* prompts[] = {"Username: ", "Password: ", "OTP code: "};
          char echo[] = {1, 0, 0};
          ssh_message_auth_interactive_request(message, "", "", 3, prompts, echo);
        } else {
          const char* prompts[] = {"Password: "};
          char echo[] = {0};
          ssh_message_auth_interactive_request(message, "", "", 1, prompts, echo);
        }
        handled = true;
      } else {
        ++record->passwordAttempts;
        if (settings.mode == Mode::kThreePrompts) {
          // Whatever came in the password's field is logged as the password.
          const char* answer = ssh_userauth_kbdint_getnanswers(session) == 3
                                   ? ssh_userauth_kbdint_getanswer(session, 1)
                                   : nullptr;
          record->hasPassword = answer != nullptr;
          record->password = answer != nullptr ? answer : "";
        } else if (ssh_userauth_kbdint_getnanswers(session) == 1) {
          const char* answer = ssh_userauth_kbdint_getanswer(session, 0);
          record->hasPassword = true;
          record->password = answer != nullptr ? answer : "";
          if (PasswordAccepted(settings, record->user, record->password)) {
            ssh_message_auth_reply_success(message, 0);
            authenticated = true;
            record->method = "keyboard-interactive";
            record->authenticatedMs = WallMs();
            handled = true;
          }
        }
      }
    } else if (type == SSH_REQUEST_CHANNEL_OPEN && subtype == SSH_CHANNEL_SESSION &&
               authenticated && channel == nullptr) {
      channel = ssh_message_channel_request_open_reply_accept(message);
      handled = channel != nullptr;
    } else if (type == SSH_REQUEST_CHANNEL && subtype == SSH_CHANNEL_REQUEST_EXEC &&
               channel != nullptr) {
      const char* command = ssh_message_channel_request_command(message);
      record->hasCommand = true;
      record->command = command != nullptr ? command : "";
      record->commandMs = WallMs();
      ssh_message_channel_request_reply_success(message);
      ssh_message_free(message);
      return channel;
    } else if (type == SSH_REQUEST_AUTH) {
      record->user = ssh_message_auth_user(message);
    }
    if (!handled) {
      if (type == SSH_REQUEST_AUTH) ssh_message_auth_set_methods(message, methods);
      ssh_message_reply_default(message);
    }
    ssh_message_free(message);
  }
  return nullptr;
}

bool Send(ssh_channel channel, const std::string& bytes) {
  return ssh_channel_write(channel, bytes.data(), static_cast<uint32_t>(bytes.size())) ==
         static_cast<int>(bytes.size());
}

bool Ask(const Settings& settings, ssh_channel channel, Record* record) {
  std::string question = settings.question;
  if (settings.questionNewline) question += '\n';
  if (settings.mode == Mode::kLongLine) {
    if (!Send(channel, std::string(kLongLineBytes, 'x') + "\n")) return false;
  }
  if (settings.mode == Mode::kDrip) {
    for (char c : question) {
      if (!Send(channel, std::string(1, c))) return false;
      usleep(static_cast<useconds_t>(settings.dripMs) * 1000);
    }
  } else if (!Send(channel, question)) {
    return false;
  }
  record->questionSent = true;
  record->questionSentMs = WallMs();
  return true;
}

// One line of input, without its line feed or a carriage return before it.
void ReadAnswer(ssh_channel channel, Record* record, int64_t deadline) {
  std::string answer;
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) return;
    char c;
    const int n = ssh_channel_read_timeout(channel, &c, 1, 0,
                                           static_cast<int>(left < 200 ? left : 200));
    if (n < 0) return;
    if (n == 0) {
      if (ssh_channel_is_eof(channel) || ssh_channel_is_closed(channel)) break;
      continue;
    }
    if (c == '\n') {
      if (!answer.empty() && answer.back() == '\r') answer.pop_back();
      record->hasAnswer = true;
      record->answer = answer;
      record->answerMs = WallMs();
      return;
    }
    if (answer.size() < kMaxAnswerBytes) answer += c;
  }
  // Input ended without a line feed: what came is still the answer.
  if (!answer.empty()) {
    record->hasAnswer = true;
    record->answer = answer;
    record->answerMs = WallMs();
  }
}

// The command ends: reply, exit status 0 (or the failure of the mode), EOF
// and close.
void Finish(const Settings& settings, ssh_channel channel, bool reply) {
  if (reply && settings.mode == Mode::kFailAfterAnswer) {
    Send(channel, "failure: not enough permissions\n");
    ssh_channel_request_send_exit_status(channel, 1);
  } else if (reply && settings.mode == Mode::kSignalAfterAnswer) {
    ssh_channel_request_send_exit_signal(channel, "KILL", 0, "", "");
  } else {
    if (reply) Send(channel, settings.reply);
    ssh_channel_request_send_exit_status(channel, 0);
  }
  ssh_channel_send_eof(channel);
  ssh_channel_close(channel);
}

// The connection being served, for the log callback.
Record* g_current = nullptr;

// libssh reports a disconnect message from the client only through its
// error text, which the socket's close replaces at once, and through its
// log: the log is where it is caught.
void WatchLog(int, const char*, const char* text, void*) {
  if (g_current != nullptr && std::strstr(text, "Received SSH_MSG_DISCONNECT") != nullptr) {
    g_current->clientDisconnect = true;
  }
}

// Handles packets until the client has gone or the bound is reached, so the
// log can tell how the client closed.
void AwaitClientEnd(ssh_session session, ssh_channel channel, int64_t deadline) {
  ssh_event event = ssh_event_new();
  if (event == nullptr) return;
  if (ssh_event_add_session(event, session) == SSH_OK) {
    char discard[4096];
    while (ssh_is_connected(session) && MonotonicMs() < deadline) {
      const int rc = ssh_event_dopoll(event, 100);
      if (rc == SSH_ERROR) break;
      // Keep the window open whatever the client still sends.
      for (int stream = 0; stream < 2; ++stream) {
        while (channel != nullptr && ssh_channel_is_open(channel) &&
               ssh_channel_read_nonblocking(channel, discard, sizeof discard, stream) > 0) {
        }
      }
    }
    ssh_event_remove_session(event, session);
  }
  ssh_event_free(event);
}

// Serves one connection on port: the one accepted on fd, or the next one
// bind accepts when fd is -1. True when it took an answer.
bool Serve(const Settings& settings, ssh_bind bind, int fd, int connection, unsigned int port) {
  ssh_session session = ssh_new();
  if (session == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  const int accepted = fd >= 0 ? ssh_bind_accept_fd(bind, session, fd) : ssh_bind_accept(bind, session);
  if (accepted != SSH_OK) {
    ssh_free(session);
    return false;
  }
  // Like OpenSSH's sshd with a terminal: small packets go out at once instead
  // of waiting for the client's delayed ACK of the one before, which would
  // hold the question back by about 40 ms. --nagle keeps that wait, as sshd
  // without a terminal does.
  if (!settings.nagle) {
    const int noDelay = 1;
    setsockopt(ssh_get_fd(session), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  }
  Record record;
  g_current = &record;
  record.connectedMs = WallMs();
  const int64_t deadline = MonotonicMs() + settings.connectionSeconds * 1000LL;
  const long timeoutSeconds = settings.connectionSeconds;
  ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
  ssh_set_auth_methods(session, AuthMethods(settings));
  ssh_channel channel = nullptr;
  ChannelFlags flags = {&record};
  ssh_channel_callbacks_struct callbacks = {};
  Stall(settings);
  if (ssh_handle_key_exchange(session) == SSH_OK) {
    channel = AwaitCommand(settings, session, &record, deadline);
  }
  if (channel != nullptr) {
    ssh_callbacks_init(&callbacks);
    callbacks.userdata = &flags;
    callbacks.channel_eof_function = OnClientEof;
    callbacks.channel_close_function = OnClientClose;
    ssh_set_channel_callbacks(channel, &callbacks);
    if (settings.mode == Mode::kCloseBeforeAsking) {
      Finish(settings, channel, false);
    } else if (settings.mode == Mode::kEofBeforeAsking) {
      // A command that stops talking without asking anything: the close
      // follows a moment later, with no exit status.
      ssh_channel_send_eof(channel);
      ReadAnswer(channel, &record, MonotonicMs() + settings.eofCloseMs);
      ssh_channel_close(channel);
    } else {
      Stall(settings);
      const bool asked = settings.mode == Mode::kNeverAsk || Ask(settings, channel, &record);
      if (asked) ReadAnswer(channel, &record, deadline);
      if (settings.mode != Mode::kHangAfterAnswer) Finish(settings, channel, record.hasAnswer);
    }
  }
  if (channel != nullptr || ssh_is_connected(session)) {
    AwaitClientEnd(session, channel, deadline);
  }
  record.closedMs = WallMs();
  g_current = nullptr;
  AppendLog(settings, connection, port, record);
  if (channel != nullptr) ssh_channel_free(channel);
  ssh_disconnect(session);
  ssh_free(session);
  return record.hasAnswer;
}

// The private key as text, so that each listening socket can take a key of
// its own (a bind owns and frees the key it is given).
std::string KeyText(ssh_key key) {
  char* base64 = nullptr;
  if (ssh_pki_export_privkey_base64(key, nullptr, nullptr, nullptr, &base64) != SSH_OK) {
    return std::string();
  }
  std::string text = base64;
  ssh_string_free_char(base64);
  return text;
}

// Listens on 127.0.0.1:port (0: any free port) with the host key; nullptr
// with the reason on stderr when it cannot.
ssh_bind Listen(const std::string& keyText, unsigned int port) {
  ssh_key key = nullptr;
  if (ssh_pki_import_privkey_base64(keyText.c_str(), nullptr, nullptr, nullptr, &key) !=
      SSH_OK) {
    std::fprintf(stderr, "swKicker-router-sim: cannot read the host key back\n");
    return nullptr;
  }
  ssh_bind bind = ssh_bind_new();
  // Warnings carry the disconnect message; they go to WatchLog, not stderr.
  const int logLevel = SSH_LOG_WARNING;
  const bool processConfig = false;
  if (bind == nullptr ||
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_LOG_VERBOSITY, &logLevel) != SSH_OK ||
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_PROCESS_CONFIG, &processConfig) != SSH_OK ||
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_BINDADDR, "127.0.0.1") != SSH_OK ||
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_BINDPORT, &port) != SSH_OK ||
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_IMPORT_KEY, key) != SSH_OK ||
      ssh_bind_listen(bind) != SSH_OK) {
    std::fprintf(stderr, "swKicker-router-sim: cannot listen: %s\n",
                 bind != nullptr ? ssh_get_error(bind) : "out of memory");
    if (bind != nullptr) ssh_bind_free(bind);
    ssh_key_free(key);
    return nullptr;
  }
  return bind;
}

void LogEvent(const Settings& settings, const char* event) {
  if (settings.logPath.empty()) return;
  FILE* log = std::fopen(settings.logPath.c_str(), "a");
  if (log == nullptr) return;
  std::fprintf(log, "{\"event\":\"%s\",\"ms\":%lld}\n", event,
               static_cast<long long>(WallMs()));
  std::fclose(log);
}

// Whether a connection is waiting to be accepted within ms.
bool ConnectionWaiting(ssh_bind bind, int64_t ms) {
  pollfd listener = {ssh_bind_get_fd(bind), POLLIN, 0};
  return poll(&listener, 1, static_cast<int>(ms < 0 ? 0 : ms)) > 0;
}

// The reboot: stops listening (connections are refused from here on), stays
// down, and listens again on the same port. False when it stays down.
bool Reboot(const Settings& settings, unsigned int port, std::string* keyText, ssh_bind* bind) {
  ssh_bind_free(*bind);
  *bind = nullptr;
  LogEvent(settings, "down");
  if (settings.stayDown) return false;
  usleep(static_cast<useconds_t>(settings.rebootDownMs) * 1000);
  if (settings.rebootNewKey) {
    ssh_key fresh = nullptr;
    const ssh_keytypes_e type =
        settings.keyType == "ecdsa" ? SSH_KEYTYPE_ECDSA_P256 : SSH_KEYTYPE_ED25519;
    if (ssh_pki_generate(type, 0, &fresh) != SSH_OK) return false;
    *keyText = KeyText(fresh);
    ssh_key_free(fresh);
  }
  *bind = Listen(*keyText, port);
  if (*bind == nullptr) return false;
  LogEvent(settings, "back");
  return true;
}


// --ports: N listeners on 127.0.0.1 (from --port on, or any free ports),
// their ports printed in order. Each connection is accepted here and served
// in a child of its own, so every router can be in a conversation at once;
// the parent only accepts and reaps. Returns the exit status.
int ServeMany(const Settings& settings, const std::string& keyText) {
  // A listener and a connection each hold a descriptor: a thousand routers
  // need more than the usual soft limit of 1024.
  rlimit files = {};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::vector<ssh_bind> binds;
  std::vector<unsigned int> ports;
  std::vector<pollfd> listeners;
  const auto freeBinds = [&binds] {
    for (ssh_bind bind : binds) ssh_bind_free(bind);
    binds.clear();
  };
  for (int i = 0; i < settings.ports; ++i) {
    const unsigned int wanted = settings.port == 0 ? 0 : static_cast<unsigned>(settings.port + i);
    ssh_bind bind = Listen(keyText, wanted);
    sockaddr_in address = {};
    socklen_t length = sizeof address;
    if (bind == nullptr ||
        getsockname(ssh_bind_get_fd(bind), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (bind != nullptr) ssh_bind_free(bind);
      freeBinds();
      std::fprintf(stderr, "swKicker-router-sim: cannot listen on port %d of %d\n", i + 1,
                   settings.ports);
      return 1;
    }
    // Accepting must never block: a client may be gone by the time poll
    // has said it is there.
    const int fd = ssh_bind_get_fd(bind);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    binds.push_back(bind);
    ports.push_back(ntohs(address.sin_port));
    listeners.push_back({fd, POLLIN, 0});
  }
  std::string printed;
  for (unsigned int port : ports) printed += std::to_string(port) + "\n";
  std::fwrite(printed.data(), 1, printed.size(), stdout);
  std::fflush(stdout);

  const pid_t parent = getpid();
  int accepted = 0;
  int children = 0;
  while (settings.count == 0 || accepted < settings.count) {
    // Children that ended are reaped at least every 200 ms.
    while (children > 0 && waitpid(-1, nullptr, WNOHANG) > 0) --children;
    if (poll(listeners.data(), listeners.size(), 200) <= 0) continue;
    for (size_t i = 0; i < listeners.size(); ++i) {
      if ((listeners[i].revents & POLLIN) == 0) continue;
      if (settings.count != 0 && accepted >= settings.count) break;
      const int fd = accept4(listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted;
      const pid_t child = fork();
      if (child == 0) {
        // The child serves this one connection and ends with its parent, so
        // that --lifetime and a stopped simulator end every conversation.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(0);
        // No listener stays open in it: a port of a stopped simulator
        // refuses connections.
        for (size_t j = 0; j < binds.size(); ++j) {
          if (j != i) ssh_bind_free(binds[j]);
        }
        close(listeners[i].fd);
        Serve(settings, binds[i], fd, accepted, ports[i]);
        _exit(0);
      }
      close(fd);
      if (child > 0) ++children;
    }
  }
  freeBinds();
  // --count reached: the conversations under way finish, each within its
  // own --connection-seconds bound.
  while (children > 0 && waitpid(-1, nullptr, 0) > 0) --children;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseSettings(argc, argv, &settings)) {
    Usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  ssh_set_log_callback(WatchLog);
  if (settings.lifetimeSeconds > 0) alarm(static_cast<unsigned>(settings.lifetimeSeconds));
  ssh_init();
  if (!LoadAuthorizedKeys(settings)) {
    std::fprintf(stderr, "swKicker-router-sim: cannot read an authorized key\n");
    return 1;
  }
  ssh_key key = LoadHostKey(settings);
  if (key == nullptr) {
    std::fprintf(stderr, "swKicker-router-sim: cannot load or make the host key\n");
    return 1;
  }
  if (settings.printPublicKey) {
    const bool ok = PrintPublicKey(key);
    ssh_key_free(key);
    return ok ? 0 : 1;
  }

  std::string keyText = KeyText(key);
  ssh_key_free(key);
  if (settings.ports > 0) {
    const int status = ServeMany(settings, keyText);
    for (ssh_key allowed : g_authorizedKeys) ssh_key_free(allowed);
    ssh_finalize();
    return status;
  }
  ssh_bind bind = Listen(keyText, static_cast<unsigned int>(settings.port));
  if (bind == nullptr) return 1;
  sockaddr_in address = {};
  socklen_t length = sizeof address;
  if (getsockname(ssh_bind_get_fd(bind), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "swKicker-router-sim: cannot read the port\n");
    return 1;
  }
  std::printf("%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
  std::fflush(stdout);

  const unsigned int port = ntohs(address.sin_port);
  // When the answer came in a reboot run: the moment to stop listening.
  int64_t downAtMs = -1;
  for (int connection = 1; settings.count == 0 || connection <= settings.count; ++connection) {
    if (downAtMs >= 0 && !ConnectionWaiting(bind, downAtMs - MonotonicMs())) {
      downAtMs = -1;
      if (!Reboot(settings, port, &keyText, &bind)) break;
      --connection;
      continue;
    }
    if (Serve(settings, bind, -1, connection, port) && settings.rebootDownMs >= 0 &&
        downAtMs < 0) {
      downAtMs = MonotonicMs() + settings.rebootDelayMs;
    }
  }
  if (bind != nullptr) ssh_bind_free(bind);
  for (ssh_key allowed : g_authorizedKeys) ssh_key_free(allowed);
  ssh_finalize();
  return 0;
}
