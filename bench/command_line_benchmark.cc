// Nanoseconds per parameter read from a typical command line, and per
// prefix removal.
#include <benchmark/benchmark.h>

#include <string>

#include "app/command_line.h"

namespace {

char kProgram[] = "swKicker";
char kUser[] = "/user:admin";
char kPassword[] = "/pw:yourSecret";
char kPort[] = "/port:22";
char kVerbose[] = "/v:y";
char kAddress[] = "/ip:192.168.88.1";
char* kArgv[] = {kProgram, kUser, kPassword, kPort, kVerbose, kAddress, nullptr};

void BM_CommandParam(benchmark::State& state) {
  SetCommandLine(6, kArgv);
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(CommandParam(n));
  }
}
// 0: the whole tail; 1 and 5: the first and last value; 6: past the end.
BENCHMARK(BM_CommandParam)->Arg(0)->Arg(1)->Arg(5)->Arg(6);

void BM_StripPrefix(benchmark::State& state, const char* value, const char* prefix) {
  const std::string text = value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(StripPrefix(text, prefix));
  }
}
BENCHMARK_CAPTURE(BM_StripPrefix, address, "/ip:192.168.88.1", "/ip:");
BENCHMARK_CAPTURE(BM_StripPrefix, absent, "192.168.88.1", "/ip:");
BENCHMARK_CAPTURE(BM_StripPrefix, repeated, "/pw:/pw:/pw:/pw:secret/pw:", "/pw:");
// Worst case for a naive search: a long value of near-matches.
BENCHMARK_CAPTURE(BM_StripPrefix, near_misses,
                  "/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/p/pw:x",
                  "/pw:");

}  // namespace

BENCHMARK_MAIN();
