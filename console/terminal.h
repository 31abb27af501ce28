#ifndef CONSOLE_TERMINAL_H_
#define CONSOLE_TERMINAL_H_

// The platform below the Console: a grid of cells with a cursor, a keyboard
// and a clock. One implementation per platform, chosen by CMake:
// terminal_posix.cc on a real terminal, terminal_win32.cc on the Windows
// console; the tests link an in-memory screen instead.
// The Console (console.cc) does the wrapping, scrolling and key filtering on
// top of these calls; they only carry cells and events.

#include <cstdint>
#include <string_view>

/// Screen size and cursor, counted from 0; the cursor is always inside.
struct TerminalGeometry {
  int width = 0;
  int height = 0;
  int cursorX = 0;
  int cursorY = 0;
};

/// Reads the size and the cursor afresh. False when there is no screen at
/// all; the Console then does nothing.
bool TerminalGetGeometry(TerminalGeometry* geometry);

/// Places one cell per UTF-16 unit in row y from column x, every cell with
/// the attribute (foreground + 16 * background). Interprets no character and
/// leaves the cursor where it was.
void TerminalWriteCells(int x, int y, std::u16string_view units,
                        uint16_t attribute);

/// Moves every row up by one; the top row leaves the screen and the bottom
/// row becomes spaces of the attribute. The cursor stays where it was.
void TerminalScrollUp(uint16_t attribute);

/// Places the cursor (counted from 0, inside the screen).
void TerminalSetCursor(int x, int y);

/// Delivers what the calls above produced. The Console calls it once at the
/// end of each of its operations, so a printed line is one write.
void TerminalFlush();

/// Writes one plain text line (8-bit text, no line end) to standard output
/// (stream 1) or standard error (stream 2), with the platform's line end, for
/// a run whose text reaches no screen. A stream that is closed or gone is
/// passed over.
void TerminalWritePlainLine(int stream, std::string_view text);

/// One input event, in the console keyboard's terms.
struct TerminalKeyEvent {
  bool isKey = true;      // false: a mouse, focus or size event
  bool pressed = true;    // false: a key release
  char16_t ch = 0;        // 0: a key without a character
  uint16_t scanCode = 0;  // looked at only when ch is 0
};

/// Takes the next input event, waiting for it without spinning. False when
/// no event can come: there is no keyboard, or it is gone.
bool TerminalReadEvent(TerminalKeyEvent* event);

/// Told each time WaitKey returns.
void TerminalKeyWaitEnded();

/// While on, Ctrl+C on the keyboard is the interrupt (SIGINT, or the
/// console's Ctrl+C event) even where keys are otherwise read raw; off puts
/// the keyboard back as it was.
void TerminalLetInterruptKeyStop(bool on);

/// Pauses the program; the keyboard is not read meanwhile.
void TerminalSleep(int32_t milliseconds);

#endif  // CONSOLE_TERMINAL_H_
