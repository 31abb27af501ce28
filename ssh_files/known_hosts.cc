#include "ssh_files/known_hosts.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

#include "ssh_files/sha1.h"
#include "ssh_files/small_file.h"

namespace {

enum class Marker { kNone, kRevoked, kCertAuthority, kUnknown };
enum class HostMatch { kNo, kYes, kCannotJudge };

struct Line {
  Marker marker = Marker::kNone;
  std::string_view hosts;
  std::string_view keyType;
  std::string_view keyBase64;
};

// Where each kind of verdict was first seen; no file while it was not.
struct Found {
  const std::string* file = nullptr;
  int line = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view NextField(std::string_view* rest) {
  size_t start = 0;
  while (start < rest->size() && IsBlank((*rest)[start])) ++start;
  size_t end = start;
  while (end < rest->size() && !IsBlank((*rest)[end])) ++end;
  const std::string_view field = rest->substr(start, end - start);
  rest->remove_prefix(end);
  return field;
}

std::string EncodeBase64(const uint8_t* bytes, size_t size) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t group = (uint32_t{bytes[i]} << 16) |
                           (i + 1 < size ? uint32_t{bytes[i + 1]} << 8 : 0) |
                           (i + 2 < size ? uint32_t{bytes[i + 2]} : 0);
    text.push_back(kDigits[(group >> 18) & 63]);
    text.push_back(kDigits[(group >> 12) & 63]);
    text.push_back(i + 1 < size ? kDigits[(group >> 6) & 63] : '=');
    text.push_back(i + 2 < size ? kDigits[group & 63] : '=');
  }
  return text;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with its padding; white space inside is skipped, as
// OpenSSH's decoder does (a stray CR before a comment stays harmless).
bool DecodeBase64(std::string_view text, std::string* out) {
  out->clear();
  uint32_t bits = 0;
  int held = 0;      // characters in the current group of four
  int padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') continue;
    if (c == '=') {
      if (held < 2 || ++padding + held > 4) return false;
      continue;
    }
    const int value = Base64Value(c);
    if (value < 0 || padding > 0) return false;
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (++held == 4) {
      out->push_back(static_cast<char>(bits >> 16));
      out->push_back(static_cast<char>(bits >> 8));
      out->push_back(static_cast<char>(bits));
      bits = 0;
      held = 0;
    }
  }
  if (padding > 0) {
    if (held + padding != 4) return false;
    if (held == 2) out->push_back(static_cast<char>(bits >> 4));
    if (held == 3) {
      out->push_back(static_cast<char>(bits >> 10));
      out->push_back(static_cast<char>(bits >> 2));
    }
    return true;
  }
  return held == 0;
}

// A public key blob starts with its type name as an SSH string.
bool BlobOfType(const std::string& blob, std::string_view type) {
  if (blob.size() < 4) return false;
  const uint32_t length = static_cast<uint32_t>(static_cast<uint8_t>(blob[0])) << 24 |
                          static_cast<uint32_t>(static_cast<uint8_t>(blob[1])) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(blob[2])) << 8 |
                          static_cast<uint32_t>(static_cast<uint8_t>(blob[3]));
  return length == type.size() && blob.size() > 4 + static_cast<size_t>(length) &&
         std::string_view(blob).substr(4, length) == type;
}

// The key on a line: its blob, when the line holds a type and a blob of
// that type.
bool ReadKey(const Line& line, std::string* blob) {
  return !line.keyType.empty() && !line.keyBase64.empty() &&
         DecodeBase64(line.keyBase64, blob) && BlobOfType(*blob, line.keyType);
}


// Glob match with * and ?, without case. Iterative, so no pattern makes it
// slow: after a mismatch only the last * is widened.
bool GlobMatch(std::string_view name, std::string_view pattern) {
  size_t n = 0;
  size_t p = 0;
  size_t starP = std::string_view::npos;
  size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == name[n])) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// |1|base64(salt)|base64(HMAC-SHA1 of the name under the salt).
