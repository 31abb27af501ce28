// The router's host key: known_hosts read as the configuration names it,
// the key types it lists asked for first, and the key the server showed
// judged before any authentication (revoked keys, StrictHostKeyChecking and
// accept-new's new line).

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "ssh/ssh_libssh_session.h"
#include "ssh_files/small_file.h"
#include "ssh_files/ssh_files.h"

namespace {

// The host key algorithms in OpenSSH's order of preference; the known ones
// are put before the rest, in this same order.
constexpr const char* kHostKeyAlgorithmOrder[] = {
    "ssh-ed25519",  "ecdsa-sha2-nistp256",        "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp521", "sk-ssh-ed25519@openssh.com", "sk-ecdsa-sha2-nistp256@openssh.com",
    "rsa-sha2-512", "rsa-sha2-256"};

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
  bool appended = false;  // set once the line is handed over to be written
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
  const_cast<NewEntry*>(entry)->appended = true;
  // A last line without its line feed must not swallow the new one.
  return (!text.empty() && text.back() != '\n' ? "\n" : "") + line;
}

// A key type as ssh names it to the user ("ED25519" for ssh-ed25519).
std::string KeyTypeName(const std::string& type) {
  if (type == "ssh-ed25519") return "ED25519";
  if (type == "ssh-rsa") return "RSA";
  if (type == "ssh-dss") return "DSA";
  if (type.rfind("ecdsa-sha2-", 0) == 0) return "ECDSA";
  std::string upper = type;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// The key's SHA256 fingerprint as ssh and ssh-keygen -l show it.
std::string Fingerprint(ssh_key key) {
  unsigned char* hash = nullptr;
  size_t length = 0;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK) {
    return std::string();
  }
  char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
  ssh_clean_pubkey_hash(&hash);
  const std::string fingerprint = text != nullptr ? text : "";
  ssh_string_free_char(text);
  return fingerprint;
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

}  // namespace

std::vector<KnownHostsText> ReadConfiguredKnownHosts(const SshConfig& config) {
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
  return knownHosts;
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

// Judges the key the server showed against known_hosts, after the key
// exchange and before any authentication: a refused key means the password
// never leaves; *reason then says why in one short line naming the file and
// line. An unknown host is handled as StrictHostKeyChecking says: refused,
// recorded in the first user file (the exchange has proved the server holds
// the key), or accepted as it is.
bool HostKeyAcceptable(ssh_session session, const std::vector<KnownHostsText>& files,
                       const std::string& host, int port, const SshConfig& config,
                       bool record, std::string* reason, SshRoute* route) {
  ssh_key key = nullptr;
  char* base64 = nullptr;
  HostKeyVerdict verdict{HostKeyStatus::kUnreadable, std::string(), 0};
  ShownKey shown;
  std::string fingerprint;
  if (ssh_get_server_publickey(session, &key) == SSH_OK &&
      ssh_pki_export_pubkey_base64(key, &base64) == SSH_OK) {
    shown = {ssh_key_type_to_char(ssh_key_type(key)), base64};
    fingerprint = Fingerprint(key);
    verdict = CheckHostKey(files, host, port, shown.type, shown.base64);
  }
  ssh_string_free_char(base64);
  ssh_key_free(key);
  if (!shown.type.empty() && !config.revokedHostKeys.empty() &&
      RevokedByFile(config.revokedHostKeys, host, port, shown, reason)) {
    return false;
  }
  *reason = HostKeyReason(verdict);
  // As ssh does: the key the router showed, and the line that forgets the
  // old entry, for an admin who knows the router's key really changed.
  if ((verdict.status == HostKeyStatus::kChanged ||
       verdict.status == HostKeyStatus::kOtherType) && !fingerprint.empty()) {
    *reason += "; the router showed " + KeyTypeName(shown.type) + " key " + fingerprint +
               "; if that is its new key, remove the old entry with: ssh-keygen -f \"" +
               verdict.file + "\" -R \"" + KnownHostsName(host, port) + "\"";
  }
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
      files[0].path != NullPath() && !record) {
    route->addedName = KnownHostsName(host, port);
    route->addedKeyType = KeyTypeName(shown.type);
    route->addedFingerprint = fingerprint;
    route->addedFile = files[0].path;
    route->addedWouldBe = true;
  } else if (config.strictHostKeyChecking == StrictHostKeyChecking::kAcceptNew &&
             files[0].path != NullPath()) {
    // As ssh does, a file that cannot be written leaves the router accepted
    // this time, and unknown.
    NewEntry entry{&files, host, port, shown, config.hashKnownHosts};
    std::string error;
    if (AppendUnderLock(files[0].path, EntryToAppend, &entry, &error) && entry.appended) {
      route->addedName = KnownHostsName(host, port);
      route->addedKeyType = KeyTypeName(shown.type);
      route->addedFingerprint = fingerprint;
      route->addedFile = files[0].path;
    }
  }
  return true;
}
