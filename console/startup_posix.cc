// Start-up and shutdown on a POSIX terminal: descriptors, keyboard modes,
// the signals that must not end the run, and the terminal given back as it
// was found at every end, also a fatal signal.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "console/startup.h"
#include "console/terminal_posix.h"

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

// Whether fd is this process's controlling terminal, the one /dev/tty opens.
// (fstat of a /dev/tty descriptor shows /dev/tty itself, not the device.)
// Only the controlling terminal tells its foreground process group.
bool IsControllingTerminal(int fd) {
  return isatty(fd) && tcgetpgrp(fd) != -1;
}

// A terminal that takes no escape sequences: plain lines only.
bool IsDumbTerminal() {
  const char* term = std::getenv("TERM");
  return term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0;
}

int g_keyboard = -1;
volatile sig_atomic_t g_started = 0;

void OnFatalSignal(int number) {
  const int savedErrno = errno;
  TerminalRestoreFromSignal();
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

[[noreturn]] void EndProcess(int exitStatus, bool atOnce) {
  if (g_started) {
    g_started = 0;
    // Ending at once (out of memory) does only what needs no memory.
    if (atOnce) {
      TerminalRestoreFromSignal();
    } else {
      TerminalEnd();
    }
    RestoreSignals();
    if (g_keyboard >= 0) close(g_keyboard);
    g_keyboard = -1;
  }
  if (atOnce) _exit(exitStatus);
  std::exit(exitStatus);
}

}  // namespace

void ConsoleStartup() {
  if (g_started) return;

  // Text goes only to a terminal, never into a file or a pipe.
  const int output = isatty(STDOUT_FILENO) ? STDOUT_FILENO
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
  // With no terminal the text goes to files and pipes as plain lines: a
  // reader that went away (`| head`) must not end a reboot half way, so a
  // write to it fails instead of raising SIGPIPE.
  if (output < 0) {
    for (int i = 0; i < kFatalCount; ++i) {
      if (kFatalSignals[i] == SIGPIPE && g_fatal[i].replaced) signal(SIGPIPE, SIG_IGN);
    }
  }
  g_started = 1;

  TerminalSetup setup;
  setup.output = output;
  setup.input = g_keyboard;
  setup.rawKeys = g_keyboard >= 0 && IsControllingTerminal(STDIN_FILENO);
  // The cursor can only be asked of the terminal whose keyboard we read.
  setup.outputIsKeyboard =
      g_keyboard >= 0 && output >= 0 && IsControllingTerminal(output);
  setup.plain = IsDumbTerminal();
  // NO_COLOR set to anything but the empty text: the terminal's own colours.
  const char* noColour = std::getenv("NO_COLOR");
  setup.ownColours = noColour != nullptr && *noColour != '\0';
  setup.catchStops = true;
  TerminalBegin(setup);

  ConsoleState& console = Console();
  console.output = output;
  console.input = g_keyboard;
  console.foreground = 7;
  console.background = 0;
  console.wrapPending = false;
}

void ConsoleShutdown(int exitStatus) { EndProcess(exitStatus, false); }

void ConsoleFatalExit() { EndProcess(255, true); }
