#include "session/ssh_config.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "base/numbers.h"
#include "session/ssh_files.h"

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
bool MatchLineMatches(Reading* reading, const std::vector<std::string>& args, int lineNumber,
                      const std::string& path) {
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
      reading->config.error = path + " line " + std::to_string(lineNumber) +
                              ": Match " + criterion + " needs an argument";
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
        reading->config.error = path + " line " + std::to_string(lineNumber) +
                                ": unknown Match criterion " + criterion;
        return false;
      }
    }
    if (holds == negated) all = false;
  }
  return all;
}

bool FirstTime(Reading* reading, const std::string& keyword) {
  if (Contains(reading->seen, keyword)) return false;
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

// One option line inside a block that applies. False when its value is bad.
bool TakeOption(Reading* reading, const std::string& keyword,
                const std::vector<std::string>& args) {
  SshConfig& config = reading->config;
  const std::string& value = args[0];
  if (keyword == "hostname") {
    if (FirstTime(reading, keyword)) {
      config.hostName = ExpandTokens(*reading, value);
      reading->hostNameSet = true;
    }
  } else if (keyword == "user") {
    if (FirstTime(reading, keyword)) config.user = value;
  } else if (keyword == "port") {
    int64_t port = 0;
    if (!ParseDecimal(value, 1, 65535, &port)) return false;
    if (FirstTime(reading, keyword)) config.port = static_cast<int>(port);
  } else if (keyword == "hostkeyalgorithms") {
    SetAlgorithms(reading, keyword, value, &config.hostKeyAlgorithms, kDefaultHostKeyAlgorithms);
  } else if (keyword == "kexalgorithms") {
    SetAlgorithms(reading, keyword, value, &config.kexAlgorithms, kDefaultKexAlgorithms);
  } else if (keyword == "ciphers") {
    SetAlgorithms(reading, keyword, value, &config.ciphers, kDefaultCiphers);
  } else if (keyword == "macs") {
    SetAlgorithms(reading, keyword, value, &config.macs, kDefaultMacs);
  } else if (keyword == "pubkeyacceptedalgorithms" || keyword == "pubkeyacceptedkeytypes") {
    SetAlgorithms(reading, "pubkeyacceptedalgorithms", value, &config.pubkeyAcceptedAlgorithms,
                  kDefaultPubkeyAcceptedAlgorithms);
  } else if (keyword == "identityfile") {
    // Every IdentityFile line counts, in order, as in ssh.
    config.identityFiles.push_back(ExpandTokens(*reading, value));
  } else if (keyword == "identitiesonly") {
    bool only = false;
    if (!ParseYesNo(value, &only)) return false;
    if (FirstTime(reading, keyword)) config.identitiesOnly = only;
  } else if (keyword == "userknownhostsfile" || keyword == "globalknownhostsfile") {
    if (!FirstTime(reading, keyword)) return true;
    std::vector<std::string>* files = keyword == "userknownhostsfile"
                                          ? &config.userKnownHostsFiles
                                          : &config.globalKnownHostsFiles;
    for (const std::string& arg : args) {
      // "none" names no file: nothing is known from there.
      files->push_back(LowerText(arg) == "none" ? NullPath() : ExpandTokens(*reading, arg));
    }
  } else if (keyword == "stricthostkeychecking") {
    const std::string lower = LowerText(value);
    StrictHostKeyChecking strict;
    // "ask" has nobody to ask in a scheduled run: as "yes", as ssh in batch mode.
    if (lower == "yes" || lower == "true" || lower == "ask") {
      strict = StrictHostKeyChecking::kYes;
    } else if (lower == "accept-new") {
      strict = StrictHostKeyChecking::kAcceptNew;
    } else if (lower == "no" || lower == "off" || lower == "false") {
      strict = StrictHostKeyChecking::kNo;
    } else {
      return false;
    }
    if (FirstTime(reading, keyword)) config.strictHostKeyChecking = strict;
  } else if (keyword == "hashknownhosts") {
    bool hashed = false;
    if (!ParseYesNo(value, &hashed)) return false;
    if (FirstTime(reading, keyword)) config.hashKnownHosts = hashed;
  } else if (keyword == "connecttimeout") {
    int64_t seconds = 0;
    if (LowerText(value) != "none" && !ParseDecimal(value, 0, 1000000, &seconds)) return false;
    if (FirstTime(reading, keyword)) config.connectTimeoutSeconds = static_cast<int>(seconds);
  } else if (keyword == "proxycommand" || keyword == "proxyjump") {
    // One of the two: whichever comes first.
    if (Contains(reading->seen, "proxy")) return true;
    reading->seen.push_back("proxy");
    std::string text;
    for (const std::string& arg : args) {
      if (!text.empty()) text += ' ';
      text += arg;
    }
    if (LowerText(text) == "none") return true;
    (keyword == "proxycommand" ? config.proxyCommand : config.proxyJump) = text;
  }
  return true;
}

void ReadLine(Reading* reading, const std::string& keyword, const std::vector<std::string>& args,
              const std::string& path, int lineNumber, const std::string& includeFolder,
              int depth, bool* active) {
  SshConfig& config = reading->config;
  const std::string where = path + " line " + std::to_string(lineNumber);
  if (keyword == "host") {
    *active = HostLineMatches(args, LowerText(reading->target->host));
    return;
  }
  if (keyword == "match") {
    *active = MatchLineMatches(reading, args, lineNumber, path);
    return;
  }
  if (!*active) return;
  if (keyword == "include") {
    if (depth >= kMaxIncludeDepth) {
      config.error = where + ": Include nested too deeply";
      return;
    }
    for (const std::string& arg : args) {
      std::string pattern = ExpandTokens(*reading, arg);
      if (!IsAbsolute(pattern)) pattern = includeFolder + PathSeparator() + pattern;
      for (const KnownHostsText& file : reading->reader(pattern)) {
        // Blocks in the included file end with it.
        ReadText(reading, file, includeFolder, depth + 1);
        if (!config.error.empty()) return;
      }
    }
    return;
  }
  if (!TakeOption(reading, keyword, args)) {
    config.error = where + ": bad value for " + keyword + ": " + args[0];
  }
}

void ReadText(Reading* reading, const KnownHostsText& file, const std::string& includeFolder,
              int depth) {
  if (!file.readable) {
    reading->config.error = file.path + " cannot be read";
    return;
  }
  bool active = true;
  std::string_view text = file.text;
  std::string keyword;
  std::vector<std::string> args;
  for (int lineNumber = 1; !text.empty() && reading->config.error.empty(); ++lineNumber) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!SplitLine(line, &keyword, &args)) {
      reading->config.error =
          file.path + " line " + std::to_string(lineNumber) + ": a quote is not closed";
      return;
    }
    if (keyword.empty()) continue;
    if (args.empty()) {
      reading->config.error =
          file.path + " line " + std::to_string(lineNumber) + ": " + keyword + " has no value";
      return;
    }
    ReadLine(reading, keyword, args, file.path, lineNumber, includeFolder, depth, &active);
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
  return reading.config;
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
