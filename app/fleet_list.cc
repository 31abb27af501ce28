#include "app/fleet_list.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "base/address_text.h"
#include "base/numbers.h"
#include "base/wipe.h"

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Reads one line's parameters into router; on a refused one, says why.
bool ReadRouterLine(std::string_view line, FleetRouter* router,
                    std::string* reason) {
  struct Field {
    std::string_view prefix;
    std::string* value;
    bool seen;
  };
  std::string ignoredVerbose;
  Field fields[] = {{"/user:", &router->user, false},
                    {"/pw:", &router->password, false},
                    {"/port:", &router->port, false},
                    {"/v:", &ignoredVerbose, false},
                    {"/ip:", &router->address, false}};
  std::vector<std::string> params;
  bool read = SplitListLine(line, &params, reason);
  for (size_t i = 0; read && i < params.size(); ++i) {
    const std::string& param = params[i];
    const int n = static_cast<int>(i) + 1;
  Field* match = nullptr;
    for (Field& field : fields) {
      if (StartsWith(param, field.prefix)) match = &field;
    }
    if (match == nullptr) {
      // The parameter may be a password written without its prefix: only
      // its position is named.
      *reason = "parameter " + std::to_string(n) +
                " has no known prefix (a value with spaces goes in quotes: /pw:\"two words\")";
      read = false;
    } else if (match->seen) {
      *reason = std::string(match->prefix) + " given twice";
      read = false;
    } else {
      match->seen = true;
      // Made in place, off the inline buffer (see SplitListLine).
      match->value->reserve(std::max<size_t>(param.size(), 32));
      match->value->assign(param, match->prefix.size());
    }
  }
  for (std::string& param : params) Wipe(&param);
  if (!read) return false;
  // /user: and /port: may be left out, as the single command's may be
  // empty: the SSH configuration's User and Port, or ssh's defaults, apply.
  for (const Field& field : fields) {
    if (!field.seen && (field.prefix == "/pw:" || field.prefix == "/ip:")) {
      *reason = std::string(field.prefix) + " missing";
      return false;
    }
  }
  // The port and the lengths are judged as the single command judges them,
  // so that a line refused there is refused here before any router is
  // contacted, and two spellings of one port are one router.
  const struct {
    std::string_view name;
    const std::string& value;
    size_t most;
  } lengths[] = {{"/user:", router->user, 127},
                 {"/pw:", router->password, 127},
                 {"/port:", router->port, 31},
                 {"/ip:", router->address, 127}};
  for (const auto& length : lengths) {
    if (length.value.size() > length.most) {
      *reason = std::string(length.name) + " is longer than " +
                std::to_string(length.most) + " bytes";
      return false;
    }
  }
  int32_t port = PortFromText(router->port);
  if (port == 0) port = 22;
  if (port < 1 || port > 65535) {
    *reason = "port \"" + router->port + "\" is not 1 to 65535";
    return false;
  }
  router->portNumber = port;
  if (router->address.empty()) {
    *reason = "/ip: is empty";
    return false;
  }
  return true;
}

}  // namespace

bool SplitListLine(std::string_view line, std::vector<std::string>* params,
                   std::string* reason) {
  std::vector<std::string> split;
  size_t i = 0;
  bool closed = true;
  while (closed) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    // Read twice: first to count the parameter's bytes, then into a text
    // made once to that size, off the string's inline buffer, which a
    // move or a growth would leave behind with a short password in it.
    std::string param;
    bool quoted = false;
    bool hadQuote = false;
    const size_t from = i;
    for (int pass = 0; pass < 2; ++pass) {
      size_t length = 0;
      i = from;
      quoted = false;
      hadQuote = false;
      for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
        char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
          ++i;
        } else if (c == '"') {
          quoted = !quoted;
          hadQuote = true;
          continue;
        }
        if (pass == 0) {
          ++length;
        } else {
          param.push_back(c);
        }
      }
      if (pass == 0) param.reserve(std::max<size_t>(length, 32));
    }
    if (quoted) {
      *reason = "a quote is left open (a value with spaces goes in quotes: /pw:\"two words\")";
      closed = false;
    } else if (!param.empty() || !hadQuote) {
      split.push_back(std::move(param));
    }
    Wipe(&param);
  }
  if (!closed) {
    for (std::string& param : split) Wipe(&param);
    return false;
  }
  *params = std::move(split);
  return true;
}

