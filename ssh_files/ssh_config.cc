#include "ssh_files/ssh_config.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "base/numbers.h"
#include "ssh_files/ssh_files.h"

const char* const kDefaultHostKeyAlgorithms =
    "ssh-ed25519,ecdsa-sha2-nistp521,ecdsa-sha2-nistp384,ecdsa-sha2-nistp256,"
    "sk-ssh-ed25519@openssh.com,sk-ecdsa-sha2-nistp256@openssh.com,rsa-sha2-512,rsa-sha2-256";
const char* const kDefaultKexAlgorithms =
    "curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group18-sha512,diffie-hellman-group16-sha512,"
    "diffie-hellman-group-exchange-sha256,diffie-hellman-group14-sha256";
const char* const kDefaultCiphers =
    "chacha20-poly1305@openssh.com,aes256-gcm@openssh.com,aes128-gcm@openssh.com,"
    "aes256-ctr,aes192-ctr,aes128-ctr";
const char* const kDefaultMacs =
    "hmac-sha2-256-etm@openssh.com,hmac-sha2-512-etm@openssh.com,hmac-sha2-256,hmac-sha2-512";
const char* const kDefaultPubkeyAcceptedAlgorithms =
    "ssh-ed25519-cert-v01@openssh.com,ecdsa-sha2-nistp521-cert-v01@openssh.com,"
    "ecdsa-sha2-nistp384-cert-v01@openssh.com,ecdsa-sha2-nistp256-cert-v01@openssh.com,"
    "sk-ecdsa-sha2-nistp256-cert-v01@openssh.com,rsa-sha2-512-cert-v01@openssh.com,"
    "rsa-sha2-256-cert-v01@openssh.com,ssh-ed25519,ecdsa-sha2-nistp521,ecdsa-sha2-nistp384,"
    "ecdsa-sha2-nistp256,sk-ssh-ed25519@openssh.com,sk-ecdsa-sha2-nistp256@openssh.com,"
    "rsa-sha2-512,rsa-sha2-256";

