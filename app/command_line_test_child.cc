// Started by command_line_test: scrubs the password from its own argument
// vector as the program does, then stays alive until the test has read its
// command line from /proc.
#include <unistd.h>

#include <clocale>

#include "app/command_line.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  SetCommandLine(argc, argv);
  ScrubParamInArgv(2, "/pw:");
  if (write(1, "r", 1) != 1) return 1;
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}
