// Started by command_line_win32_test with a command line of its choosing:
// prints the five values as the program flow reads them, scrubs the
// password as the program does, prints the narrow copies of the command
// line, then stays alive until the test has read its command line from the
// process's parameter block.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <corecrt_startup.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/command_line.h"

namespace {

// One text per line, in hex, so any byte survives the pipe.
void PrintHex(std::string_view text) {
  for (unsigned char byte : text) std::printf("%02x", byte);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  static const char* const kPrefixes[] = {"/user:", "/pw:", "/port:", "/v:",
                                          "/ip:"};
  PrintHex(ToNarrow(LowerText(TrimSpaces(CommandParam(0)))).empty() ? "empty"
                                                                    : "text");
  for (int n = 1; n <= 5; ++n) {
    std::u16string param = CommandParam(n);
    PrintHex(StripPrefix(ToNarrow(n == 4 ? LowerText(param) : param),
                         kPrefixes[n - 1]));
  }
  ScrubParamInArgv(2, "/pw:");
  PrintHex(GetCommandLineA());
  PrintHex(_acmdln);
  std::string args;
  for (int i = 0; i < argc; ++i) args.append(argv[i]).append(" ");
  PrintHex(args);
  PrintHex(std::string_view(reinterpret_cast<const char*>(_wcmdln),
                            std::wcslen(_wcmdln) * sizeof(wchar_t)));
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  return 0;
}
