#ifndef CONSOLE_TERMINAL_WIN32_H_
#define CONSOLE_TERMINAL_WIN32_H_

// Start-up of the Windows console (startup_win32.cc calls this).

/// Takes the console screen buffer that receives the cells and the console
/// input buffer that gives the keys, as Windows handles; null: none.
/// ownAttribute 0 to 255 (NO_COLOR): every cell takes that attribute, the
/// console's own, instead of the program's colours; -1: the program's.
void TerminalBeginConsole(void* output, void* input, int ownAttribute = -1);

#endif  // CONSOLE_TERMINAL_WIN32_H_
