#ifndef SSH_FILES_KNOWN_HOSTS_H_
#define SSH_FILES_KNOWN_HOSTS_H_

// Decides whether a server's host key may be trusted, from known_hosts files
// read the way OpenSSH reads them: fields split by spaces or TABs, LF or
// CR LF line ends, comments, hashed names (|1|salt|hash), comma lists,
// [host]:port, the wildcards * and ?, negation with !, and the markers
// @revoked and @cert-authority. It fails closed: a line that cannot be read
// but may name the host refuses the key. Pure apart from reading the files;
// the line that records a new host is made here and written elsewhere.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class HostKeyStatus {
  kKnown,          // a line lists this very key for the host
  kUnknown,        // no line names the host: accepted, not recorded
  kChanged,        // the host is listed with another key of the same type
  kOtherType,      // the host is listed only with keys of other types
  kRevoked,        // an @revoked line holds this key
  kCertAuthority,  // the host is listed for certificates, which are not verified
  kUnreadable,     // a line or file that may name the host cannot be read
};

struct HostKeyVerdict {
  HostKeyStatus status = HostKeyStatus::kUnknown;
  std::string file;  // the file that decided; empty when unknown
  int line = 0;      // its line, from 1; 0 when the whole file decided
};

/// One known_hosts file: its path (for the verdict) and its text, or that
/// it exists but could not be read.
struct KnownHostsText {
  std::string path;
  bool readable = true;
  std::string text;
};

/// The server at host:port showed a key of keyType ("ssh-ed25519",
/// "ecdsa-sha2-nistp256", ...) whose public blob is keyBase64. The files
/// count together, in the order given.
HostKeyVerdict CheckHostKey(const std::vector<KnownHostsText>& files, const std::string& host,
                            int port, const std::string& keyType, const std::string& keyBase64);

/// Reads the files at paths: a missing file counts as empty, one that exists
/// but cannot be read as unreadable.
std::vector<KnownHostsText> ReadKnownHostsFiles(const std::vector<std::string>& paths);

/// The key types listed for host:port on plain lines, in file order without
/// repeats, so that the key exchange can ask for a known type first.
std::vector<std::string> KnownHostKeyTypes(const std::vector<KnownHostsText>& files,
                                           const std::string& host, int port);

/// True for the verdicts under which the password may be sent.
bool HostKeyAccepted(const HostKeyVerdict& verdict);

/// One short line naming why the key was refused and the file and line that
/// said so; empty for an accepted key.
std::string HostKeyReason(const HostKeyVerdict& verdict);

/// The name a host is listed under: the bare name for port 22, else
/// [name]:port. Lower-cased, as names are compared without case.
std::string KnownHostsName(const std::string& host, int port);

/// The known_hosts line recording keyType keyBase64 for host:port, ending
/// in a line feed: the host as [host]:port for a port other than 22, and
/// hashed (|1|salt|hash) when salt is given (kHashSaltBytes bytes).
constexpr size_t kHashSaltBytes = 20;
std::string KnownHostsEntry(const std::string& host, int port, const std::string& keyType,
                            const std::string& keyBase64, const uint8_t* salt);

/// A RevokedHostKeys file (public keys, one a line, as in FILE.pub) read
/// as known_hosts @revoked lines, line for line, so that a verdict names
/// the file's own lines. Blank and comment lines stay as they are.
KnownHostsText RevokedKeysAsKnownHosts(const KnownHostsText& file);

/// Whether text is a binary key revocation list (ssh-keygen -k), which
/// starts with its own magic bytes.
bool IsKeyRevocationList(std::string_view text);

/// Whether name (lower case) matches a comma list of patterns with * and ?
/// (without case), where a match of a negated one (!pattern) cancels the list.
bool PatternListMatch(std::string_view name, std::string_view list);

#endif  // SSH_FILES_KNOWN_HOSTS_H_
