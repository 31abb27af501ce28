#ifndef CONSOLE_TERMINAL_POSIX_H_
#define CONSOLE_TERMINAL_POSIX_H_

// Start-up and shutdown of the POSIX terminal (startup_posix.cc calls these).

/// What start-up found out about the terminal.
struct TerminalSetup {
  int output = -1;  // descriptor that receives text; -1: none
  int input = -1;   // keyboard descriptor; -1: none
  // Standard input is the keyboard: Ctrl+C and Ctrl+Z are keys, not signals.
  bool rawKeys = false;
  // output is the terminal whose keyboard is input, so its cursor can be
  // asked through input.
  bool outputIsKeyboard = false;
  // TERM is unset or dumb: plain lines, no escape sequence at all.
  bool plain = false;
  // NO_COLOR: text keeps the terminal's own colours instead of the
  // program's.
  bool ownColours = false;
  // Deal with stop and continue signals (the program; not the tests).
  bool catchStops = false;
};

/// Takes the keyboard: sets its modes when the program is in the
/// foreground. The screen is taken only at the first output, so a run that
/// prints nothing writes nothing and asks the terminal nothing. With
/// catchStops, stop and continue signals are held back outside the
/// terminal's own waits, where the terminal is given back before a stop and
/// taken again after it.
void TerminalBegin(const TerminalSetup& setup);

/// Gives the terminal back as it was found: an answer to the cursor question
/// that is still owed is waited for (for a bounded time) and taken out,
/// keys read ahead are put back into the terminal's input, autowrap and
/// colours are handed back and the keyboard modes restored.
void TerminalEnd();

/// The part of TerminalEnd that is safe in a signal handler: autowrap,
/// colours and keyboard modes.
void TerminalRestoreFromSignal();

#endif  // CONSOLE_TERMINAL_POSIX_H_
