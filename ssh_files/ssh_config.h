#ifndef SSH_FILES_SSH_CONFIG_H_
#define SSH_FILES_SSH_CONFIG_H_

// The admin's OpenSSH client configuration, read the way OpenSSH reads it:
// the user's file, then the machine's; the first value found for an option
// wins; Host and Match blocks select by the router's name as given; Include
// reads more files in place. The result is a plain record of the options this
// program honours, resolved for one router. Parsing is pure; reading the
// files is ReadSshConfig's only I/O.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ssh_files/known_hosts.h"

enum class StrictHostKeyChecking {
  kYes,        // an unknown router is refused
  kAsk,        // ssh would ask; a run has nobody to answer, so refused too
  kAcceptNew,  // an unknown router's key is recorded once the key exchange proved it
  kNo,         // an unknown router is accepted and nothing is recorded
};

/// One algorithm option: the list resolved from OpenSSH's forms ("+" adds at
/// the end, "-" removes, "^" puts first, else the list itself), and whether
/// the configuration set it at all.
struct AlgorithmOption {
  bool set = false;
  std::string list;  // comma list; the default when not set
};

/// One way for the password to leave (the password method, or
/// keyboard-interactive).
struct PasswordWay {
  bool allowed = true;
  std::string excludedBy;  // the lines that exclude it, when not allowed
};

/// What the configuration says for one router.
struct SshConfig {
  std::string hostName;  // where to connect: HostName, else the name as given
  std::string user;      // User; empty when not set
  int port = 0;          // Port; 0 when not set
  AlgorithmOption hostKeyAlgorithms;
  AlgorithmOption kexAlgorithms;
  AlgorithmOption ciphers;
  AlgorithmOption macs;
  AlgorithmOption pubkeyAcceptedAlgorithms;
  std::vector<std::string> identityFiles;  // in order; empty: the default files
  bool identitiesOnly = false;
  std::vector<std::string> userKnownHostsFiles;    // empty: the default file
  std::vector<std::string> globalKnownHostsFiles;  // empty: the default file
  StrictHostKeyChecking strictHostKeyChecking = StrictHostKeyChecking::kAcceptNew;
  bool hashKnownHosts = false;
  int connectTimeoutSeconds = 0;  // 0 when not set
  std::string proxyCommand;       // empty when not set (or "none")
  std::string proxyJump;          // empty when not set (or "none")
  std::string hostKeyAlias;       // known_hosts names the router so; empty when not set
  std::string revokedHostKeys;    // a file of revoked public keys; empty when not set
  int requiredRsaSize = 0;         // RequiredRSASize; 0 when not set
  bool pubkeyAuthentication = true;
  bool useAgent = true;           // IdentityAgent none turns the agent off
  // The two ways the password can leave: each is allowed unless a line
  // excludes it, and then excludedBy names that line ("BatchMode yes at
  // FILE:LINE"). keyboardInteractiveFirst follows PreferredAuthentications.
  PasswordWay password;
  PasswordWay keyboardInteractive;
  bool keyboardInteractiveFirst = false;
  std::string error;              // why the configuration cannot be used; empty when fine
};

/// What the configuration is read for, and the facts its tokens stand for.
struct SshConfigTarget {
  std::string host;       // the router's name as given
  std::string user;       // the user given; empty when none
  std::string localUser;  // this process's user name
  std::string home;       // the home folder ("~" and %d)
  std::string userFolder;    // where relative Include paths of the user's file point
  std::string systemFolder;  // and those of the machine's file
};

/// Reads the files whose paths match pattern (a glob in the last part at
/// least, as Include writes them), in name order. A missing file yields
/// nothing; one that exists but cannot be read yields an unreadable entry.
using SshConfigReader = std::vector<KnownHostsText> (*)(const std::string& pattern);

/// The configuration for target from userFile then systemFile; reader serves
/// the Include lines.
SshConfig ParseSshConfig(const KnownHostsText& userFile, const KnownHostsText& systemFile,
                         const SshConfigTarget& target, SshConfigReader reader);

/// What this program does with an OpenSSH client keyword.
enum class OptionUse {
  kHonoured,  // read and acted on
  kNoEffect,  // left alone: it changes nothing in a reboot
  kRefused,   // would change which host is reached, which key is trusted or how
              // the password travels, and is not built: set for a router, the
              // run is refused (unless the value is one that changes nothing)
};

