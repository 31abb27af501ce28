#ifndef CONSOLE_CONSOLE_H_
#define CONSOLE_CONSOLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// The one record of the console: where text goes, where keys come from,
/// the current colours and whether a full last row still owes a scroll.
/// Colour indices use the console's bits: 1 blue, 2 green, 4 red, 8 bright.
struct ConsoleState {
  int output = -1;  // terminal descriptor that receives text; -1: none
  int input = -1;   // keyboard descriptor; -1: no keyboard
  uint32_t foreground = 7;
  uint32_t background = 0;
  bool wrapPending = false;
};

/// The process's console record, filled by ConsoleStartup.
ConsoleState& Console();

/// Writes one line of 8-bit text (the locale's encoding) at the cursor in the
/// current colours, then moves to the start of the next row. With no screen
/// (output redirected, no terminal at all) the line goes to standard output
/// as a plain text line instead: no colours, no cell placement, control
/// characters shown as "?".
void PrintLine(std::string_view text);

/// A failure's line: on a screen the same as PrintLine; with none, a plain
/// text line on standard error, so a log of the run holds why it failed.
void PrintErrorLine(std::string_view text);

/// PrintLine for prose: on a screen too narrow for the text, the rows break
/// at spaces rather than inside a word (a word wider than the screen still
/// breaks at its edge).
void PrintWrappedLine(std::string_view text);

/// Shows text on the cursor's row from its first column, in the current
/// colours, cut to one cell less than the row so that it never wraps; the
/// rest of the row is cleared and the cursor goes back to the row's start,
/// so the next PrintLine or status line writes over it. An empty text
/// clears the row. When text does not fit and a shorter one is given, the
/// shorter one is shown (cut in its turn).
void ShowStatusLine(std::string_view text, std::string_view shorter = {});

/// Sets the colours of all text written afterwards; an index of 16 or more
/// (compared unsigned) keeps the current one.
void SetColor(int32_t foreground, int32_t background);

/// Returns after one key press; the key is discarded. Returns at once when
/// no keyboard can be read at all.
void WaitKey();

/// While on, Ctrl+C is the interrupt even where keys are read raw (the
/// fleet run's stop); off puts the keyboard back.
void LetInterruptKeyStop(bool on);

/// Whether printed text reaches a screen someone can see; a key wait after
/// a message makes sense only then.
bool ConsoleShowsText();

/// Pauses the program; keys pressed meanwhile stay pending.
void SleepMs(int32_t milliseconds);

/// A pause that lets someone read what was printed: SleepMs when printed text
/// reaches a screen, nothing when nobody can see it (cron, a pipe, a file).
void PauseForReader(int32_t milliseconds);

/// The lines PrintWrappedLine shows for text on a screen of the given width
/// (UTF-16 units, one cell each); pure, for the tests.
std::vector<std::u16string> WrapAtSpaces(std::u16string_view text, int width);

// The layer below PrintLine; used by PrintLine and by the tests.
void WriteText(std::u16string_view text);
void NewLine();
void ScrollUp();
/// Column and row are counted from 1; one outside the screen keeps the
/// cursor's current one.
void SetCursor(int32_t column, int32_t row);

#endif  // CONSOLE_CONSOLE_H_
