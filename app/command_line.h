#ifndef APP_COMMAND_LINE_H_
#define APP_COMMAND_LINE_H_

#include <string>
#include <string_view>

// The program's command line, as one UTF-16 text beginning with the
// program's name, and the positional parameters cut from it. Separator is
// U+0020 only; U+0022 quotes a parameter when it is its first character.

/// Finds the tail of the program's command line. Called once, before the
/// program flow starts. On Windows the line is the process's own
/// (GetCommandLineW). On POSIX it is rebuilt from the argument vector (the
/// arguments joined with U+0020; an empty argument or one holding a space
/// put in quotes), decoded from the locale's encoding; the program's name
/// loses its quotes and is quoted when it holds a control character, so the
/// tail always begins at argv[1] whatever name the caller of exec chose.
void SetCommandLine(int argc, char** argv);

/// Takes the given whole command line instead of the process's own, for
/// tests; ScrubParamInArgv then has nothing to overwrite.
void SetCommandLineText(std::u16string_view commandLine);

/// The tail of a command line: what follows the program's name and the
/// spaces after it.
std::u16string FindCommandTail(std::u16string_view commandLine);

/// The tail found by SetCommandLine.
const std::u16string& CommandTail();

/// Overwrites the tail (it holds the password) and forgets it; CommandParam
/// gives empty texts afterwards.
void WipeCommandLine();

/// n = 0: the whole tail unchanged; n >= 1: the n-th parameter of the tail,
/// or the empty text when there are fewer.
std::u16string CommandParam(int n);
/// The same on a given tail.
std::u16string CommandParamOf(std::u16string_view tail, int n);

/// The text without U+0020 at its start and end.
std::u16string TrimSpaces(std::u16string_view text);
/// Each UTF-16 unit lower-cased, one to one, same length (CharLowerBuffW on
/// Windows, the locale's towlower on POSIX).
std::u16string LowerText(std::u16string_view text);
/// The text in the 8-bit encoding of the whole program: the system's ANSI
/// code page on Windows, the locale's encoding on POSIX, where bytes carried
/// through from the command line come out as they went in.
std::string ToNarrow(std::u16string_view text);
/// The value with every occurrence of prefix removed, in one pass from the
/// left; what the removal joins together is not searched again.
std::string StripPrefix(std::string_view value, std::string_view prefix);

/// Overwrites with '*' parameter n (after the prefix when it begins with it)
/// and, in every argument that begins with prefix (quotes before it
/// allowed), what follows the prefix, where the process list reads them: on
/// POSIX in the argument vector given to SetCommandLine (in every argument a
/// quoted parameter spans); on Windows in the process's command-line buffer
/// (a word there stands for an argument) and in the C runtime's narrow
/// copies of it. What CommandParam gives is unchanged. n < 0: no parameter
/// by position, only the arguments that begin with prefix.
void ScrubParamInArgv(int n, std::string_view prefix);

#endif  // APP_COMMAND_LINE_H_
