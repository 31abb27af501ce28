// print_lines N [LENGTH]: prints N lines of LENGTH (default 30) letters on the
// real terminal and ends, so a tracer can count the write() calls per line.
#include <clocale>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "console/startup.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  ConsoleStartup();
  const int count = argc > 1 ? std::atoi(argv[1]) : 0;
  const int length = argc > 2 ? std::atoi(argv[2]) : 30;
  const std::string line(length > 0 ? static_cast<size_t>(length) : 0, 'x');
  for (int i = 0; i < count; ++i) PrintLine(line);
  ConsoleShutdown(0);
}