namespace {

// Every keyword OpenSSH's client (9.2, as Debian 12 ships it) accepts, and
// what this program does with it. Anything else is a bad line, as for ssh.
// Checked against `ssh -G` on the same files; the README's table is made
// from this one.
constexpr OptionUse kH = OptionUse::kHonoured;
constexpr OptionUse kN = OptionUse::kNoEffect;
constexpr OptionUse kR = OptionUse::kRefused;
using Take = OptionTake;
const SshOption kOptions[] = {
    // Which router, and as whom.
    {"Host", kH, nullptr, nullptr,
     "starts a block for the routers named in `/ip:` (patterns with `*`, `?`, `!`)"},
    {"Match", kH, nullptr, nullptr,
     "starts a block: `host`, `originalhost`, `user`, `localuser`, `all`, `final`; `exec` and "
     "`canonical` never hold"},
    {"Include", kH, nullptr, nullptr,
     "reads more files in place (globs; relative paths from `~/.ssh` or `/etc/ssh`), at most 16 "
     "deep"},
    {"IgnoreUnknown", kH, nullptr, nullptr,
     "keywords (patterns) that may follow although neither ssh nor swKicker knows them", nullptr,
     Take::kIgnoreUnknown},
    {"HostName", kH, nullptr, nullptr,
     "where to connect, so `/ip:` may be an alias (`%h` is the name given)", nullptr,
     Take::kHostName},
    {"User", kH, nullptr, nullptr,
     "used when `/user:` is empty or left out of a fleet line; else the local user name, as ssh "
     "does; verbose mode, the log line and the report say the user used",
     nullptr, Take::kUser},
    {"Port", kH, nullptr, nullptr,
     "used when `/port:` is empty or 0, or left out of a fleet line; verbose mode, the log line "
     "and the report say the port used",
     nullptr, Take::kPort},
    {"ConnectTimeout", kH, nullptr, nullptr,
     "bounds connecting and the key exchange instead of the 20 s step, never past the 45 s "
     "session",
     nullptr, Take::kConnectTimeout},
    {"ProxyCommand", kH, nullptr, nullptr,
     "the session goes through the command (not on Windows: refused there)", nullptr,
     Take::kProxyCommand},
    {"ProxyJump", kH, nullptr, nullptr,
     "the session goes through `ssh -W` over the hops, as ssh does (not on Windows: refused "
     "there)",
     nullptr, Take::kProxyJump},
    {"AddressFamily", kR, nullptr, "any",
     "would limit the addresses tried; `any` (the default) is fine", "any|inet|inet6"},
    {"BindAddress", kR, nullptr, nullptr, "would choose the local address the router sees"},
    {"BindInterface", kR, nullptr, nullptr,
     "would choose the local interface the router is reached by"},
    {"CanonicalizeHostname", kR, nullptr, "no|false",
     "would rewrite the router's name before the blocks are chosen; `no` (the default) is fine",
     "yes|no|true|false|always"},
    {"CanonicalDomains", kN, nullptr, nullptr,
     "acts only under `CanonicalizeHostname`, which is refused"},
    {"CanonicalizeFallbackLocal", kN, nullptr, nullptr,
     "acts only under `CanonicalizeHostname`, which is refused", "flag"},
    {"CanonicalizeMaxDots", kN, nullptr, nullptr,
     "acts only under `CanonicalizeHostname`, which is refused", "int"},
    {"CanonicalizePermittedCNAMEs", kN, nullptr, nullptr,
     "acts only under `CanonicalizeHostname`, which is refused"},
    {"ProxyUseFdpass", kR, nullptr, "no|false",
     "would take the connection from the proxy command as a passed socket", "flag"},
    // Which key the router must show.
    {"UserKnownHostsFile", kH, nullptr, nullptr,
     "the user's known_hosts files instead of `~/.ssh/known_hosts` and `~/.ssh/known_hosts2` "
     "(`none` alone: no file)",
     nullptr, Take::kUserKnownHostsFile},
    {"GlobalKnownHostsFile", kH, nullptr, nullptr,
     "the machine's known_hosts files instead of `/etc/ssh/ssh_known_hosts` and "
     "`/etc/ssh/ssh_known_hosts2` (`none` alone: no file)",
     nullptr, Take::kGlobalKnownHostsFile},
    {"StrictHostKeyChecking", kH, nullptr, nullptr,
     "an unknown router: `accept-new` (default) records it, `yes` and `ask` refuse it, `no` "
     "accepts it",
     nullptr, Take::kStrictHostKeyChecking},
    {"HashKnownHosts", kH, nullptr, nullptr, "a recorded router's name is hashed", nullptr,
     Take::kHashKnownHosts},
    {"HostKeyAlias", kH, nullptr, nullptr,
     "known_hosts is read and written under this name (without the port), as ssh does", nullptr,
     Take::kHostKeyAlias},
    {"RevokedHostKeys", kH, nullptr, nullptr,
     "a file of public keys the router must not show (refused with exit 5); a binary key "
     "revocation list is refused with a reason, a missing file too",
     nullptr, Take::kRevokedHostKeys},
    {"HostKeyAlgorithms", kH, nullptr, nullptr,
     "a list, or `+list` added to the defaults, `-list` removed, `^list` put first", nullptr,
     Take::kHostKeyAlgorithms},
    {"KexAlgorithms", kH, nullptr, nullptr, "as `HostKeyAlgorithms`", nullptr,
     Take::kKexAlgorithms},
    {"Ciphers", kH, nullptr, nullptr, "as `HostKeyAlgorithms`", nullptr, Take::kCiphers},
    {"MACs", kH, nullptr, nullptr, "as `HostKeyAlgorithms`", nullptr, Take::kMacs},
    {"RequiredRSASize", kH, nullptr, nullptr,
     "the smallest RSA key taken, from the router and of the user's keys", nullptr,
     Take::kRequiredRsaSize},
    {"CheckHostIP", kR, nullptr, "no|false",
     "would check the router's address in known_hosts as well; `no` (the default) is fine", "flag"},
    {"VerifyHostKeyDNS", kR, nullptr, "no|false",
     "would trust host keys published in DNS; `no` (the default) is fine", "yes|no|true|false|ask"},
    {"KnownHostsCommand", kR, nullptr, "none", "would take known hosts from a command's output"},
    {"NoHostAuthenticationForLocalhost", kR, nullptr, "no|false",
     "would accept any host key on this machine; `no` (the default) is fine", "flag"},
    {"GSSAPIKeyExchange", kR, nullptr, "no|false",
     "would authenticate the router by Kerberos instead of its host key; `no` (the default) is "
     "fine",
     "flag"},
    {"UpdateHostKeys", kN, nullptr, nullptr,
     "swKicker records only the key the router proved in the key exchange and learns no others",
     "yes|no|true|false|ask"},
    {"FingerprintHash", kN, nullptr, nullptr, "only how fingerprints are shown", "md5|sha256"},
    {"VisualHostKey", kN, nullptr, nullptr, "only how fingerprints are shown", "flag"},
    {"CASignatureAlgorithms", kN, nullptr, nullptr,
     "certificates are not verified: a router known only by `@cert-authority` is refused"},
    // How swKicker proves who it is, and where the password may go.
    {"PasswordAuthentication", kH, nullptr, nullptr,
     "`no`: the password is never sent by the password method", nullptr,
     Take::kPasswordAuthentication},
    {"KbdInteractiveAuthentication", kH, nullptr, nullptr,
     "`no`: the password is never sent by keyboard-interactive", nullptr,
     Take::kKbdInteractiveAuthentication},
    {"ChallengeResponseAuthentication", kH, "KbdInteractiveAuthentication", nullptr,
     "old spelling of `KbdInteractiveAuthentication`"},
    {"SKeyAuthentication", kH, "KbdInteractiveAuthentication", nullptr,
     "old spelling of `KbdInteractiveAuthentication`"},
    {"TISAuthentication", kH, "KbdInteractiveAuthentication", nullptr,
     "old spelling of `KbdInteractiveAuthentication`"},
    {"PreferredAuthentications", kH, nullptr, nullptr,
     "a method not listed is not used; `password` and `keyboard-interactive` are tried in the "
     "listed order",
     nullptr, Take::kPreferredAuthentications},
    {"NumberOfPasswordPrompts", kH, nullptr, nullptr,
     "0: the password is never sent (swKicker sends it at most once)", nullptr,
     Take::kNumberOfPasswordPrompts},
    {"BatchMode", kH, nullptr, nullptr,
     "`yes`: the password is never sent (only keys are used), as with ssh", nullptr,
     Take::kBatchMode},
    {"PubkeyAuthentication", kH, nullptr, nullptr, "`no`: no key is tried", nullptr,
     Take::kPubkeyAuthentication},
    {"DSAAuthentication", kH, "PubkeyAuthentication", nullptr,
     "old spelling of `PubkeyAuthentication`"},
    {"PubkeyAcceptedAlgorithms", kH, nullptr, nullptr,
     "as `HostKeyAlgorithms`, for the user's keys", nullptr, Take::kPubkeyAcceptedAlgorithms},
    {"PubkeyAcceptedKeyTypes", kH, "PubkeyAcceptedAlgorithms", nullptr,
     "old spelling of `PubkeyAcceptedAlgorithms`"},
    {"IdentityFile", kH, nullptr, nullptr,
     "the keys tried, in order (`~`, `%d`, `%h`, `%r`, `%u` expanded)", nullptr,
     Take::kIdentityFile},
    {"IdentityFile2", kH, "IdentityFile", nullptr, "old spelling of `IdentityFile`"},
    {"IdentitiesOnly", kH, nullptr, nullptr, "only the `IdentityFile` keys, not the agent's",
     nullptr, Take::kIdentitiesOnly},
    {"IdentityAgent", kH, nullptr, nullptr,
     "`none`: no agent; `SSH_AUTH_SOCK`: the usual one; another socket is refused", nullptr,
     Take::kIdentityAgent},
    {"CertificateFile", kN, nullptr, nullptr,
     "certificates are not offered; the keys themselves are"},
    {"PKCS11Provider", kN, nullptr, nullptr,
     "token keys are not offered; a scheduled run has nobody to enter a PIN"},
    {"SmartcardDevice", kN, "PKCS11Provider", nullptr, "old spelling of `PKCS11Provider`"},
    {"SecurityKeyProvider", kN, nullptr, nullptr,
     "security keys need a touch, which a scheduled run cannot give"},
    {"AddKeysToAgent", kN, nullptr, nullptr, "nothing is added to the agent"},
    {"HostbasedAuthentication", kN, nullptr, nullptr,
     "host-based login is not built; the password and keys go as configured", "flag"},
    {"HostbasedAcceptedAlgorithms", kN, nullptr, nullptr, "host-based login is not built"},
    {"HostbasedKeyTypes", kN, "HostbasedAcceptedAlgorithms", nullptr,
     "old spelling of `HostbasedAcceptedAlgorithms`"},
    {"EnableSSHKeysign", kN, nullptr, nullptr, "host-based login is not built", "flag"},
    {"KbdInteractiveDevices", kN, nullptr, nullptr,
     "a hint to the server; swKicker answers only a round that asks for the password alone"},
    {"GSSAPIAuthentication", kN, nullptr, nullptr, "Kerberos login is not built", "flag"},
    {"GSSAPIClientIdentity", kN, nullptr, nullptr, "Kerberos login is not built"},
    {"GSSAPIDelegateCredentials", kN, nullptr, nullptr, "Kerberos login is not built", "flag"},
    {"GSSAPIKexAlgorithms", kN, nullptr, nullptr,
     "acts only under `GSSAPIKeyExchange`, which is refused"},
    {"GSSAPIRenewalForcesRekey", kN, nullptr, nullptr, "Kerberos login is not built", "flag"},
    {"GSSAPIServerIdentity", kN, nullptr, nullptr, "Kerberos login is not built"},
    {"GSSAPITrustDns", kN, nullptr, nullptr, "Kerberos login is not built", "flag"},
    // The session itself: nothing a reboot's one command uses.
    {"ForwardAgent", kN, nullptr, nullptr, "nothing is forwarded"},
    {"ForwardX11", kN, nullptr, nullptr, "nothing is forwarded", "flag"},
    {"ForwardX11Timeout", kN, nullptr, nullptr, "nothing is forwarded", "time"},
    {"ForwardX11Trusted", kN, nullptr, nullptr, "nothing is forwarded", "flag"},
    {"XAuthLocation", kN, nullptr, nullptr, "nothing is forwarded"},
    {"LocalForward", kN, nullptr, nullptr, "nothing is forwarded"},
    {"RemoteForward", kN, nullptr, nullptr, "nothing is forwarded"},
    {"DynamicForward", kN, nullptr, nullptr, "nothing is forwarded"},
    {"GatewayPorts", kN, nullptr, nullptr, "nothing is forwarded", "flag"},
    {"ClearAllForwardings", kN, nullptr, nullptr, "nothing is forwarded", "flag"},
    {"ExitOnForwardFailure", kN, nullptr, nullptr, "nothing is forwarded", "flag"},
    {"PermitRemoteOpen", kN, nullptr, nullptr, "nothing is forwarded"},
    {"StreamLocalBindMask", kN, nullptr, nullptr, "nothing is forwarded"},
    {"StreamLocalBindUnlink", kN, nullptr, nullptr, "nothing is forwarded", "flag"},
    {"Tunnel", kN, nullptr, nullptr, "nothing is forwarded",
     "yes|no|true|false|point-to-point|ethernet"},
    {"TunnelDevice", kN, nullptr, nullptr, "nothing is forwarded"},
    {"ControlMaster", kN, nullptr, nullptr, "every session is a connection of its own",
     "yes|no|true|false|ask|auto|autoask"},
    {"ControlPath", kN, nullptr, nullptr, "every session is a connection of its own"},
    {"ControlPersist", kN, nullptr, nullptr, "every session is a connection of its own"},
    {"ServerAliveInterval", kN, nullptr, nullptr,
     "the session has its own bounds (20 s a step, 45 s in all)", "time"},
    {"ServerAliveCountMax", kN, nullptr, nullptr, "the session has its own bounds", "int"},
    {"ProtocolKeepAlives", kN, "ServerAliveInterval", nullptr,
     "Debian's spelling of `ServerAliveInterval`", "time"},
    {"SetupTimeOut", kN, "ServerAliveInterval", nullptr,
     "Debian's spelling of `ServerAliveInterval`", "time"},
    {"TCPKeepAlive", kN, nullptr, nullptr, "the session has its own bounds", "flag"},
    {"KeepAlive", kN, "TCPKeepAlive", nullptr, "old spelling of `TCPKeepAlive`", "flag"},
    {"RekeyLimit", kN, nullptr, nullptr, "a reboot's session is far too short to rekey"},
    {"Compression", kN, nullptr, nullptr, "a few bytes are sent", "yes|no"},
    {"IPQoS", kN, nullptr, nullptr, "only the packets' priority"},
    {"ConnectionAttempts", kN, nullptr, nullptr, "one attempt; a fleet's `/wait:` retries",
     "count"},
    {"RemoteCommand", kN, nullptr, nullptr, "swKicker runs its own command"},
    {"RequestTTY", kN, nullptr, nullptr, "swKicker runs its own command without a terminal",
     "yes|no|true|false|force|auto"},
    {"SessionType", kN, nullptr, nullptr, "swKicker runs its own command",
     "none|subsystem|default"},
    {"StdinNull", kN, nullptr, nullptr, "the router's input is the answer alone", "flag"},
    {"ForkAfterAuthentication", kN, nullptr, nullptr, "swKicker waits for the answer itself",
     "flag"},
    {"SendEnv", kN, nullptr, nullptr, "no environment is sent"},
    {"SetEnv", kN, nullptr, nullptr, "no environment is sent"},
    {"EscapeChar", kN, nullptr, nullptr, "no interactive session"},
    {"EnableEscapeCommandline", kN, nullptr, nullptr, "no interactive session", "flag"},
    {"LocalCommand", kN, nullptr, nullptr, "no local command is run"},
    {"PermitLocalCommand", kN, nullptr, nullptr, "no local command is run", "flag"},
    {"LogLevel", kN, nullptr, nullptr, "swKicker keeps its own log",
     "quiet|fatal|error|info|verbose|debug|debug1|debug2|debug3"},
    {"LogVerbose", kN, nullptr, nullptr, "swKicker keeps its own log"},
    {"SyslogFacility", kN, nullptr, nullptr, "swKicker keeps its own log",
     "daemon|user|auth|local0|local1|local2|local3|local4|local5|local6|local7"},
    // Spellings ssh still reads and ignores.
    {"Cipher", kN, nullptr, nullptr, "ignored by ssh too (protocol 1)"},
    {"Protocol", kN, nullptr, nullptr, "ignored by ssh too"},
    {"CompressionLevel", kN, nullptr, nullptr, "ignored by ssh too"},
    {"FallBackToRsh", kN, nullptr, nullptr, "ignored by ssh too"},
    {"UseRsh", kN, nullptr, nullptr, "ignored by ssh too"},
    {"UsePrivilegedPort", kN, nullptr, nullptr, "ignored by ssh too"},
    {"UseRoaming", kN, nullptr, nullptr, "ignored by ssh too"},
    {"UseBlacklistedKeys", kN, nullptr, nullptr, "ignored by ssh too"},
    {"RhostsAuthentication", kN, nullptr, nullptr, "ignored by ssh too"},
    {"RhostsRSAAuthentication", kN, nullptr, nullptr, "ignored by ssh too"},
    {"AFSTokenPassing", kN, nullptr, nullptr, "ignored by ssh too"},
    {"KerberosAuthentication", kN, nullptr, nullptr, "ignored by ssh too"},
    {"KerberosTGTPassing", kN, nullptr, nullptr, "ignored by ssh too"},
    {"GlobalKnownHostsFile2", kN, nullptr, nullptr, "ignored by ssh too"},
    {"UserKnownHostsFile2", kN, nullptr, nullptr, "ignored by ssh too"},
};

// OpenSSH's own limit on nested Include.
constexpr int kMaxIncludeDepth = 16;

// Old algorithms in the order to prefer them, the strongest first.
const std::string kOldByStrength[] = {
    "diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1",
    "diffie-hellman-group1-sha1", "ssh-rsa", "ssh-dss", "aes256-cbc", "aes192-cbc",
    "aes128-cbc", "3des-cbc", "hmac-sha1-etm@openssh.com", "hmac-sha1"};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerText(std::string_view text) {
  std::string lower;
  for (char c : text) lower.push_back(Lower(c));
  return lower;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string JoinList(const std::vector<std::string>& items) {
  std::string list;
  for (const std::string& item : items) {
    if (!list.empty()) list += ',';
    list += item;
  }
  return list;
}

bool Contains(const std::vector<std::string>& items, const std::string& item) {
  for (const std::string& each : items) {
    if (each == item) return true;
  }
  return false;
}

// A line's words: the keyword (which "=" may end) and its arguments, split
// at blanks; double quotes keep blanks in an argument. An unquoted word that
// starts with '#' ends the line. False for a quote left open.
bool SplitLine(std::string_view line, std::string* keyword, std::vector<std::string>* args) {
  keyword->clear();
  args->clear();
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i == line.size() || line[i] == '#') return true;
  while (i < line.size() && !IsBlank(line[i]) && line[i] != '=') {
    keyword->push_back(Lower(line[i++]));
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size() && line[i] == '=') ++i;
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == '#') return true;
    std::string word;
    if (line[i] == '"') {
      const size_t close = line.find('"', i + 1);
      if (close == std::string_view::npos) return false;
      word = std::string(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      while (i < line.size() && !IsBlank(line[i])) word.push_back(line[i++]);
    }
    args->push_back(word);
  }
}

