#ifndef APP_COMMAND_LINE_PLATFORM_H_
#define APP_COMMAND_LINE_PLATFORM_H_

#include <cstddef>
#include <string_view>

// The parsing shared by the platform files of the command line
// (command_line_posix.cc rebuilds the line from the argument vector,
// command_line_win32.cc takes the process's own): where the tail begins and
// where a parameter and its value lie in it, so each platform can find and
// overwrite the password where the process list reads it.

/// Where the tail of a whole command line begins.
size_t CommandTailStart(std::u16string_view commandLine);

/// The units [begin, end) of a tail that parameter n covers (n = 0: the
/// whole tail); found is false when there is no such parameter.
struct ParamSpan {
  bool found;
  size_t begin;
  size_t end;
};
ParamSpan FindParamSpan(std::u16string_view tail, int n);

/// The units [begin, end) of parameter n's value: what follows prefix when
/// the parameter begins with it (prefixed), else the whole parameter. Each
/// platform widens the prefix its own way.
struct ValueSpan {
  bool found;
  bool prefixed;
  size_t begin;
  size_t end;
};
ValueSpan FindValueSpan(std::u16string_view tail, int n,
                        std::u16string_view prefix);

#endif  // APP_COMMAND_LINE_PLATFORM_H_
