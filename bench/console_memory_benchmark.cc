// Cost of the Console's own work (wrapping, scrolling, cell staging) with
// no terminal below it: the in-memory screen.
#include <benchmark/benchmark.h>

#include <string>

#include "console/console.h"
#include "testing/memory_screen.h"

namespace {

constexpr int kWidth = 80;
constexpr int kHeight = 24;

// Line lengths: a short message, one that fills the row exactly, and one that
// wraps onto a second row.
void LineLengths(benchmark::internal::Benchmark* b) { b->Arg(30)->Arg(80)->Arg(120); }

void BM_PrintLine(benchmark::State& state) {
  MemoryScreenReset(kWidth, kHeight, false);
  const std::string line(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    // Back to the top before the bottom row is reached: no scrolling.
    if (MemoryScreenCursorY() >= kHeight - 3) MemoryScreenSetCursor(0, 0);
    PrintLine(line);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PrintLine)->Apply(LineLengths);

// Every line on the bottom row, so each one scrolls the screen. The memory
// screen keeps every row that leaves the top, hence the fixed count.
void BM_PrintLineScrolling(benchmark::State& state) {
  MemoryScreenReset(kWidth, kHeight, false);
  const std::string line(static_cast<size_t>(state.range(0)), 'x');
  MemoryScreenSetCursor(0, kHeight - 1);
  for (auto _ : state) {
    PrintLine(line);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PrintLineScrolling)->Apply(LineLengths)->Iterations(100000);

void BM_WriteText(benchmark::State& state) {
  MemoryScreenReset(kWidth, kHeight, false);
  const std::u16string text(static_cast<size_t>(state.range(0)), u'x');
  for (auto _ : state) {
    // Back to the row start each time so the text never scrolls.
    MemoryScreenSetCursor(0, 0);
    Console().wrapPending = false;
    WriteText(text);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteText)->Apply(LineLengths);

}  // namespace

BENCHMARK_MAIN();
