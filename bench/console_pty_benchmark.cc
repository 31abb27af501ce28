// PrintLine and WriteText through the real terminal code into a
// pseudo-terminal, whose other end a thread reads and drops, so the figure
// includes the escape bytes, the size query and the write() itself.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "console/console.h"
#include "console/terminal.h"
#include "console/terminal_posix.h"

namespace {

constexpr int kWidth = 80;
constexpr int kHeight = 24;

struct Pty {
  int master = -1;
  int slave = -1;
  std::thread drainer;
};

// Opens an 80x24 pty in raw mode and starts draining it; the Console writes
// to its slave end.
bool OpenDrainedPty(Pty* pty) {
  winsize size = {};
  size.ws_col = kWidth;
  size.ws_row = kHeight;
  if (openpty(&pty->master, &pty->slave, nullptr, nullptr, &size) != 0) return false;
  termios modes;
  if (tcgetattr(pty->slave, &modes) == 0) {
    cfmakeraw(&modes);
    tcsetattr(pty->slave, TCSANOW, &modes);
  }
  const int master = pty->master;
  pty->drainer = std::thread([master] {
    char sink[65536];
    // Ends when the slave side is closed (EIO).
    while (read(master, sink, sizeof sink) > 0) {
    }
  });
  TerminalSetup setup;
  setup.output = pty->slave;
  TerminalBegin(setup);
  return true;
}

void ClosePty(Pty* pty) {
  TerminalBegin(TerminalSetup());
  close(pty->slave);
  pty->drainer.join();
  close(pty->master);
}

void LineLengths(benchmark::internal::Benchmark* b) { b->Arg(30)->Arg(80)->Arg(120); }

// Each line starts on the bottom row and scrolls the screen, as in a real run.
void BM_PrintLinePty(benchmark::State& state) {
  Pty pty;
  if (!OpenDrainedPty(&pty)) {
    state.SkipWithError("openpty failed");
    return;
  }
  const std::string line(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    PrintLine(line);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  ClosePty(&pty);
}
BENCHMARK(BM_PrintLinePty)->Apply(LineLengths)->UseRealTime();

void BM_WriteTextPty(benchmark::State& state) {
  Pty pty;
  if (!OpenDrainedPty(&pty)) {
    state.SkipWithError("openpty failed");
    return;
  }
  const std::u16string text(static_cast<size_t>(state.range(0)), u'x');
  for (auto _ : state) {
    // Back to the top each time so the text never scrolls; no write of its
    // own, so one write() per iteration.
    TerminalSetCursor(0, 0);
    Console().wrapPending = false;
    WriteText(text);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  ClosePty(&pty);
}
BENCHMARK(BM_WriteTextPty)->Apply(LineLengths)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
