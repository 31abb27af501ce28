// swKicker's entry: guards the process's memory, takes the command line and
// stars the password in it, then runs the program flow in the console.
#include <clocale>
#include <new>

#include "app/command_line.h"
#include "app/fleet_options.h"
#include "app/flow.h"
#include "app/process_guard.h"
#include "base/numbers.h"
#include "console/startup.h"

int main(int argc, char** argv) {
  // Before anything holds the password: no core file, no reading of this
  // process's memory by the user's other processes.
  GuardProcessMemory();
  // Out of memory there is nothing sensible left to do: end with 255, after
  // giving the terminal back once it has been taken.
  std::set_new_handler([] { ConsoleFatalExit(); });
  // The locale's encoding stands for the 8-bit text of the whole program.
  setlocale(LC_ALL, "");
  SetCommandLine(argc, argv);
  // Other users can read the process list: the password leaves it before
  // the terminal start-up, which can wait for the terminal's answer. A fleet
  // run's second parameter is one of its options, not a password; a /pw:
  // anywhere is starred all the same.
  const bool fleet = IsFleetInvocation(CommandParam(1));
  ScrubParamInArgv(fleet ? -1 : 2, "/pw:");
  if (fleet) RaiseOpenFileLimit();
  SetFloatingPointMode();
  ConsoleStartup();
  ConsoleShutdown(RunProgramFlow());
}