struct Reading {
  const SshConfigTarget* target = nullptr;
  SshConfigReader reader = nullptr;
  SshConfig config;
  // Option keywords whose value has been taken: the first one wins.
  std::vector<std::string> seen;
  bool identityFileSeen = false;
  bool userKnownHostsSeen = false;
  bool globalKnownHostsSeen = false;
  bool hostNameSet = false;
  // False while a block that does not apply is read: its values are still
  // checked, as ssh checks them, and nothing is taken.
  bool apply = true;
  std::string ignoreUnknown;  // IgnoreUnknown's patterns
  // Where the options that decide the password's ways were set:
  // "Keyword value at FILE:LINE".
  std::string batchModeAt;
  std::string passwordAuthenticationAt;
  std::string kbdInteractiveAt;
  std::string promptsAt;
  std::string preferredAt;
  bool batchMode = false;
  int passwordPrompts = 3;
  std::vector<std::string> preferred;  // empty: every method
  std::string where;                   // the line being read, FILE:LINE
  std::string spelled;                 // its keyword, as the table spells it
  // Reading a file that an Include in a block that does not apply named:
  // it is checked as ssh checks it, and none of its blocks applies.
  bool neverMatch = false;
};

// "~" and the tokens %d %h %l %n %p %r %u %%, as ssh expands them in paths.
std::string ExpandTokens(const Reading& reading, const std::string& text) {
  const SshConfigTarget& target = *reading.target;
  std::string out;
  size_t i = 0;
  if (!text.empty() && text[0] == '~' && (text.size() == 1 || text[1] == '/' || text[1] == '\\')) {
    out = target.home;
    i = 1;
  }
  for (; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    switch (text[++i]) {
      case '%': out.push_back('%'); break;
      case 'd': out += target.home; break;
      case 'h': out += reading.config.hostName; break;
      case 'n': out += target.host; break;
      case 'l': out += target.localUser; break;
      case 'u': out += target.localUser; break;
      case 'r':
        out += !target.user.empty() ? target.user
               : !reading.config.user.empty() ? reading.config.user : target.localUser;
        break;
      case 'p': out += std::to_string(reading.config.port != 0 ? reading.config.port : 22); break;
      default: out.push_back('%'); out.push_back(text[i]); break;
    }
  }
  return out;
}

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 2 && path[1] == ':');
}

