#include <clocale>

#include "app/command_line.h"
#include "app/flow.h"
#include "app/numbers.h"
#include "console/startup.h"

int main(int argc, char** argv) {
  // The locale's encoding stands for the 8-bit text of the whole program.
  setlocale(LC_ALL, "");
  SetFloatingPointMode();
  ConsoleStartup();
  SetCommandLine(argc, argv);
  // Other users can read the process list: keep the password out of it.
  ScrubParamInArgv(2, "/pw:");
  ConsoleShutdown(RunProgramFlow());
}
