#ifndef FUZZ_CHECKED_SCREEN_H_
#define FUZZ_CHECKED_SCREEN_H_

// A screen below the Console that refuses every request outside it: a cell
// written past the last column or row, a cursor placed outside, a scroll of
// no screen. Its size and cursor change only between Console calls, as a
// terminal's do between the Console's reads of them.

#include <cstdint>
#include <deque>
#include <vector>

#include "console/terminal.h"

struct CheckedCell {
  char16_t ch = u' ';
  uint16_t attribute = 7;
};

struct CheckedScreen {
  int width = 0;
  int height = 0;
  int cursorX = 0;
  int cursorY = 0;
  std::vector<CheckedCell> cells;  // exactly width * height
  std::deque<TerminalKeyEvent> keys;
  size_t unitsWritten = 0;
  int scrolls = 0;
  int keyWaits = 0;
  std::vector<int32_t> sleeps;
};

CheckedScreen& Screen();

/// A fresh screen of spaces; the cursor at (0, 0).
void CheckedScreenReset(int width, int height);
/// Changes the size, keeping the cells that still fit.
void CheckedScreenResize(int width, int height);
const CheckedCell& CheckedScreenCell(int x, int y);

#endif  // FUZZ_CHECKED_SCREEN_H_