HostMatch HashedMatch(const std::string& name, std::string_view field) {
  if (field.substr(0, 3) != "|1|") return HostMatch::kCannotJudge;
  field.remove_prefix(3);
  const size_t bar = field.find('|');
  if (bar == std::string_view::npos) return HostMatch::kCannotJudge;
  std::string salt;
  std::string hash;
  if (!DecodeBase64(field.substr(0, bar), &salt) || !DecodeBase64(field.substr(bar + 1), &hash) ||
      salt.size() != 20 || hash.size() != 20) {
    return HostMatch::kCannotJudge;
  }
  const Sha1Digest digest =
      HmacSha1(reinterpret_cast<const uint8_t*>(salt.data()), salt.size(),
               reinterpret_cast<const uint8_t*>(name.data()), name.size());
  return hash.compare(0, hash.size(), reinterpret_cast<const char*>(digest.data()),
                      digest.size()) == 0
             ? HostMatch::kYes
             : HostMatch::kNo;
}

HostMatch MatchHosts(const std::string& name, std::string_view hosts) {
  if (hosts.empty()) return HostMatch::kNo;
  if (hosts[0] == '|') return HashedMatch(name, hosts);
  return PatternListMatch(name, hosts) ? HostMatch::kYes : HostMatch::kNo;
}

// Splits one line; false for blank lines and comments.
bool ParseLine(std::string_view text, Line* line) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string_view rest = text;
  std::string_view field = NextField(&rest);
  if (field.empty() || field[0] == '#') return false;
  *line = Line();
  if (field[0] == '@') {
    line->marker = field == "@revoked"          ? Marker::kRevoked
                   : field == "@cert-authority" ? Marker::kCertAuthority
                                                : Marker::kUnknown;
    field = NextField(&rest);
  }
  line->hosts = field;
  line->keyType = NextField(&rest);
  line->keyBase64 = NextField(&rest);
  return true;
}

void Note(Found* found, const std::string& file, int line) {
  if (found->file != nullptr) return;
  found->file = &file;
  found->line = line;
}

// Calls visit(file, lineNumber, line) for every line that is not blank or a
// comment.
template <typename Visit>
void ForEachLine(const KnownHostsText& file, Visit visit) {
  std::string_view text = file.text;
  int number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    Line line;
    if (ParseLine(raw, &line)) visit(number, line);
  }
}

}  // namespace

std::string KnownHostsName(const std::string& host, int port) {
  std::string name;
  for (char c : host) name.push_back(Lower(c));
  if (port == 22) return name;
  return "[" + name + "]:" + std::to_string(port);
}

HostKeyVerdict CheckHostKey(const std::vector<KnownHostsText>& files, const std::string& host,
                            int port, const std::string& keyType, const std::string& keyBase64) {
  std::string serverBlob;
  if (!DecodeBase64(keyBase64, &serverBlob) || !BlobOfType(serverBlob, keyType)) {
    return HostKeyVerdict{HostKeyStatus::kUnreadable, std::string(), 0};
  }
  const std::string name = KnownHostsName(host, port);
  Found revoked, unreadable, known, changed, certAuthority, otherType;
  for (const KnownHostsText& file : files) {
    if (!file.readable) {
      Note(&unreadable, file.path, 0);
      continue;
    }
    ForEachLine(file, [&](int number, const Line& line) {
      std::string blob;
      const bool keyRead = ReadKey(line, &blob);
      if (line.marker == Marker::kRevoked) {
        // A revoked key is refused for every host, so a revoked key that
        // cannot be read might be this one.
        if (!keyRead) {
          Note(&unreadable, file.path, number);
        } else if (blob == serverBlob) {
          Note(&revoked, file.path, number);
        }
        return;
      }
      const HostMatch match = MatchHosts(name, line.hosts);
      if (match == HostMatch::kNo) return;
      if (match == HostMatch::kCannotJudge || line.marker == Marker::kUnknown) {
        Note(&unreadable, file.path, number);
      } else if (line.marker == Marker::kCertAuthority) {
        Note(&certAuthority, file.path, number);
      } else if (!keyRead) {
        Note(&unreadable, file.path, number);
      } else if (line.keyType != keyType) {
        Note(&otherType, file.path, number);
      } else if (blob == serverBlob) {
        Note(&known, file.path, number);
      } else {
        Note(&changed, file.path, number);
      }
    });
  }
  // Refusals that no listing can outweigh come first; then any line with
  // this very key; then what contradicts it.
  const struct {
    const Found& found;
    HostKeyStatus status;
  } kOrder[] = {
      {revoked, HostKeyStatus::kRevoked},
      {unreadable, HostKeyStatus::kUnreadable},
      {known, HostKeyStatus::kKnown},
      {changed, HostKeyStatus::kChanged},
      {certAuthority, HostKeyStatus::kCertAuthority},
      {otherType, HostKeyStatus::kOtherType},
  };
  for (const auto& entry : kOrder) {
    const Found& found = entry.found;
    if (found.file != nullptr) return HostKeyVerdict{entry.status, *found.file, found.line};
  }
  return HostKeyVerdict{};
}

