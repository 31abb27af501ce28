// The known_hosts reader on arbitrary file text: it always ends with a
// verdict that names a real line, refuses with a reason exactly when it does
// not accept, reads two files as one file would, and a later line never
// clears an earlier revoked key or unreadable entry.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ssh_files/known_hosts.h"

namespace {

// ed25519 public key blobs filled with 0x11 and 0x22 bytes.
const char kServerKey[] = "AAAAC3NzaC1lZDI1NTE5AAAAIBERERERERERERERERERERERERERERERERERERERERER";
const char kOtherKey[] = "AAAAC3NzaC1lZDI1NTE5AAAAICIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIi";

struct Host {
  const char* name;
  int port;
};
constexpr Host kHosts[] = {
    {"127.0.0.1", 22}, {"127.0.0.1", 2222}, {"router.lan", 22}, {"Router.LAN", 2222}};

int LineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

HostKeyVerdict Check(const std::vector<KnownHostsText>& files, const Host& host,
                     const char* key) {
  const HostKeyVerdict verdict = CheckHostKey(files, host.name, host.port, "ssh-ed25519", key);
  if (verdict.status == HostKeyStatus::kUnknown) {
    FUZZ_CHECK(verdict.file.empty() && verdict.line == 0);
  } else {
    bool named = false;
    for (const KnownHostsText& file : files) {
      if (file.path != verdict.file) continue;
      named = true;
      FUZZ_CHECK(verdict.line >= 1 && verdict.line <= LineCount(file.text));
    }
    FUZZ_CHECK(named);
  }
  FUZZ_CHECK(HostKeyReason(verdict).empty() == HostKeyAccepted(verdict));
  return verdict;
}

bool Final(HostKeyStatus status) {
  return status == HostKeyStatus::kRevoked || status == HostKeyStatus::kUnreadable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const Host& host = kHosts[input.ConsumeIntegralInRange<size_t>(0, 3)];
  const char* key = input.ConsumeBool() ? kServerKey : kOtherKey;
  const size_t split = input.ConsumeIntegral<uint16_t>();
  const std::string text = input.ConsumeRemainingBytesAsString();
  const std::string first = text.substr(0, std::min(split, text.size()));
  const std::string second = text.substr(first.size());

  Check({{"one", true, text}}, host, key);
  const HostKeyVerdict firstOnly = Check({{"one", true, first}}, host, key);
  // Two files count as one file holding both, with a line break between.
  const HostKeyVerdict two = Check({{"a", true, first}, {"b", true, second}}, host, key);
  const HostKeyVerdict joined = Check({{"one", true, first + "\n" + second}}, host, key);
  FUZZ_CHECK(two.status == joined.status);
  if (Final(firstOnly.status)) FUZZ_CHECK(Final(two.status));
  if (firstOnly.status == HostKeyStatus::kRevoked) FUZZ_CHECK(two.status == HostKeyStatus::kRevoked);
  if (firstOnly.status != HostKeyStatus::kUnknown) FUZZ_CHECK(two.status != HostKeyStatus::kUnknown);
  KnownHostKeyTypes({{"one", true, text}}, host.name, host.port);
  return 0;
}
