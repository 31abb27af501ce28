#ifndef CONSOLE_TERMINAL_H_
#define CONSOLE_TERMINAL_H_

// The platform below the Console: a grid of cells with a cursor, a keyboard
// and a clock. One implementation per platform, chosen by CMake:
// terminal_posix.cc on a real terminal, terminal_win32.cc on the Windows
// console, memory_screen.cc for the tests.
// The Console (console.cc) does the wrapping, scrolling and key filtering on
// top of these calls; they only carry cells and events.

#include <cstddef>
#include <cstdint>
#include <string>
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

/// Pauses the program; the keyboard is not read meanwhile.
void TerminalSleep(int32_t milliseconds);

// ---------------------------------------------------------------------------
// POSIX terminal pieces that do no I/O (terminal_posix.cc), declared here so
// tests can check the bytes directly.

/// Appends the bytes that move the cursor to (x, y), counted from 0.
void AppendCursorMove(int x, int y, std::string* out);

/// Appends the SGR sequence for a console attribute: bits 0-3 foreground,
/// 4-7 background, each with 1 blue, 2 green, 4 red, 8 bright.
void AppendAttribute(uint16_t attribute, std::string* out);

/// Appends the bytes that draw one UTF-16 unit in exactly one column, in the
/// locale's encoding: control characters as Control Pictures, anything the
/// terminal would show in more or less than one column as "?".
void AppendCellGlyph(char16_t unit, std::string* out);

/// Decodes the first key at the start of bytes: one byte, one UTF-8 sequence
/// (when utf8), or one escape sequence. Returns the number of bytes taken,
/// at least 1 when bytes is not empty, or 0 when the key may still be
/// incomplete and complete is false. complete: no more bytes are coming
/// soon, so a lone Esc or a cut sequence is taken as it stands.
size_t DecodeKey(std::string_view bytes, bool utf8, bool complete,
                 TerminalKeyEvent* key);

/// Finds a cursor position report (ESC [ row ; column R) in bytes. On
/// success gives its row and column (counted from 1) and where it starts and
/// how long it is, so the bytes around it can be kept as typed keys.
bool FindCursorReport(std::string_view bytes, int* row, int* column,
                      size_t* start, size_t* length);

// ---------------------------------------------------------------------------
// Start-up and shutdown of the POSIX terminal (startup_posix.cc calls these).

/// What start-up found out about the terminal.
struct TerminalSetup {
  int output = -1;  // descriptor that receives text; -1: none
  int input = -1;   // keyboard descriptor; -1: none
  // Standard input is the keyboard: Ctrl+C and Ctrl+Z are keys, not signals.
  bool rawKeys = false;
  // output is the terminal whose keyboard is input, so its cursor can be
  // asked through input.
  bool outputIsKeyboard = false;
  // TERM is unset or dumb: plain lines, no escape sequence at all.
  bool plain = false;
  // Deal with stop and continue signals (the program; not the tests).
  bool catchStops = false;
};

/// Takes the keyboard: sets its modes when the program is in the
/// foreground. The screen is taken only at the first output, so a run that
/// prints nothing writes nothing and asks the terminal nothing. With
/// catchStops, stop and continue signals are held back outside the
/// terminal's own waits, where the terminal is given back before a stop and
/// taken again after it.
void TerminalBegin(const TerminalSetup& setup);

/// Gives the terminal back as it was found: an answer to the cursor question
/// that is still owed is waited for (for a bounded time) and taken out,
/// keys read ahead are put back into the terminal's input, autowrap and
/// colours are handed back and the keyboard modes restored.
void TerminalEnd();

/// The part of TerminalEnd that is safe in a signal handler: autowrap,
/// colours and keyboard modes.
void TerminalRestoreFromSignal();

// ---------------------------------------------------------------------------
// Start-up of the Windows console (startup_win32.cc calls this).

/// Takes the console screen buffer that receives the cells and the console
/// input buffer that gives the keys, as Windows handles; null: none.
void TerminalBeginConsole(void* output, void* input);

#endif  // CONSOLE_TERMINAL_H_