std::vector<std::string> KnownHostKeyTypes(const std::vector<KnownHostsText>& files,
                                           const std::string& host, int port) {
  const std::string name = KnownHostsName(host, port);
  std::vector<std::string> types;
  for (const KnownHostsText& file : files) {
    if (!file.readable) continue;
    ForEachLine(file, [&](int, const Line& line) {
      std::string blob;
      if (line.marker != Marker::kNone || MatchHosts(name, line.hosts) != HostMatch::kYes ||
          !ReadKey(line, &blob)) {
        return;
      }
      for (const std::string& type : types) {
        if (type == line.keyType) return;
      }
      types.emplace_back(line.keyType);
    });
  }
  return types;
}

std::vector<KnownHostsText> ReadKnownHostsFiles(const std::vector<std::string>& paths) {
  std::vector<KnownHostsText> files;
  for (const std::string& path : paths) {
    KnownHostsText file;
    file.path = path;
    // A missing file lists nothing; one that is there but cannot be read
    // (closed to us, not a regular file, too large) may list the host.
    file.readable =
        ReadSmallFileShared(path, kSshFileMaxBytes, &file.text) != SmallFileStatus::kUnreadable;
    if (!file.readable) file.text.clear();
    files.push_back(std::move(file));
  }
  return files;
}

bool PatternListMatch(std::string_view name, std::string_view list) {
  bool positive = false;
  for (;;) {
    const size_t comma = list.find(',');
    std::string_view pattern = list.substr(0, comma);
    const bool negated = !pattern.empty() && pattern[0] == '!';
    if (negated) pattern.remove_prefix(1);
    if (GlobMatch(name, pattern)) {
      if (negated) return false;
      positive = true;
    }
    if (comma == std::string_view::npos) return positive;
    list.remove_prefix(comma + 1);
  }
}

std::string KnownHostsEntry(const std::string& host, int port, const std::string& keyType,
                            const std::string& keyBase64, const uint8_t* salt) {
  std::string name = KnownHostsName(host, port);
  if (salt != nullptr) {
    const Sha1Digest digest = HmacSha1(salt, kHashSaltBytes,
                                       reinterpret_cast<const uint8_t*>(name.data()), name.size());
    name = "|1|" + EncodeBase64(salt, kHashSaltBytes) + "|" +
           EncodeBase64(digest.data(), digest.size());
  }
  return name + " " + keyType + " " + keyBase64 + "\n";
}

bool HostKeyAccepted(const HostKeyVerdict& verdict) {
  return verdict.status == HostKeyStatus::kKnown || verdict.status == HostKeyStatus::kUnknown;
}

std::string HostKeyReason(const HostKeyVerdict& verdict) {
  const std::string where = verdict.file + " line " + std::to_string(verdict.line);
  switch (verdict.status) {
    case HostKeyStatus::kKnown:
    case HostKeyStatus::kUnknown:
      return std::string();
    case HostKeyStatus::kChanged:
      return "the router's host key has changed: " + where;
    case HostKeyStatus::kOtherType:
      return "the router's host key is of another type than listed: " + where;
    case HostKeyStatus::kRevoked:
      return "the router's host key is revoked: " + where;
    case HostKeyStatus::kCertAuthority:
      return "the router's host key is unverifiable, a certificate authority is listed: " + where;
    case HostKeyStatus::kUnreadable:
      if (verdict.file.empty()) return "the router's host key cannot be read";
      if (verdict.line == 0) {
        return "the router's host key is unverifiable, a known_hosts file cannot be read: " +
               verdict.file;
      }
      return "the router's host key is unverifiable, an entry cannot be read: " + where;
  }
  return std::string();
}

KnownHostsText RevokedKeysAsKnownHosts(const KnownHostsText& file) {
  KnownHostsText out{file.path, file.readable, std::string()};
  std::string_view text = file.text;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string_view::npos && line[first] != '#') out.text += "@revoked * ";
    out.text += line;
    out.text += '\n';
  }
  return out;
}

bool IsKeyRevocationList(std::string_view text) {
  static constexpr char kMagic[] = "SSHKRL\n";
  return text.size() >= 8 && text.substr(0, 7) == kMagic && text[7] == '\0';
}
