#ifndef CONSOLE_TERMINAL_BYTES_H_
#define CONSOLE_TERMINAL_BYTES_H_

// The bytes a POSIX terminal takes and sends, with no I/O, so tests can
// check them directly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/terminal.h"

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

#endif  // CONSOLE_TERMINAL_BYTES_H_