// A Host line's patterns: some pattern must match the name as given, and a
// negated one that matches cancels the line.
bool HostLineMatches(const std::vector<std::string>& patterns, const std::string& host) {
  bool positive = false;
  for (const std::string& pattern : patterns) {
    const bool negated = !pattern.empty() && pattern[0] == '!';
    if (PatternListMatch(host, negated ? pattern.substr(1) : pattern)) {
      if (negated) return false;
      positive = true;
    }
  }
  return positive;
}

// A Match line's criteria, all of which must hold. "exec" runs no command
// here and never holds; "canonical" never does, as no name is
// canonicalised; "final" holds, as there is one pass that is the last.
bool MatchLineMatches(Reading* reading, const std::vector<std::string>& args,
                      const std::string& where) {
  const SshConfigTarget& target = *reading->target;
  bool all = true;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string criterion = LowerText(args[i]);
    const bool negated = !criterion.empty() && criterion[0] == '!';
    if (negated) criterion.erase(0, 1);
    bool holds;
    if (criterion == "all") {
      holds = true;
    } else if (criterion == "canonical") {
      holds = false;
    } else if (criterion == "final") {
      holds = true;
    } else if (i + 1 >= args.size()) {
      reading->config.error = where + ": Match " + criterion + " needs an argument";
      return false;
    } else {
      const std::string& value = args[++i];
      const std::string remoteUser =
          !target.user.empty() ? target.user
          : !reading->config.user.empty() ? reading->config.user : target.localUser;
      if (criterion == "host") {
        holds = PatternListMatch(LowerText(reading->config.hostName), value);
      } else if (criterion == "originalhost") {
        holds = PatternListMatch(LowerText(target.host), value);
      } else if (criterion == "user") {
        holds = PatternListMatch(LowerText(remoteUser), value);
      } else if (criterion == "localuser") {
        holds = PatternListMatch(LowerText(target.localUser), value);
      } else if (criterion == "exec") {
        holds = false;
      } else {
        reading->config.error = where + ": unknown Match criterion " + criterion;
        return false;
      }
    }
    if (holds == negated) all = false;
  }
  return all;
}

