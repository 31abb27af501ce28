// Nanoseconds per conversion of typical and worst-case texts.
#include <benchmark/benchmark.h>

#include <string>

#include "base/numbers.h"

namespace {

void BM_TextToNumber(benchmark::State& state, const char* text) {
  SetFloatingPointMode();
  const std::string input = text;
  for (auto _ : state) {
    benchmark::DoNotOptimize(TextToNumber(input));
  }
}
BENCHMARK_CAPTURE(BM_TextToNumber, port, "22");
BENCHMARK_CAPTURE(BM_TextToNumber, blanks_and_sign, " \t+8022");
BENCHMARK_CAPTURE(BM_TextToNumber, fraction, "22.49");
BENCHMARK_CAPTURE(BM_TextToNumber, eighteen_digits, "123456789.012345678");
BENCHMARK_CAPTURE(BM_TextToNumber, many_digits, "1234567890123456789012345678901");
BENCHMARK_CAPTURE(BM_TextToNumber, large_power, "1.2345678901234567e4900");
BENCHMARK_CAPTURE(BM_TextToNumber, denormal, "1e-4932");
BENCHMARK_CAPTURE(BM_TextToNumber, based, "&HFFFF&");

void BM_PortFromText(benchmark::State& state, const char* text) {
  SetFloatingPointMode();
  const std::string input = text;
  for (auto _ : state) {
    benchmark::DoNotOptimize(PortFromText(input));
  }
}
BENCHMARK_CAPTURE(BM_PortFromText, port, "22");
BENCHMARK_CAPTURE(BM_PortFromText, overlong, "0000000000000000000000000000000000000022");
BENCHMARK_CAPTURE(BM_PortFromText, based, "&H16");

}  // namespace

BENCHMARK_MAIN();
