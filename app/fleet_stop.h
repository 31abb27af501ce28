#ifndef APP_FLEET_STOP_H_
#define APP_FLEET_STOP_H_

// The fleet run's interrupt: while it is armed, Ctrl+C, SIGTERM and SIGHUP
// (Ctrl+C, Ctrl+Break and the console closing on Windows) are counted
// instead of ending or being ignored. The handler updates one lock-free
// atomic and nothing else; the run reads it.

struct FleetStops {
  int count = 0;   // stop requests so far
  int signal = 0;  // the first one's signal number (SIGINT for Ctrl+C)
};

/// Arms the handlers, saving what they replace. Call on the main thread
/// before any other thread starts; with BlockStopsOnThisThread around the
/// threads' creation, only the main thread takes the signals, so no SSH
/// call on another thread is ever interrupted.
void ArmFleetStops();

/// Puts back what ArmFleetStops replaced.
void DisarmFleetStops();

/// Holds the stop signals back on the calling thread (threads started now
/// inherit that), or lets them through again. No-op on Windows.
void BlockStopsOnThisThread(bool block);

FleetStops ReadFleetStops();

/// The exit status of a run stopped by signal: 128 + its number, as shells
/// report a process ended by it (130 for Ctrl+C, 143 for SIGTERM, 129 for
/// SIGHUP).
int StoppedStatus(int signal);

/// "SIGINT", "SIGTERM", "SIGHUP", or "a signal" for another number.
const char* StopName(int signal);

#endif  // APP_FLEET_STOP_H_
