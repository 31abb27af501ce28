#ifndef CONSOLE_TERMINAL_WIN32_H_
#define CONSOLE_TERMINAL_WIN32_H_

// Start-up of the Windows console (startup_win32.cc calls this).

/// Takes the console screen buffer that receives the cells and the console
/// input buffer that gives the keys, as Windows handles; null: none.
void TerminalBeginConsole(void* output, void* input);

#endif  // CONSOLE_TERMINAL_WIN32_H_
