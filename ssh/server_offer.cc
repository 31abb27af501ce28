#include "ssh/server_offer.h"

#include "base/clock.h"
#include "ssh/socket.h"
#include "ssh/tcp_connect.h"
#include "ssh/version_line.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr unsigned char kMsgKexInit = 20;
constexpr size_t kCookieBytes = 16;
// RFC 4253 makes a client take packets of at least 35000 bytes.
constexpr uint32_t kMaxPacketBytes = 35000;
constexpr char kVersionLine[] = "SSH-2.0-swKicker\r\n";

uint32_t ReadUint32(const std::string& bytes, size_t at) {
  return (uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
         (uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
         (uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
         uint32_t{static_cast<unsigned char>(bytes[at + 3])};
}

// The first of ours the server has and the library can do; empty for none.
std::string FirstShared(const std::string& ours, const std::string& theirs, AlgorithmKind kind,
                        bool (*supported)(AlgorithmKind, const std::string&)) {
  const std::vector<std::string> offered = SplitAlgorithmList(theirs);
  for (const std::string& name : SplitAlgorithmList(ours)) {
    if (std::find(offered.begin(), offered.end(), name) != offered.end() &&
        supported(kind, name)) {
      return name;
    }
  }
  return std::string();
}

struct Connection {
  TcpSocket socket = kNoSocket;
  int64_t deadlineMs = 0;
  int64_t (*nowMs)() = nullptr;
  std::string buffer;  // read and not yet taken
};

// Makes the buffer hold at least count bytes.
bool Fill(Connection* c, size_t count) {
  char chunk[4096];
  while (c->buffer.size() < count) {
    const int64_t left = c->deadlineMs - c->nowMs();
    if (left <= 0) return false;
    if (!WaitSocket(c->socket, false, static_cast<int>(std::min<int64_t>(left, 1000)))) continue;
    const int got = SocketReceive(c->socket, chunk, sizeof chunk);
    if (got == kReceiveAgain) continue;
    if (got <= 0) return false;
    c->buffer.append(chunk, static_cast<size_t>(got));
  }
  return true;
}

std::string Take(Connection* c, size_t count) {
  std::string bytes = c->buffer.substr(0, count);
  c->buffer.erase(0, count);
  return bytes;
}

// Takes the bytes up to and with the server's identification line.
bool SkipToVersionLine(Connection* c) {
  for (;;) {
    size_t end = 0;
    const VersionLineScan scan = FindVersionLine(c->buffer, &end);
    if (scan == VersionLineScan::kFound) {
      Take(c, end);
      return true;
    }
    if (scan == VersionLineScan::kRefused || !Fill(c, c->buffer.size() + 1)) return false;
  }
}

bool ReadKexInitPayload(Connection* c, std::string* payload) {
  if (!Fill(c, 5)) return false;
  const uint32_t length = ReadUint32(c->buffer, 0);
  const unsigned char padding = static_cast<unsigned char>(c->buffer[4]);
  if (length < 1u + padding || length > kMaxPacketBytes || !Fill(c, 4 + size_t{length})) {
    return false;
  }
  const std::string packet = Take(c, 4 + size_t{length});
  *payload = packet.substr(5, length - 1 - padding);
  return true;
}

}  // namespace

std::string Offered(const std::string& list) {
  std::string offered;
  for (const std::string& item : SplitAlgorithmList(list)) {
    if (item.rfind("kex-strict-", 0) == 0 || item.rfind("ext-info-", 0) == 0) continue;
    if (!offered.empty()) offered += ',';
    offered += item;
  }
  return offered;
}

bool ParseKexInit(const std::string& payload, ServerOffer* offer) {
  if (payload.empty() || static_cast<unsigned char>(payload[0]) != kMsgKexInit) return false;
  std::string* const lists[] = {&offer->kex,           &offer->hostKeys,
                                &offer->ciphersToServer, &offer->ciphersFromServer,
                                &offer->macsToServer,  &offer->macsFromServer};
  size_t at = 1 + kCookieBytes;
  for (std::string* list : lists) {
    if (payload.size() < at + 4) return false;
    const uint32_t length = ReadUint32(payload, at);
    at += 4;
    if (payload.size() - at < length) return false;
    *list = payload.substr(at, length);
    at += length;
  }
  return true;
}

std::vector<AlgorithmNeed> AlgorithmNeeds(const ServerOffer& offer, const SshConfig& config,
                                          bool (*supported)(AlgorithmKind kind,
                                                            const std::string& name)) {
  std::vector<AlgorithmNeed> needs;
  const auto check = [&](AlgorithmKind kind, const std::string& ours,
                         const std::string& theirs) {
    if (!FirstShared(ours, theirs, kind, supported).empty()) return;
    for (const AlgorithmNeed& need : needs) {
      if (need.kind == kind) return;
    }
    const std::string offered = Offered(theirs);
    needs.push_back({kind, offered, AlgorithmToAllow(offered, supported, kind)});
  };
  check(AlgorithmKind::kKex, config.kexAlgorithms.list, offer.kex);
  check(AlgorithmKind::kHostKey, config.hostKeyAlgorithms.list, offer.hostKeys);
  check(AlgorithmKind::kCipher, config.ciphers.list, offer.ciphersToServer);
  check(AlgorithmKind::kCipher, config.ciphers.list, offer.ciphersFromServer);
  const std::string cipher = FirstShared(config.ciphers.list, offer.ciphersToServer,
                                         AlgorithmKind::kCipher, supported);
  const bool authenticated = cipher.find("gcm") != std::string::npos ||
                             cipher.find("poly1305") != std::string::npos;
  if (!authenticated) {
    check(AlgorithmKind::kMac, config.macs.list, offer.macsToServer);
    check(AlgorithmKind::kMac, config.macs.list, offer.macsFromServer);
  }
  return needs;
}

bool ReadServerOffer(const std::string& host, int port, int64_t deadlineMs, int64_t (*nowMs)(),
                     ServerOffer* offer) {
  const TcpConnection tcp = TcpConnect(host.c_str(), port, deadlineMs);
  if (!tcp.connected) return false;
  Connection c;
  c.socket = tcp.fd;
  c.deadlineMs = deadlineMs;
  c.nowMs = nowMs;
  std::string payload;
  const bool read = SocketSendAll(c.socket, kVersionLine, deadlineMs) && SkipToVersionLine(&c) &&
                    ReadKexInitPayload(&c, &payload) && ParseKexInit(payload, offer);
  CloseTcpSocket(c.socket);
  return read;
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
// when it shares one of every kind, and the failure was another. The SSH
// library names only the first kind it found nothing common in, and loses
// even that when the router closes the connection before it has read its
// offer: the router's offer is read on a connection of its own (no key
// exchange follows), except through a proxy, where the library's words are
// all there is.
std::string NoSharedAlgorithmText(const SshConfig& config, const std::string& given,
                                  const std::string& hostName, int port, bool direct,
                                  const std::string& libraryText,
                                  bool (*supported)(AlgorithmKind kind, const std::string& name),
                                  int64_t deadlineMs) {
  std::vector<AlgorithmNeed> needs;
  ServerOffer offer;
  if (direct && ReadServerOffer(hostName, port, deadlineMs, MonotonicMs, &offer)) {
    needs = AlgorithmNeeds(offer, config, supported);
  } else {
    AlgorithmNeed need;
    if (KexMismatch(libraryText, &need)) {
      need.allow = AlgorithmToAllow(need.offered, supported, need.kind);
      needs.push_back(need);
    }
  }
  if (needs.empty()) return std::string();
#if defined(_WIN32)
  const char* configPath = "%USERPROFILE%\\.ssh\\config";
#else
  const char* configPath = "~/.ssh/config";
#endif
  return NoSharedAlgorithmReason(given, configPath, needs) + ".";
}
