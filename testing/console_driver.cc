// Runs one console scenario on the real terminal, for the terminal tests:
//   console_driver screen      lines that wrap, scroll and hold control
//                              characters, in two colours
//   console_driver hello       one line
//   console_driver wait        "waiting", a key wait, "done"
//   console_driver sleep [ms]  "sleeping", a pause, "slept"
//   console_driver fatal       one line, then the fatal end (status 255)
//   console_driver quiet       nothing printed, a short pause

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "console/startup.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  ConsoleStartup();
  const char* scenario = argc > 1 ? argv[1] : "";
  if (std::strcmp(scenario, "screen") == 0) {
    PrintLine("first");
    PrintLine("abcdefghijklmnopqrstuvwxyz");
    PrintLine("a\nb\tc");
    SetColor(11, 0);
    PrintLine("cyan");
    SetColor(7, 0);
    PrintLine("last");
  } else if (std::strcmp(scenario, "hello") == 0) {
    PrintLine("hello");
  } else if (std::strcmp(scenario, "wait") == 0) {
    PrintLine("waiting");
    WaitKey();
    PrintLine("done");
  } else if (std::strcmp(scenario, "sleep") == 0) {
    PrintLine("sleeping");
    SleepMs(argc > 2 ? std::atoi(argv[2]) : 3000);
    PrintLine("slept");
  } else if (std::strcmp(scenario, "quiet") == 0) {
    SleepMs(500);
  } else if (std::strcmp(scenario, "fatal") == 0) {
    PrintLine("failing");
    ConsoleFatalExit();
  } else {
    ConsoleShutdown(2);
  }
  ConsoleShutdown(0);
}