bool FirstTime(Reading* reading, const std::string& keyword) {
  if (!reading->apply || Contains(reading->seen, keyword)) return false;
  reading->seen.push_back(keyword);
  return true;
}

void SetAlgorithms(Reading* reading, const std::string& keyword, const std::string& value,
                   AlgorithmOption* option, const char* defaults) {
  if (!FirstTime(reading, keyword)) return;
  option->set = true;
  option->list = ResolveAlgorithms(value, defaults);
}

bool ParseYesNo(const std::string& value, bool* out) {
  const std::string lower = LowerText(value);
  if (lower == "yes" || lower == "true") {
    *out = true;
  } else if (lower == "no" || lower == "false") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

void ReadText(Reading* reading, const KnownHostsText& file, const std::string& includeFolder,
              int depth);

// "a", "a and b", "a, b and c".
std::string Enumerate(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text;
}

// A yes/no option that may decide the password's ways: taken, and where.
bool TakeSwitch(Reading* reading, const std::string& keyword, const std::string& value,
                bool* out, std::string* at) {
  bool on = false;
  if (!ParseYesNo(value, &on)) return false;
  if (FirstTime(reading, keyword)) {
    *out = on;
    *at = reading->spelled + " " + value + " at " + reading->where;
  }
  return true;
}

// One honoured option's line: take is its row's case, keyword its current
// spelling in lower case. Its value is checked in every block; it is taken
// only in one that applies. False when the value is bad; *problem may then
// say why.
bool TakeOption(Reading* reading, Take take, const std::string& keyword,
                const std::vector<std::string>& args, std::string* problem) {
  SshConfig& config = reading->config;
  const std::string& value = args[0];
  switch (take) {
    case Take::kIgnoreUnknown: {
      if (FirstTime(reading, keyword)) reading->ignoreUnknown = LowerText(value);
      break;
    }
    case Take::kHostKeyAlias: {
      // ssh looks the alias up in lower case, as every name.
      if (FirstTime(reading, keyword)) config.hostKeyAlias = LowerText(value);
      break;
    }
    case Take::kRevokedHostKeys: {
      if (FirstTime(reading, keyword) && LowerText(value) != "none") {
        config.revokedHostKeys = ExpandTokens(*reading, value);
      }
      break;
    }
    case Take::kBatchMode: {
      return TakeSwitch(reading, keyword, value, &reading->batchMode, &reading->batchModeAt);
    }
    case Take::kPasswordAuthentication: {
      return TakeSwitch(reading, keyword, value, &config.password.allowed,
                        &reading->passwordAuthenticationAt);
    }
    case Take::kKbdInteractiveAuthentication: {
      return TakeSwitch(reading, keyword, value, &config.keyboardInteractive.allowed,
                        &reading->kbdInteractiveAt);
    }
    case Take::kPubkeyAuthentication: {
      // "unbound" and "host-bound" are yes with a detail of the protocol.
      const std::string lower = LowerText(value);
      bool on = lower == "unbound" || lower == "host-bound";
      if (!on && !ParseYesNo(value, &on)) return false;
      if (FirstTime(reading, keyword)) config.pubkeyAuthentication = on;
      break;
    }
    case Take::kPreferredAuthentications: {
      if (FirstTime(reading, keyword)) {
        reading->preferred = SplitAlgorithmList(LowerText(value));
        reading->preferredAt = reading->spelled + " " + value + " at " + reading->where;
      }
      break;
    }
    case Take::kNumberOfPasswordPrompts: {
      int64_t prompts = 0;
      if (!ParseDecimal(value, 0, 1000000, &prompts)) return false;
      if (FirstTime(reading, keyword)) {
        reading->passwordPrompts = static_cast<int>(prompts);
        reading->promptsAt = reading->spelled + " " + value + " at " + reading->where;
      }
      break;
    }
    case Take::kRequiredRsaSize: {
      int64_t bits = 0;
      if (!ParseDecimal(value, 0, 16384, &bits)) return false;
      if (FirstTime(reading, keyword)) config.requiredRsaSize = static_cast<int>(bits);
      break;
    }
    case Take::kIdentityAgent: {
      const std::string lower = LowerText(value);
      if (lower != "none" && lower != "ssh_auth_sock" && lower != "$ssh_auth_sock") {
        // Checked only where it applies: another agent is not built.
        if (!reading->apply || Contains(reading->seen, keyword)) return true;
        *problem = "IdentityAgent " + value +
                   " is not supported: only \"none\" or SSH_AUTH_SOCK's agent can be used";
        return false;
      }
      if (FirstTime(reading, keyword)) config.useAgent = lower != "none";
      break;
    }
    case Take::kHostName: {
      if (FirstTime(reading, keyword)) {
        config.hostName = ExpandTokens(*reading, value);
        reading->hostNameSet = true;
      }
      break;
    }
    case Take::kUser: {
      if (FirstTime(reading, keyword)) config.user = value;
      break;
    }
    case Take::kPort: {
      int64_t port = 0;
      if (!ParseDecimal(value, 1, 65535, &port)) return false;
      if (FirstTime(reading, keyword)) config.port = static_cast<int>(port);
      break;
    }
    case Take::kHostKeyAlgorithms: {
      SetAlgorithms(reading, keyword, value, &config.hostKeyAlgorithms, kDefaultHostKeyAlgorithms);
      break;
    }
    case Take::kKexAlgorithms: {
      SetAlgorithms(reading, keyword, value, &config.kexAlgorithms, kDefaultKexAlgorithms);
      break;
    }
    case Take::kCiphers: {
      SetAlgorithms(reading, keyword, value, &config.ciphers, kDefaultCiphers);
      break;
    }
    case Take::kMacs: {
      SetAlgorithms(reading, keyword, value, &config.macs, kDefaultMacs);
      break;
    }
    case Take::kPubkeyAcceptedAlgorithms: {
      SetAlgorithms(reading, "pubkeyacceptedalgorithms", value, &config.pubkeyAcceptedAlgorithms,
                    kDefaultPubkeyAcceptedAlgorithms);
      break;
    }
    case Take::kIdentityFile: {
      // Every IdentityFile line counts, in order, as in ssh.
      if (reading->apply) config.identityFiles.push_back(ExpandTokens(*reading, value));
      break;
    }
    case Take::kIdentitiesOnly: {
      bool only = false;
      if (!ParseYesNo(value, &only)) return false;
      if (FirstTime(reading, keyword)) config.identitiesOnly = only;
      break;
    }
    case Take::kUserKnownHostsFile:
    case Take::kGlobalKnownHostsFile: {
      // "none" names no file, and only alone: ssh refuses it beside others.
      for (const std::string& arg : args) {
        if (LowerText(arg) == "none" && args.size() > 1) {
          *problem = "\"none\" must stand alone: it names no file";
          return false;
        }
      }
      if (!FirstTime(reading, keyword)) return true;
      std::vector<std::string>* files = take == Take::kUserKnownHostsFile
                                            ? &config.userKnownHostsFiles
                                            : &config.globalKnownHostsFiles;
      for (const std::string& arg : args) {
        files->push_back(LowerText(arg) == "none" ? NullPath() : ExpandTokens(*reading, arg));
      }
      break;
    }
    case Take::kStrictHostKeyChecking: {
      const std::string lower = LowerText(value);
      StrictHostKeyChecking strict;
      if (lower == "yes" || lower == "true") {
        strict = StrictHostKeyChecking::kYes;
      } else if (lower == "ask") {
        strict = StrictHostKeyChecking::kAsk;
      } else if (lower == "accept-new") {
        strict = StrictHostKeyChecking::kAcceptNew;
      } else if (lower == "no" || lower == "off" || lower == "false") {
        strict = StrictHostKeyChecking::kNo;
      } else {
        return false;
      }
      if (FirstTime(reading, keyword)) config.strictHostKeyChecking = strict;
      break;
    }
    case Take::kHashKnownHosts: {
      bool hashed = false;
      if (!ParseYesNo(value, &hashed)) return false;
      if (FirstTime(reading, keyword)) config.hashKnownHosts = hashed;
      break;
    }
    case Take::kConnectTimeout: {
      int64_t seconds = 0;
      if (LowerText(value) != "none" && !ParseDecimal(value, 0, 1000000, &seconds)) return false;
      if (FirstTime(reading, keyword)) config.connectTimeoutSeconds = static_cast<int>(seconds);
      break;
    }
    case Take::kProxyCommand:
    case Take::kProxyJump: {
      // One of the two: whichever comes first.
      if (!reading->apply || Contains(reading->seen, "proxy")) return true;
      reading->seen.push_back("proxy");
      std::string text;
      for (const std::string& arg : args) {
        if (!text.empty()) text += ' ';
        text += arg;
      }
      if (LowerText(text) == "none") return true;
      (take == Take::kProxyCommand ? config.proxyCommand : config.proxyJump) = text;
      break;
    }
    case Take::kNone:
      break;
  }
  return true;
}

// The table's row for a keyword (lower case); nullptr for none.
const SshOption* FindOption(const std::string& keyword) {
  for (const SshOption& option : kOptions) {
    size_t i = 0;
    while (i < keyword.size() && option.keyword[i] != '\0' &&
           Lower(option.keyword[i]) == keyword[i]) {
      ++i;
    }
    if (i == keyword.size() && option.keyword[i] == '\0') return &option;
  }
  return nullptr;
}

// A keyword as it can be shown: bytes outside printable ASCII as \xNN.
std::string Shown(const std::string& keyword) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : keyword) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7f) {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

// Whether value (lower case) is a word of list ("a|b|c").
bool InList(std::string_view list, const std::string& value) {
  while (!list.empty()) {
    const size_t bar = list.find('|');
    if (list.substr(0, bar) == value) return true;
    if (bar == std::string_view::npos) break;
    list.remove_prefix(bar + 1);
  }
  return false;
}

// Whether value (lower case) is one ssh takes for the row; see
// SshOption::values.
bool ValueTaken(const SshOption& option, const std::string& value) {
  if (option.values == nullptr) return true;
  const std::string_view kind = option.values;
  int64_t number = 0;
  if (kind == "flag") return InList("yes|no|true|false", value);
  if (kind == "int") return ParseDecimal(value, 0, INT32_MAX, &number);
  if (kind == "count") return ParseDecimal(value, 1, INT32_MAX, &number);
  if (kind == "time") {
    // Numbers, each with an optional unit: 90, 1h30m, 2W.
    if (value == "none") return true;
    if (value.empty()) return false;
    bool digits = false;
    for (char c : value) {
      if (c >= '0' && c <= '9') {
        digits = true;
      } else if (digits && InList("s|m|h|d|w", std::string(1, c))) {
        digits = false;
      } else {
        return false;
      }
    }
    return true;
  }
  return InList(kind, value);
}

void ReadLine(Reading* reading, const std::string& keyword, const std::vector<std::string>& args,
              const std::string& includeFolder, int depth, bool* active) {
  SshConfig& config = reading->config;
  const std::string& where = reading->where;
  if (keyword == "host") {
    *active = HostLineMatches(args, LowerText(reading->target->host)) && !reading->neverMatch;
    return;
  }
  if (keyword == "match") {
    *active = MatchLineMatches(reading, args, where) && !reading->neverMatch;
    return;
  }
  const SshOption* option = FindOption(keyword);
  if (option == nullptr) {
    // ssh refuses to start here, in any block, unless IgnoreUnknown
    // (taken earlier, where it applied) names the keyword.
    if (!reading->ignoreUnknown.empty() && PatternListMatch(keyword, reading->ignoreUnknown)) {
      return;
    }
    const bool bom = keyword.rfind("\xEF\xBB\xBF", 0) == 0;
    config.error = where + ": unknown option " + Shown(keyword) +
                   (bom ? " (the file starts with a byte order mark; save it without one)"
                        : "; ssh refuses it too (IgnoreUnknown lets both pass it by)");
    return;
  }
  const std::string name = option->sameAs != nullptr ? option->sameAs : option->keyword;
  const std::string current = LowerText(name);
  if (!ValueTaken(*option, LowerText(args[0]))) {
    config.error = where + ": bad value for " + option->keyword + ": " + args[0];
    return;
  }
  if (option->use == OptionUse::kNoEffect) return;
  if (option->use == OptionUse::kRefused) {
    // Only the value that counts for this router: the first one set where
    // a block applies.
    if (!*active || Contains(reading->seen, current)) return;
    reading->seen.push_back(current);
    if (option->harmless != nullptr && InList(option->harmless, LowerText(args[0]))) return;
    std::string text = where + ": " + name;
    for (const std::string& arg : args) text += " " + arg;
    text += " is not supported: it ";
    // The README's words, without its code marks.
    for (const char* c = option->why; *c != '\0'; ++c) {
      if (*c != '`') text.push_back(*c);
    }
    config.error = text + "; remove the line for this router";
    return;
  }
  if (keyword == "include") {
    // ssh reads the files of an Include that does not apply too, and
    // refuses to start on their bad lines.
    if (depth >= kMaxIncludeDepth) {
      config.error = where + ": Include nested too deeply";
      return;
    }
    for (const std::string& arg : args) {
      std::string pattern = ExpandTokens(*reading, arg);
      if (!IsAbsolute(pattern)) pattern = includeFolder + PathSeparator() + pattern;
      const bool neverMatch = reading->neverMatch;
      reading->neverMatch = neverMatch || !*active;
      for (const KnownHostsText& file : reading->reader(pattern)) {
        // Blocks in the included file end with it.
        ReadText(reading, file, includeFolder, depth + 1);
        if (!config.error.empty()) break;
      }
      reading->neverMatch = neverMatch;
      if (!config.error.empty()) return;
    }
    return;
  }
  reading->apply = *active;
  reading->spelled = option->keyword;
  std::string problem;
  const bool good = TakeOption(reading, FindOption(current)->take, current, args, &problem);
  reading->apply = true;
  if (!good) {
    if (problem.empty()) problem = "bad value for " + reading->spelled + ": " + args[0];
    config.error = where + ": " + problem;
  }
}

void ReadText(Reading* reading, const KnownHostsText& file, const std::string& includeFolder,
              int depth) {
  if (!file.readable) {
    reading->config.error = file.path + " cannot be read";
    return;
  }
  bool active = !reading->neverMatch;
  std::string_view text = file.text;
  std::string keyword;
  std::vector<std::string> args;
  for (int lineNumber = 1; !text.empty() && reading->config.error.empty(); ++lineNumber) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // ssh reads a line as C text: a zero byte ends it.
    line = line.substr(0, line.find('\0'));
    reading->where = file.path + ":" + std::to_string(lineNumber);
    if (!SplitLine(line, &keyword, &args)) {
      reading->config.error = reading->where + ": a quote is not closed";
      return;
    }
    if (keyword.empty()) continue;
    if (args.empty()) {
      reading->config.error = reading->where + ": " + keyword + " has no value";
      return;
    }
    ReadLine(reading, keyword, args, includeFolder, depth, &active);
  }
}

