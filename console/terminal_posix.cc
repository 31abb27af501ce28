// The Console's cells on a POSIX terminal: cursor addressing, SGR colours
// and the locale's encoding on the output descriptor, keys from /dev/tty,
// the keyboard's modes, and the terminal given back whenever the program
// stops or ends: with the keys it read ahead and without an answer it still
// owed.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "base/clock.h"
#include "base/text_codec.h"
#include "console/terminal.h"
#include "console/terminal_bytes.h"
#include "console/terminal_posix.h"

namespace {

// How long the terminal gets to answer the cursor question before the run
// goes on with plain lines. tmux and xterm answer within a millisecond; a
// slow link needs its round trip.
constexpr int kCursorReplyMs = 1000;
// How long after the question its answer may still come. An answer owed
// when the terminal is given back is waited for until then and taken out,
// so the shell never reads it as typed text.
constexpr int kLateReplyMs = 2500;
// After an Esc byte, how long to wait for the rest of an escape sequence
// before taking it as the Esc key alone.
constexpr int kEscapePauseMs = 50;
// Screen size of a terminal that reports none.
constexpr int kFallbackWidth = 80;
constexpr int kFallbackHeight = 24;

constexpr char kTakeScreen[] = "\x1b[?7l";  // the Console wraps, not the terminal
constexpr char kCursorQuestion[] = "\x1b[6n";
constexpr char kRestoreBytes[] = "\x1b[0m\x1b[?7h";

// Stop signals first; all four are held back outside the terminal's waits.
constexpr int kJobSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr int kJobSignalCount = sizeof kJobSignals / sizeof(int);

struct PosixTerminal {
  // The descriptors. TerminalRestoreFromSignal reads them too: plain ints,
  // set before they matter.
  int output = -1;
  int input = -1;
  bool rawKeys = false;
  bool interruptKeyStops = false;  // Ctrl+C a signal even with raw keys
  bool outputIsKeyboard = false;
  bool plain = false;        // plain lines: no escape sequences
  bool ownColours = false;   // NO_COLOR: the terminal's default colours
  bool utf8 = false;
  bool keyboardGone = false;
  bool screenKnown = false;  // the first output since start or a continue
                             // has looked at the screen
  int cursorX = 0;
  int cursorY = 0;
  bool cursorStale = false;  // the terminal's cursor is not at cursorX/Y
  int repliesOwed = 0;       // cursor questions not answered yet
  long long askedAtMs = 0;   // when the last one was asked
  std::string out;           // bytes of the current operation
  std::string typed;         // keyboard bytes read but not used yet
};

PosixTerminal g_term;

// Also read by TerminalRestoreFromSignal: set before they matter.
struct termios g_savedModes;
volatile sig_atomic_t g_modesSaved = 0;    // g_savedModes holds them as found
volatile sig_atomic_t g_modesChanged = 0;  // the keyboard has the program's
volatile sig_atomic_t g_screenTaken = 0;   // autowrap off, colours set

// Stop and continue: each handler writes its signal number into the pipe,
// and the waits below deal with it. The signals are let in only while the
// terminal waits, so no library call of the program's (libssh treats an
// interrupted poll as a broken session) is ever interrupted by them.
bool g_catchingStops = false;
int g_wakePipe[2] = {-1, -1};
sigset_t g_maskBefore;
sigset_t g_waitMask;
struct sigaction g_previousJob[kJobSignalCount];
bool g_replacedJob[kJobSignalCount] = {};

void OnJobSignal(int number) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  (void)!write(g_wakePipe[1], &byte, 1);
  errno = savedErrno;
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;  // a terminal that hung up takes no more text
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

bool ReadSize(int* width, int* height) {
  if (g_term.output < 0) return false;
  struct winsize size;
  if (ioctl(g_term.output, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 ||
      size.ws_row == 0) {
    // A terminal that does not know its size (a serial line, a pty nobody
    // sized) still shows text: assume the classic screen.
    *width = kFallbackWidth;
    *height = kFallbackHeight;
    return true;
  }
  *width = size.ws_col;
  *height = size.ws_row;
  return true;
}

// --- Keyboard modes ----------------------------------------------------------

bool InForeground() {
  return g_term.input >= 0 && tcgetpgrp(g_term.input) == getpgrp();
}

// Sets terminal modes without being stopped by SIGTTOU when the process has
// been moved to the background. Async-signal-safe.
void SetModes(const struct termios& modes) {
  sigset_t ttou, previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  while (tcsetattr(g_term.input, TCSANOW, &modes) != 0 && errno == EINTR) {
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Non-canonical, no echo, every byte as typed. With standard input on the
// terminal the keyboard is fully raw, so Ctrl+C and Ctrl+Z are keys;
// otherwise the terminal still turns them into signals. A background job
// leaves the modes alone: they belong to the shell.
void TakeModes() {
  if (!InForeground()) return;
  if (!g_modesSaved) {
    if (tcgetattr(g_term.input, &g_savedModes) != 0) return;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_modesSaved = 1;
  }
  struct termios modes = g_savedModes;
  modes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP |
                                          INLCR | IGNCR | ICRNL | IXON);
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
  if (g_term.rawKeys && !g_term.interruptKeyStops) {
    modes.c_lflag &= ~static_cast<tcflag_t>(ISIG);
  }
  modes.c_cc[VMIN] = 1;
  modes.c_cc[VTIME] = 0;
  g_modesChanged = 1;
  // TCSANOW keeps the keys typed before the program started.
  SetModes(modes);
}

// Async-signal-safe: TerminalRestoreFromSignal ends with it.
void GiveModesBack() {
  if (!g_modesChanged) return;
  SetModes(g_savedModes);
  g_modesChanged = 0;
}

// --- Waiting and reading -----------------------------------------------------

enum class Readiness { kReadable, kTimeout, kGone };

void TakeJobSignals();

// Waits up to timeoutMs (-1: without limit) for fd (-1: none, a pause) to
// be readable. With letSignalsIn, stop and continue signals that come
// meanwhile are dealt with on the way and the wait goes on.
Readiness WaitFor(int fd, int timeoutMs, bool letSignalsIn) {
  letSignalsIn = letSignalsIn && g_catchingStops;
  const long long deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const long long left =
        timeoutMs < 0 ? -1 : std::max(deadline - MonotonicMs(), 0LL);
    struct pollfd polls[2] = {{fd, POLLIN, 0},
                              {letSignalsIn ? g_wakePipe[0] : -1, POLLIN, 0}};
    int ready;
    if (letSignalsIn) {
      struct timespec wait = {static_cast<time_t>(left / 1000),
                              static_cast<long>(left % 1000) * 1000000L};
      ready = ppoll(polls, 2, left < 0 ? nullptr : &wait, &g_waitMask);
    } else {
      ready = poll(polls, 1, static_cast<int>(left));
    }
    if (ready < 0) {
      if (errno != EINTR) return Readiness::kGone;
      if (letSignalsIn) TakeJobSignals();
      continue;
    }
    if (letSignalsIn && polls[1].revents != 0) {
      TakeJobSignals();
      continue;
    }
    if (ready == 0) return Readiness::kTimeout;
    if (polls[0].revents & POLLIN) return Readiness::kReadable;
    return Readiness::kGone;
  }
}

void StopProgram(int number);

// Reads one byte of the keyboard into typed: never more, so the keys after
// the one the program needs stay in the terminal for whoever reads next.
// False when the keyboard has hung up or failed.
bool ReadOne() {
  for (;;) {
    char byte;
    const ssize_t got = read(g_term.input, &byte, 1);
    if (got == 1) {
      g_term.typed.push_back(byte);
      return true;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // With SIGTTIN held back, a background read fails instead of stopping
    // the program: stop as the shell expects, and read on after `fg`.
    if (got < 0 && errno == EIO && g_catchingStops &&
        tcgetpgrp(g_term.input) >= 0 && !InForeground()) {
      StopProgram(SIGTTIN);
      if (InForeground()) continue;
    }
    return false;
  }
}

// Takes answers to the cursor question out of typed. Gives the last one's
// position, counted from 1; true when one was found.
bool TakeReplies(int* row, int* column) {
  bool found = false;
  size_t start, length;
  while (FindCursorReport(g_term.typed, row, column, &start, &length)) {
    g_term.typed.erase(start, length);
    if (g_term.repliesOwed > 0) --g_term.repliesOwed;
    found = true;
  }
  return found;
}

// Reads until every question asked is answered or its time is up, keeping
// the keys typed before the answer. True when the last question's answer
// came, with its position.
bool AwaitReplies(long long untilMs, int* row, int* column) {
  bool answered = false;
  while (g_term.repliesOwed > 0 && !g_term.keyboardGone) {
    const long long left = untilMs - MonotonicMs();
    if (left <= 0) break;
    const Readiness ready =
        WaitFor(g_term.input, static_cast<int>(left), false);
    if (ready == Readiness::kTimeout) break;
    if (ready == Readiness::kGone || !ReadOne()) {
      g_term.keyboardGone = true;
      break;
    }
    int r, c;
    if (TakeReplies(&r, &c) && g_term.repliesOwed == 0) {
      *row = r;
      *column = c;
      answered = true;
    }
  }
  return answered;
}

// Puts the keys read ahead back into the terminal's input, before any that
// are still waiting there, so the shell reads them all in the order typed.
// Needs TIOCSTI: refused on Linux 6.2 and later with
// dev.tty.legacy_tiocsti=0 (unless the caller has CAP_SYS_ADMIN), and then
// those keys are lost.
void ReturnTyped() {
  if (g_term.typed.empty() || g_term.input < 0) return;
  int waiting = 0;
  if (ioctl(g_term.input, FIONREAD, &waiting) == 0) {
    for (; waiting > 0 && ReadOne(); --waiting) {
    }
  }
  for (char byte : g_term.typed) {
    if (ioctl(g_term.input, TIOCSTI, &byte) != 0) break;
  }
  g_term.typed.clear();
}

// Before a stop and at the end: the terminal as it was found.
void GiveBack() {
  // Reading needs the foreground and the program's modes (no echo).
  if (g_modesChanged && InForeground()) {
    if (g_term.repliesOwed > 0) {
      int row, column;
      AwaitReplies(g_term.askedAtMs + kLateReplyMs, &row, &column);
    }
    ReturnTyped();
  }
  g_term.repliesOwed = 0;
  if (g_screenTaken) {
    WriteAll(g_term.output, kRestoreBytes, sizeof kRestoreBytes - 1);
    g_screenTaken = 0;
  }
  GiveModesBack();
}

// After a continue: the modes again, and the screen looked at afresh at the
// next output, since the shell has written on it meanwhile.
void Resume() {
  sigset_t cont;
  sigemptyset(&cont);
  sigaddset(&cont, SIGCONT);
  const struct timespec now = {0, 0};
  while (sigtimedwait(&cont, nullptr, &now) > 0) {
  }
  TakeModes();
  g_term.screenKnown = false;
  g_term.cursorStale = false;
}

// Stops the program with the signal's own default action, after giving the
// terminal back; returns once it is continued.
void StopProgram(int number) {
  GiveBack();
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  struct sigaction mine;
  sigaction(number, &byDefault, &mine);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  raise(number);
  // The stop happens here; an orphaned process group is not stopped at all.
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  sigprocmask(SIG_BLOCK, &only, nullptr);
  sigaction(number, &mine, nullptr);
  Resume();
}

// Deals with the stop and continue signals the pipe has recorded.
void TakeJobSignals() {
  int stop = 0;
  bool continued = false;
  unsigned char bytes[16];
  ssize_t got;
  while ((got = read(g_wakePipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < got; ++i) {
      if (bytes[i] == SIGCONT) {
        continued = true;
      } else if (stop == 0) {
        stop = bytes[i];
      }
    }
  }
  if (stop != 0) {
    StopProgram(stop);
  } else if (continued) {
    Resume();
  }
}

// Lets in the stop and continue signals that came while the program was
// busy elsewhere; called where an operation starts.
void CheckJobSignals() {
  if (!g_catchingStops) return;
  sigset_t pending;
  if (sigpending(&pending) != 0) return;
  bool any = false;
  for (int number : kJobSignals) any = any || sigismember(&pending, number);
  if (!any) return;
  struct pollfd none = {-1, 0, 0};
  const struct timespec now = {0, 0};
  ppoll(&none, 1, &now, &g_waitMask);
  TakeJobSignals();
}

void CatchJobSignals() {
  if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  sigset_t held;
  sigemptyset(&held);
  for (int number : kJobSignals) sigaddset(&held, number);
  sigprocmask(SIG_BLOCK, &held, &g_maskBefore);
  g_waitMask = g_maskBefore;
  for (int number : kJobSignals) sigdelset(&g_waitMask, number);
  struct sigaction wake = {};
  wake.sa_handler = OnJobSignal;
  sigemptyset(&wake.sa_mask);
  for (int i = 0; i < kJobSignalCount; ++i) {
    struct sigaction current;
    // A stop the parent chose to ignore stays ignored.
    if (sigaction(kJobSignals[i], nullptr, &current) != 0 ||
        current.sa_handler == SIG_IGN) {
      continue;
    }
    g_replacedJob[i] =
        sigaction(kJobSignals[i], &wake, &g_previousJob[i]) == 0;
  }
  g_catchingStops = true;
}

void ReleaseJobSignals() {
  if (!g_catchingStops) return;
  g_catchingStops = false;
  for (int i = 0; i < kJobSignalCount; ++i) {
    if (g_replacedJob[i]) sigaction(kJobSignals[i], &g_previousJob[i], nullptr);
    g_replacedJob[i] = false;
  }
  // A stop still pending now takes effect, the terminal already given back.
  sigprocmask(SIG_SETMASK, &g_maskBefore, nullptr);
  close(g_wakePipe[0]);
  close(g_wakePipe[1]);
  g_wakePipe[0] = g_wakePipe[1] = -1;
}

// --- The screen ----------------------------------------------------------------

bool CanAsk() {
  return g_term.outputIsKeyboard && !g_term.keyboardGone && g_modesChanged &&
         InForeground();
}

// The first output since start or a continue: learns where the cursor is
// and turns autowrap off. A terminal that does not answer gets plain lines.
void TakeScreen(int height) {
  g_term.screenKnown = true;
  g_term.cursorX = 0;
  // Without an answer the cursor counts as on the bottom row, so the first
  // lines scroll what is there instead of writing over it.
  g_term.cursorY = height - 1;
  if (g_term.plain) return;
  if (CanAsk()) {
    WriteAll(g_term.output, kCursorQuestion, sizeof kCursorQuestion - 1);
    ++g_term.repliesOwed;
    g_term.askedAtMs = MonotonicMs();
    int row = 0, column = 0;
    if (!AwaitReplies(g_term.askedAtMs + kCursorReplyMs, &row, &column)) {
      g_term.plain = true;
      return;
    }
    g_term.cursorX = column - 1;
    g_term.cursorY = row - 1;
  }
  g_term.out += kTakeScreen;
  g_screenTaken = 1;
}

// The program's colours, or under NO_COLOR the terminal's own (SGR 0).
void AppendColours(uint16_t attribute) {
  if (g_term.ownColours) {
    g_term.out += "\x1b[0m";
  } else {
    AppendAttribute(attribute, &g_term.out);
  }
}

}  // namespace

// --- The platform calls ----------------------------------------------------

bool TerminalGetGeometry(TerminalGeometry* geometry) {
  if (g_term.output < 0) return false;
  // Between operations a stop or continue may be dealt with.
  if (g_term.out.empty()) CheckJobSignals();
  int width, height;
  if (!ReadSize(&width, &height)) return false;
  if (!g_term.screenKnown) TakeScreen(height);
  // Plain lines: each line break starts a new line at the bottom.
  if (g_term.plain) g_term.cursorY = height - 1;
  // The Console is the only writer, so its own record of the cursor is the
  // truth; a terminal that shrank keeps it on its last cell.
  g_term.cursorX = std::clamp(g_term.cursorX, 0, width - 1);
  g_term.cursorY = std::clamp(g_term.cursorY, 0, height - 1);
  geometry->width = width;
  geometry->height = height;
  geometry->cursorX = g_term.cursorX;
  geometry->cursorY = g_term.cursorY;
  return true;
}

void TerminalWriteCells(int x, int y, std::u16string_view units,
                        uint16_t attribute) {
  if (g_term.output < 0) return;
  if (!g_term.plain) {
    AppendCursorMove(x, y, &g_term.out);
    AppendColours(attribute);
    g_term.cursorStale = true;
  } else if (x == 0) {
    // Plain lines have no cursor moves; a carriage return is enough for a
    // row written again from its start (a status line), and does nothing
    // after the line break that began the others.
    g_term.out.push_back('\r');
  }
  for (char16_t unit : units) AppendCellGlyph(unit, &g_term.out);
}

void TerminalScrollUp(uint16_t attribute) {
  int width, height;
  if (!ReadSize(&width, &height)) return;
  if (g_term.plain) {
    g_term.out += "\r\n";
    return;
  }
  // A line feed on the bottom row sends the top row into the scrollback.
  AppendCursorMove(0, height - 1, &g_term.out);
  g_term.out.push_back('\n');
  // Terminals differ in the colour they give the new row: paint it.
  AppendCursorMove(0, height - 1, &g_term.out);
  AppendColours(attribute);
  g_term.out.append(static_cast<size_t>(width), ' ');
  g_term.cursorStale = true;
}

void TerminalSetCursor(int x, int y) {
  g_term.cursorX = x;
  g_term.cursorY = y;
  if (!g_term.plain) g_term.cursorStale = true;
}

void TerminalFlush() {
  if (g_term.output < 0) {
    g_term.out.clear();
    return;
  }
  if (g_term.cursorStale) {
    AppendCursorMove(g_term.cursorX, g_term.cursorY, &g_term.out);
    g_term.cursorStale = false;
  }
  if (g_term.out.empty()) return;
  WriteAll(g_term.output, g_term.out.data(), g_term.out.size());
  g_term.out.clear();
}

void TerminalWritePlainLine(int stream, std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  WriteAll(stream == 2 ? STDERR_FILENO : STDOUT_FILENO, line.data(), line.size());
}

bool TerminalReadEvent(TerminalKeyEvent* event) {
  if (g_term.input < 0) return false;
  for (;;) {
    if (!g_term.typed.empty()) {
      size_t taken = DecodeKey(g_term.typed, g_term.utf8, false, event);
      if (taken == 0) {
        const Readiness more = WaitFor(g_term.input, kEscapePauseMs, false);
        if (more == Readiness::kReadable && ReadOne()) continue;
        if (more != Readiness::kTimeout) g_term.keyboardGone = true;
        taken = DecodeKey(g_term.typed, g_term.utf8, true, event);
      }
      g_term.typed.erase(0, taken);
      // An answer that came after its question's time is no key, and no
      // longer owed.
      if (!event->isKey && g_term.repliesOwed > 0) --g_term.repliesOwed;
      return true;
    }
    if (g_term.keyboardGone) return false;
    // A hung-up terminal reads as end of file: the wait ends, never spins.
    if (WaitFor(g_term.input, -1, true) != Readiness::kReadable || !ReadOne()) {
      g_term.keyboardGone = true;
      return false;
    }
  }
}

void TerminalKeyWaitEnded() {}

void TerminalLetInterruptKeyStop(bool on) {
  g_term.interruptKeyStops = on;
  if (g_modesChanged) TakeModes();
}

void TerminalSleep(int32_t milliseconds) {
  // Negative counts pause not at all rather than for ever.
  if (milliseconds <= 0) return;
  WaitFor(-1, milliseconds, true);
}

void TerminalBegin(const TerminalSetup& setup) {
  g_term = PosixTerminal();
  g_term.output = setup.output;
  g_term.input = setup.input;
  g_term.rawKeys = setup.rawKeys;
  g_term.outputIsKeyboard = setup.outputIsKeyboard;
  g_term.plain = setup.plain;
  g_term.ownColours = setup.ownColours;
  g_term.utf8 = LocaleIsUtf8();
  g_modesSaved = 0;
  g_modesChanged = 0;
  g_screenTaken = 0;
  if (setup.catchStops) CatchJobSignals();
  TakeModes();
}

void TerminalEnd() {
  GiveBack();
  ReleaseJobSignals();
}

void TerminalRestoreFromSignal() {
  if (g_screenTaken && g_term.output >= 0) {
    const char* data = kRestoreBytes;
    size_t left = sizeof kRestoreBytes - 1;
    // Not WriteAll: a terminal that takes nothing now (EAGAIN) is given up
    // on rather than waited for in a spin.
    while (left > 0) {
      const ssize_t written = write(g_term.output, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;
      data += written;
      left -= static_cast<size_t>(written);
    }
    g_screenTaken = 0;
  }
  GiveModesBack();
}
