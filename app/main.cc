#include <clocale>
#include <new>

#include "app/command_line.h"
#include "app/flow.h"
#include "session/numbers/numbers.h"
#include "console/startup.h"

int main(int argc, char** argv) {
  // The locale's encoding stands for the 8-bit text of the whole program.
  setlocale(LC_ALL, "");
  SetFloatingPointMode();
  ConsoleStartup();
  // Out of memory there is nothing sensible left to do: give the terminal
  // back and end with 255.
  std::set_new_handler([] { ConsoleFatalExit(); });
  SetCommandLine(argc, argv);
  // Other users can read the process list: keep the password out of it.
  ScrubParamInArgv(2, "/pw:");
  ConsoleShutdown(RunProgramFlow());
}