// The password's ways once every file is read: a way is excluded by its own
// switch, by BatchMode, by no prompts allowed, or by a method list without
// it; each line that excludes it is named.
void SettlePasswordWays(Reading* reading) {
  SshConfig& config = reading->config;
  const auto settle = [&](PasswordWay* way, const std::string& method, const std::string& ownAt) {
    std::vector<std::string> by;
    if (!way->allowed) by.push_back(ownAt);
    if (reading->batchMode) by.push_back(reading->batchModeAt);
    if (reading->passwordPrompts == 0) by.push_back(reading->promptsAt);
    if (!reading->preferred.empty() && !Contains(reading->preferred, method)) {
      by.push_back(reading->preferredAt);
    }
    way->allowed = by.empty();
    way->excludedBy = Enumerate(by);
  };
  settle(&config.password, "password", reading->passwordAuthenticationAt);
  settle(&config.keyboardInteractive, "keyboard-interactive", reading->kbdInteractiveAt);
  const auto at = [&](const char* method) {
    return std::find(reading->preferred.begin(), reading->preferred.end(), method);
  };
  config.keyboardInteractiveFirst = at("keyboard-interactive") < at("password");
  if (!reading->preferred.empty() && !Contains(reading->preferred, "publickey")) {
    config.pubkeyAuthentication = false;
  }
}

}  // namespace

