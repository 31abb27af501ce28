// The SSH configuration reader on arbitrary file text, with Include served
// from the same bytes: it always ends, an error names one of the files read
// and a line that file has, and a configuration without an error holds
// values ssh would take.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ssh_files/ssh_config.h"

namespace {

std::string g_included;

// Every Include pattern reads the one fuzzed file (at most 16 deep, which
// the reader bounds).
std::vector<KnownHostsText> ReadIncluded(const std::string&) {
  return {{"/inc/x.conf", true, g_included}};
}

int LineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  static const char* const kHosts[] = {"r1", "10.0.0.1", "Router.LAN", "gw"};
  SshConfigTarget target;
  target.host = kHosts[input.ConsumeIntegralInRange<int>(0, 3)];
  target.user = input.ConsumeBool() ? "admin" : "";
  target.localUser = "root";
  target.home = "/home/admin";
  target.userFolder = "/home/admin/.ssh";
  target.systemFolder = "/etc/ssh";
  const std::string user = input.ConsumeRandomLengthString(4096);
  const std::string system = input.ConsumeRandomLengthString(4096);
  g_included = input.ConsumeRemainingBytesAsString();
  const KnownHostsText files[] = {{"/home/admin/.ssh/config", true, user},
                                  {"/etc/ssh/ssh_config", true, system},
                                  {"/inc/x.conf", true, g_included}};
  const SshConfig config = ParseSshConfig(files[0], files[1], target, ReadIncluded);
  if (!config.error.empty()) {
    bool named = false;
    for (const KnownHostsText& file : files) {
      const std::string prefix = file.path + ":";
      if (config.error.rfind(prefix, 0) != 0) continue;
      named = true;
      const int line = std::atoi(config.error.c_str() + prefix.size());
      FUZZ_CHECK(line >= 1 && line <= LineCount(file.text));
    }
    FUZZ_CHECK(named);
    return 0;
  }
  FUZZ_CHECK(config.port >= 0 && config.port <= 65535);
  FUZZ_CHECK(config.password.allowed == config.password.excludedBy.empty());
  FUZZ_CHECK(config.keyboardInteractive.allowed == config.keyboardInteractive.excludedBy.empty());
  return 0;
}
