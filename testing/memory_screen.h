#ifndef TESTING_MEMORY_SCREEN_H_
#define TESTING_MEMORY_SCREEN_H_

// The in-memory screen that tests link in place of the terminal: a grid of
// cells with a cursor, a size that can change between calls, a queue of key
// events, and a record of the pauses asked for. Nothing really sleeps.

#include <cstdint>
#include <string>
#include <vector>

struct MemoryCell {
  char16_t ch = u' ';
  uint16_t attribute = 7;
};

/// A key event as a console keyboard reports it.
struct MemoryKeyEvent {
  bool isKey = true;      // false: a mouse, focus or size event
  bool pressed = true;    // false: a key release
  char16_t ch = 0;        // 0: a key without a character
  uint16_t scanCode = 0;  // matters only when ch is 0
};

/// A fresh screen of the given size filled with spaces of attribute 7, the
/// cursor at (0, 0), the console record back to its start values and the key
/// queue and pause record emptied. hasKeyboard false: WaitKey finds none.
void MemoryScreenReset(int width, int height, bool hasKeyboard = true);
/// Changes the size, keeping the cells that still fit.
void MemoryScreenResize(int width, int height);
/// Places the cursor as the terminal would report it (counted from 0).
void MemoryScreenSetCursor(int x, int y);
int MemoryScreenCursorX();
int MemoryScreenCursorY();
const MemoryCell& MemoryScreenCell(int x, int y);
/// The row's characters as UTF-8, trailing spaces removed.
std::string MemoryScreenRowText(int y);
/// Every non-empty row's text from the top, rows that are empty in the middle
/// kept as "" so line breaks show; trailing empty rows dropped.
std::vector<std::string> MemoryScreenLines();
/// Rows scrolled off the top, oldest first, as UTF-8 without trailing spaces.
const std::vector<std::string>& MemoryScreenScrollback();

void MemoryScreenPushKey(const MemoryKeyEvent& event);
/// Key events still queued.
size_t MemoryScreenPendingKeys();
/// How many times WaitKey returned.
int MemoryScreenKeyWaits();
/// Every SleepMs request, in order, in milliseconds.
const std::vector<int32_t>& MemoryScreenSleeps();
/// The plain text lines written to standard output (stream 1) or standard
/// error (stream 2) while there was no screen, in order, each without its
/// line end.
const std::vector<std::string>& MemoryScreenPlainLines(int stream);

#endif  // TESTING_MEMORY_SCREEN_H_