std::vector<std::string> SplitAlgorithmList(std::string_view list) {
  std::vector<std::string> items;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return items;
}

std::string ResolveAlgorithms(const std::string& value, const std::string& defaults) {
  if (value.empty()) return defaults;
  const char form = value[0];
  const bool marked = form == '+' || form == '-' || form == '^';
  const std::vector<std::string> given = SplitAlgorithmList(marked ? value.substr(1) : value);
  const std::vector<std::string> base = SplitAlgorithmList(defaults);
  std::vector<std::string> result;
  if (form == '-') {
    for (const std::string& item : base) {
      bool removed = false;
      for (const std::string& pattern : given) removed = removed || PatternListMatch(item, pattern);
      if (!removed) result.push_back(item);
    }
    return JoinList(result);
  }
  const std::vector<std::string>& first = form == '+' ? base : given;
  const std::vector<std::string>& second = form == '+' ? given : base;
  for (const std::string& item : first) {
    if (!Contains(result, item)) result.push_back(item);
  }
  if (form == '+' || form == '^') {
    for (const std::string& item : second) {
      if (!Contains(result, item)) result.push_back(item);
    }
  }
  return JoinList(result);
}

std::string ProxyJumpCommand(const std::string& jump) {
  // Quoted for the shell the command runs in.
  const auto quoted = [](const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  };
  const size_t lastComma = jump.rfind(',');
  std::string last = lastComma == std::string::npos ? jump : jump.substr(lastComma + 1);
  // A hop may be [user@]host[:port], which ssh takes only as a URI.
  if (last.rfind("ssh://", 0) != 0) last = "ssh://" + last;
  std::string command = "ssh";
  if (lastComma != std::string::npos) command += " -J " + quoted(jump.substr(0, lastComma));
  return command + " -W '[%h]:%p' " + quoted(last);
}

