#ifndef APP_PROCESS_GUARD_H_
#define APP_PROCESS_GUARD_H_

/// Keeps the password out of core files and out of other processes of the
/// same user: no core dump, and the process cannot be traced or have its
/// memory read by them. Called first thing in main, before the command line
/// is read. Failures are ignored: the run goes on.
void GuardProcessMemory();

/// For a fleet run, which holds a socket or more per router at once: the
/// soft limit on open files goes up to the hard one. Failures are ignored;
/// a probe that finds no socket free is tried again later. Windows sets no
/// such limit.
void RaiseOpenFileLimit();

#endif  // APP_PROCESS_GUARD_H_
