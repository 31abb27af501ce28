#ifndef CONSOLE_STARTUP_H_
#define CONSOLE_STARTUP_H_

/// Takes the terminal: output and keyboard descriptors, input mode, the
/// protection against Ctrl+C, Ctrl+\ and hang-up, and the Console's initial
/// colours. Runs once, before anything is printed.
void ConsoleStartup();

/// Gives the terminal back exactly as ConsoleStartup found it and ends the
/// process with the given exit status.
[[noreturn]] void ConsoleShutdown(int exitStatus);

/// Ends the process at once with exit status 255 after restoring the
/// terminal; for failures the program cannot continue from.
[[noreturn]] void ConsoleFatalExit();

#endif  // CONSOLE_STARTUP_H_