std::string AlgorithmToAllow(const std::string& offered,
                             bool (*supported)(AlgorithmKind kind, const std::string& name),
                             AlgorithmKind kind) {
  const std::vector<std::string> offer = SplitAlgorithmList(offered);
  for (const std::string& name : kOldByStrength) {
    if (Contains(offer, name) && supported(kind, name)) return name;
  }
  for (const std::string& name : offer) {
    if (supported(kind, name)) return name;
  }
  return std::string();
}

std::string NoSharedAlgorithmReason(const std::string& host, const std::string& configPath,
                                    const std::vector<AlgorithmNeed>& needs) {
  static const char* const kWords[] = {"key exchanges", "host key types", "ciphers", "MACs"};
  static const char* const kKeywords[] = {"KexAlgorithms", "HostKeyAlgorithms", "Ciphers",
                                          "MACs"};
  std::vector<std::string> old;
  std::vector<std::string> cannot;
  std::string lines;
  for (const AlgorithmNeed& need : needs) {
    const int kind = static_cast<int>(need.kind);
    (need.allow.empty() ? cannot : old)
        .push_back(std::string(kWords[kind]) + " (" + need.offered + ")");
    if (!need.allow.empty()) lines += std::string(" / ") + kKeywords[kind] + " +" + need.allow;
  }
  if (!cannot.empty()) {
    return "the router offers only " + Enumerate(cannot) +
           " that this program's SSH library cannot use";
  }
  // Named old only when every algorithm to allow is one of the old ones;
  // a modern one can be missing because the configuration removed it.
  bool allOld = true;
  for (const AlgorithmNeed& need : needs) {
    allOld = allOld && std::find(std::begin(kOldByStrength), std::end(kOldByStrength),
                                 need.allow) != std::end(kOldByStrength);
  }
  return std::string("the router offers only ") + (allOld ? "old " : "") + Enumerate(old) +
         "; to allow them for this router, add to " +
         configPath + ": Host " + host + lines;
}

SshConfig ParseSshConfig(const KnownHostsText& userFile, const KnownHostsText& systemFile,
                         const SshConfigTarget& target, SshConfigReader reader) {
  Reading reading;
  reading.target = &target;
  reading.reader = reader;
  reading.config.hostName = target.host;
  reading.config.hostKeyAlgorithms.list = kDefaultHostKeyAlgorithms;
  reading.config.kexAlgorithms.list = kDefaultKexAlgorithms;
  reading.config.ciphers.list = kDefaultCiphers;
  reading.config.macs.list = kDefaultMacs;
  reading.config.pubkeyAcceptedAlgorithms.list = kDefaultPubkeyAcceptedAlgorithms;
  ReadText(&reading, userFile, target.userFolder, 0);
  if (reading.config.error.empty()) ReadText(&reading, systemFile, target.systemFolder, 0);
  SettlePasswordWays(&reading);
  return reading.config;
}

const SshOption* SshOptions(size_t* count) {
  *count = std::size(kOptions);
  return kOptions;
}

SshConfig ReadSshConfig(const std::string& host, const std::string& user) {
  SshConfigTarget target;
  target.host = host;
  target.user = user;
  target.localUser = LocalUserName();
  target.home = HomeFolder();
  target.userFolder = UserSshFolder();
  target.systemFolder = SystemSshFolder();
  const std::string userPath =
      target.userFolder.empty() ? NullPath() : target.userFolder + PathSeparator() + "config";
  const std::vector<KnownHostsText> files = ReadKnownHostsFiles(
      {userPath, target.systemFolder + PathSeparator() + "ssh_config"});
  return ParseSshConfig(files[0], files[1], target, ReadMatchingFiles);
}