std::string RouterKey(std::string_view address) {
  std::string key = CanonicalAddress(std::string(address));
  // An IPv4 address written as IPv6 reaches the IPv4 router.
  constexpr std::string_view kMapped = "::ffff:";
  if (key.size() > kMapped.size() && key.compare(0, kMapped.size(), kMapped) == 0 &&
      key.find('.') != std::string::npos) {
    key.erase(0, kMapped.size());
  }
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (key.size() > 1 && key.back() == '.') key.pop_back();
  return key;
}

bool ReadFleetList(std::string_view name, std::string_view text,
                   std::vector<FleetRouter>* routers, std::string* error) {
  std::vector<FleetRouter> read;
  std::map<std::pair<std::string, int>, int> seen;  // router and port: its line
  int lineNumber = 0;
  int group = 0;
  size_t start = 0;
  bool ok = true;
  while (ok && start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    if (line.substr(first, line.find_last_not_of(" \t") + 1 - first) == "---") {
      ++group;
      continue;
    }
    FleetRouter router;
    router.line = lineNumber;
    router.group = group;
    // Kept off the string's inline buffer, whose bytes a move copies and
    // leaves behind, so that the one wipe reaches every copy.
    router.text.reserve(std::max<size_t>(line.size(), 32));
    router.text.assign(line);
    std::string reason;
    const std::string where =
        std::string(name) + ":" + std::to_string(lineNumber) + ": ";
    if (!ReadRouterLine(line, &router, &reason)) {
      *error = where + reason;
      ok = false;
    } else if (const auto [at, added] = seen.insert(
                   {{RouterKey(router.address), router.portNumber}, lineNumber});
               !added) {
      *error = where + router.address + " port " + std::to_string(router.portNumber) +
               " is already on line " + std::to_string(at->second);
      ok = false;
    }
    if (ok) {
      read.push_back(std::move(router));
    } else {
      Wipe(&router.password);
      Wipe(&router.text);
    }
  }
  if (ok && read.empty()) {
    *error = std::string(name) + ": the list holds no router";
    ok = false;
  }
  if (!ok) {
    WipeFleetRouters(&read);
    return false;
  }
  *routers = std::move(read);
  return true;
}

void WipeFleetRouters(std::vector<FleetRouter>* routers) {
  for (FleetRouter& router : *routers) {
    Wipe(&router.password);
    Wipe(&router.text);
  }
}

bool ModeIsPrivate(unsigned mode) { return (mode & 077) == 0; }

bool ReadFleetText(std::string_view name,
                   const std::function<long long(char* buffer, size_t size)>& readSome,
                   std::string* text, std::string* error) {
  text->reserve(kFleetListMaxBytes);
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const long long n = readSome(buffer, sizeof buffer);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (text->size() + static_cast<size_t>(n) > kFleetListMaxBytes) {
      ok = false;
      break;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  WipeBytes(buffer, sizeof buffer);
  if (!ok) {
    Wipe(text);
    *error = std::string(name) + ": cannot be read, or holds more than 16 MB";
  }
  return ok;
}

bool FinishFleetList(std::string_view name, std::string* text,
                     std::string_view exposure,
                     std::vector<FleetRouter>* routers, std::string* error) {
  std::vector<FleetRouter> read;
  const bool ok = ReadFleetList(name, *text, &read, error);
  Wipe(text);
  if (!ok) return false;
  bool holdsPassword = false;
  for (const FleetRouter& router : read) {
    if (!router.password.empty()) holdsPassword = true;
  }
  if (holdsPassword && !exposure.empty()) {
    WipeFleetRouters(&read);
    *error = std::string(name) + ": holds passwords but " + std::string(exposure);
    return false;
  }
  *routers = std::move(read);
  return true;
}

std::string_view GroupThatCanRead(bool hasList,
                                  const std::vector<AccessEntry>& entries) {
  if (!hasList) return "Everyone";
  struct Group {
    std::string_view sid;
    std::string_view name;
  };
  static constexpr Group kGroups[] = {
      {"S-1-1-0", "Everyone"},
      {"S-1-5-32-545", "Users"},
      {"S-1-5-11", "Authenticated Users"},
  };
  constexpr unsigned kFileReadData = 0x0001;
  constexpr unsigned kGenericAll = 0x10000000;
  constexpr unsigned kGenericRead = 0x80000000;
  for (const AccessEntry& entry : entries) {
    if (!entry.allows || entry.inheritOnly) continue;
    if ((entry.mask & (kFileReadData | kGenericRead | kGenericAll)) == 0) continue;
    for (const Group& group : kGroups) {
      if (entry.sid == group.sid) return group.name;
    }
  }
  return {};
}
