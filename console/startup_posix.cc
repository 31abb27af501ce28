// Start-up and shutdown on a POSIX terminal: descriptors, keyboard modes,
// the signals that must not end the run, and the terminal given back as it
// was found at every end, also a fatal signal.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "console/console.h"
#include "console/startup.h"
#include "console/terminal.h"

namespace {

// Ctrl+C, Ctrl+\ (the terminal's Ctrl+Break) and the terminal window being
// closed do not end the run. A terminal has no window menu and no title to
// mark, so that is all the close protection there is.
constexpr int kProtectedSignals[] = {SIGINT, SIGQUIT, SIGHUP};

// Signals whose default action ends the process; the terminal is restored
// before they do.
constexpr int kFatalSignals[] = {SIGTERM, SIGSEGV, SIGBUS,  SIGFPE,
                                 SIGILL,  SIGABRT, SIGTRAP, SIGSYS,
                                 SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE,
                                 SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

constexpr int kProtectedCount = sizeof kProtectedSignals / sizeof(int);
constexpr int kFatalCount = sizeof kFatalSignals / sizeof(int);

struct SavedSignal {
  struct sigaction previous;
  bool replaced = false;
};

SavedSignal g_protected[kProtectedCount];
SavedSignal g_fatal[kFatalCount];

// Read by the signal handler: set before it is installed, never changed
// while it is.
int g_output = -1;
int g_keyboard = -1;
struct termios g_savedModes;
volatile sig_atomic_t g_modesChanged = 0;
volatile sig_atomic_t g_started = 0;

// Whether fd is this process's controlling terminal, the one /dev/tty opens.
// (fstat of a /dev/tty descriptor shows /dev/tty itself, not the device.)
bool IsControllingTerminal(int fd) {
  return isatty(fd) && tcgetsid(fd) != -1;
}

// Sets terminal modes without being stopped by SIGTTOU when the process has
// been moved to the background. Async-signal-safe.
void SetModes(const struct termios& modes) {
  sigset_t ttou, previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  while (tcsetattr(g_keyboard, TCSANOW, &modes) != 0 && errno == EINTR) {
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Gives the terminal back its autowrap, colours and modes. Async-signal-safe.
void RestoreTerminal() {
  if (g_output >= 0) {
    const char* data = kTerminalRestoreBytes;
    size_t left = kTerminalRestoreLength;
    while (left > 0) {
      const ssize_t written = write(g_output, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;
      data += written;
      left -= static_cast<size_t>(written);
    }
  }
  if (g_modesChanged) SetModes(g_savedModes);
}

void OnFatalSignal(int number) {
  const int savedErrno = errno;
  RestoreTerminal();
  // SA_RESETHAND has put the default action back; it takes effect when the
  // handler returns and the signal is unblocked.
  raise(number);
  errno = savedErrno;
}

void InstallSignals() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int i = 0; i < kProtectedCount; ++i) {
    g_protected[i].replaced =
        sigaction(kProtectedSignals[i], &ignore, &g_protected[i].previous) ==
        0;
  }

  struct sigaction restore = {};
  restore.sa_handler = OnFatalSignal;
  restore.sa_flags = SA_RESETHAND;
  sigemptyset(&restore.sa_mask);
  for (int i = 0; i < kFatalCount; ++i) {
    struct sigaction current;
    // A signal the parent chose to ignore or handle keeps its disposition.
    if (sigaction(kFatalSignals[i], nullptr, &current) != 0 ||
        current.sa_handler != SIG_DFL) {
      continue;
    }
    g_fatal[i].replaced =
        sigaction(kFatalSignals[i], &restore, &g_fatal[i].previous) == 0;
  }
}

void RestoreSignals() {
  for (int i = 0; i < kFatalCount; ++i) {
    if (g_fatal[i].replaced) {
      sigaction(kFatalSignals[i], &g_fatal[i].previous, nullptr);
      g_fatal[i].replaced = false;
    }
  }
  for (int i = 0; i < kProtectedCount; ++i) {
    if (g_protected[i].replaced) {
      sigaction(kProtectedSignals[i], &g_protected[i].previous, nullptr);
      g_protected[i].replaced = false;
    }
  }
}

// Non-canonical, no echo, every byte as typed. With standard input on the
// terminal the keyboard is fully raw, so Ctrl+C is a key; otherwise the
// terminal still turns it into SIGINT, which is ignored.
void SetKeyboardModes(bool rawSignals) {
  if (tcgetattr(g_keyboard, &g_savedModes) != 0) return;
  struct termios modes = g_savedModes;
  modes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP |
                                          INLCR | IGNCR | ICRNL | IXON);
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
  if (rawSignals) modes.c_lflag &= ~static_cast<tcflag_t>(ISIG);
  modes.c_cc[VMIN] = 1;
  modes.c_cc[VTIME] = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_modesChanged = 1;
  // TCSANOW keeps the keys typed before the program started.
  SetModes(modes);
}

[[noreturn]] void EndProcess(int exitStatus, bool atOnce) {
  if (g_started) {
    RestoreTerminal();
    g_modesChanged = 0;
    RestoreSignals();
    if (g_keyboard >= 0) close(g_keyboard);
    g_keyboard = -1;
    g_started = 0;
  }
  if (atOnce) _exit(exitStatus);
  std::exit(exitStatus);
}

}  // namespace

void ConsoleStartup() {
  if (g_started) return;
  // The platform check has no other family to turn away here.

  // Text goes only to a terminal, never into a file or a pipe.
  g_output = isatty(STDOUT_FILENO) ? STDOUT_FILENO
             : isatty(STDERR_FILENO) ? STDERR_FILENO
                                     : -1;
  // The keyboard is the controlling terminal, whatever standard input is.
  // Without one (ENXIO after setsid) there is no keyboard.
  g_keyboard = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (g_keyboard >= 0 && !isatty(g_keyboard)) {
    close(g_keyboard);
    g_keyboard = -1;
  }

  InstallSignals();
  g_started = 1;

  // A background job leaves the modes alone: they belong to the shell.
  bool foreground = false;
  if (g_keyboard >= 0 && tcgetpgrp(g_keyboard) == getpgrp()) {
    foreground = true;
    SetKeyboardModes(IsControllingTerminal(STDIN_FILENO));
  }

  // The cursor can only be asked of the terminal whose keyboard we read,
  // and only with echo off, or the answer would show.
  const bool canAsk = foreground && g_modesChanged && g_output >= 0 &&
                      IsControllingTerminal(g_output);
  TerminalBegin(g_output, g_keyboard, canAsk);

  ConsoleState& console = Console();
  console.output = g_output;
  console.input = g_keyboard;
  console.foreground = 7;
  console.background = 0;
  console.wrapPending = false;
}

void ConsoleShutdown(int exitStatus) { EndProcess(exitStatus, false); }

void ConsoleFatalExit() { EndProcess(255, true); }