/// What the reader does with an honoured keyword's value: one case each.
enum class OptionTake {
  kNone,  // nothing to take (no effect, refused, or a block or Include line)
  kIgnoreUnknown,
  kHostName,
  kUser,
  kPort,
  kConnectTimeout,
  kProxyCommand,
  kProxyJump,
  kUserKnownHostsFile,
  kGlobalKnownHostsFile,
  kStrictHostKeyChecking,
  kHashKnownHosts,
  kHostKeyAlias,
  kRevokedHostKeys,
  kHostKeyAlgorithms,
  kKexAlgorithms,
  kCiphers,
  kMacs,
  kRequiredRsaSize,
  kPasswordAuthentication,
  kKbdInteractiveAuthentication,
  kPreferredAuthentications,
  kNumberOfPasswordPrompts,
  kBatchMode,
  kPubkeyAuthentication,
  kPubkeyAcceptedAlgorithms,
  kIdentityFile,
  kIdentitiesOnly,
  kIdentityAgent,
};

/// One row of the keyword table: every keyword OpenSSH's client (9.2)
/// accepts, its old spellings included.
struct SshOption {
  const char* keyword;   // as ssh_config(5) spells it
  OptionUse use;
  const char* sameAs;    // an old spelling: the keyword it stands for; else nullptr
  const char* harmless;  // refused rows: values that change nothing ("a|b", lower
                         // case); nullptr when every value is refused
  const char* why;       // for the README's table
  // For a row whose value is not otherwise read: the values ssh takes,
  // checked in every block as ssh checks them. "flag" (yes, no, true,
  // false), "int" (0 or more), "count" (1 or more), "time" (ssh's 1h30m
  // form, or none), or a list "a|b" (lower case); nullptr: not checked.
  const char* values;
  OptionTake take = OptionTake::kNone;  // honoured rows in their current spelling
};

/// The whole table, in the README's order.
const SshOption* SshOptions(size_t* count);

/// The default list of each algorithm option (the SSH library's own).
extern const char* const kDefaultHostKeyAlgorithms;
extern const char* const kDefaultKexAlgorithms;
extern const char* const kDefaultCiphers;
extern const char* const kDefaultMacs;
extern const char* const kDefaultPubkeyAcceptedAlgorithms;

/// The names of a comma list, empty ones left out.
std::vector<std::string> SplitAlgorithmList(std::string_view list);

/// An algorithm option's value in OpenSSH's forms applied to defaults.
std::string ResolveAlgorithms(const std::string& value, const std::string& defaults);

/// The command that carries a session through ProxyJump's hosts, as ssh
/// runs it: ssh -W to the last hop, through the others with -J. %h and %p
/// stand for the router's host and port.
std::string ProxyJumpCommand(const std::string& jump);

/// The algorithm options a key exchange may find nothing common in.
enum class AlgorithmKind { kKex, kHostKey, kCipher, kMac };

/// One kind of algorithm the router shares nothing of with this side: what
/// it offers, and the one of those to allow (empty when the SSH library
/// cannot do any of them).
struct AlgorithmNeed {
  AlgorithmKind kind = AlgorithmKind::kKex;
  std::string offered;  // the router's comma list
  std::string allow;
};

/// Of offered (a comma list), the algorithm to allow: old algorithms the
/// strongest first, then the router's order; only those supported() takes.
/// Empty when it takes none.
std::string AlgorithmToAllow(const std::string& offered, bool (*supported)(AlgorithmKind kind,
                                                                          const std::string& name),
                             AlgorithmKind kind);

/// The reason for a router that shares no algorithm of the kinds in needs:
/// what it offers, and the lines that allow it in the user's configuration
/// file (configPath as the user writes it) for host as given; or, where the
/// library cannot do any of a kind, that.
std::string NoSharedAlgorithmReason(const std::string& host, const std::string& configPath,
                                    const std::vector<AlgorithmNeed>& needs);

/// The configuration for host as given, read from the platform's files:
/// ~/.ssh/config then /etc/ssh/ssh_config (POSIX), %USERPROFILE%\.ssh\config
/// then %ProgramData%\ssh\ssh_config (Windows).
SshConfig ReadSshConfig(const std::string& host, const std::string& user);

#endif  // SSH_FILES_SSH_CONFIG_H_
