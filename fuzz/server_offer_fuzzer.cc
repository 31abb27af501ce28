// The reader of a router's first key exchange message (KEXINIT), network
// input, on arbitrary bytes: a payload is read only when its six lists lie
// whole inside it, and a message built from the lists it read reads back
// the same; the lists without their markers hold only names the router
// offered; and what is missing against this side's lists is judged without
// fault, each kind once.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "ssh/server_offer.h"
#include "ssh_files/ssh_config.h"

namespace {

constexpr unsigned char kMsgKexInit = 20;
constexpr size_t kCookieBytes = 16;

std::string Uint32(size_t value) {
  std::string bytes;
  for (int shift = 24; shift >= 0; shift -= 8) {
    bytes += static_cast<char>((value >> shift) & 0xFF);
  }
  return bytes;
}

bool Listed(const std::string& list, const std::string& name) {
  return ("," + list + ",").find("," + name + ",") != std::string::npos;
}

// What an SSH library on this side might do: a fixed few names.
bool Supported(AlgorithmKind, const std::string& name) {
  return name == "ssh-rsa" || name == "diffie-hellman-group14-sha1" || name == "aes128-cbc" ||
         name == "hmac-sha1" || name == "curve25519-sha256" || name == "ssh-ed25519";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool framed = input.ConsumeBool();
  std::string payload = input.ConsumeRemainingBytesAsString();
  // Most inputs are given the message number and a cookie, so the lists
  // are reached.
  if (framed) payload = std::string(1, static_cast<char>(kMsgKexInit)) + std::string(kCookieBytes, 'c') + payload;

  ServerOffer offer;
  if (!ParseKexInit(payload, &offer)) return 0;
  FUZZ_CHECK(static_cast<unsigned char>(payload[0]) == kMsgKexInit);
  const std::string* lists[] = {&offer.kex,          &offer.hostKeys,
                                &offer.ciphersToServer, &offer.ciphersFromServer,
                                &offer.macsToServer, &offer.macsFromServer};
  std::string rebuilt = payload.substr(0, 1 + kCookieBytes);
  for (const std::string* list : lists) rebuilt += Uint32(list->size()) + *list;
  FUZZ_CHECK(rebuilt.size() <= payload.size());
  FUZZ_CHECK(payload.compare(0, rebuilt.size(), rebuilt) == 0);
  ServerOffer again;
  FUZZ_CHECK(ParseKexInit(rebuilt, &again));
  FUZZ_CHECK(again.kex == offer.kex && again.macsFromServer == offer.macsFromServer);

  for (const std::string* list : lists) {
    const std::string offered = Offered(*list);
    size_t start = 0;
    while (start <= offered.size() && !offered.empty()) {
      size_t end = offered.find(',', start);
      if (end == std::string::npos) end = offered.size();
      FUZZ_CHECK(Listed(*list, offered.substr(start, end - start)));
      start = end + 1;
    }
  }
  const std::vector<AlgorithmNeed> needs = AlgorithmNeeds(offer, SshConfig(), Supported);
  for (size_t i = 0; i < needs.size(); ++i) {
    for (size_t j = i + 1; j < needs.size(); ++j) FUZZ_CHECK(needs[i].kind != needs[j].kind);
    FUZZ_CHECK(needs[i].allow.empty() || Listed(needs[i].offered, needs[i].allow));
  }
  return 0;
}
