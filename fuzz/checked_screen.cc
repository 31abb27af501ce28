#include "fuzz/checked_screen.h"

#include <algorithm>

#include "fuzz/fuzz_check.h"

namespace {

CheckedScreen g_screen;

bool Inside(int x, int y) {
  return x >= 0 && x < g_screen.width && y >= 0 && y < g_screen.height;
}

CheckedCell& CellAt(int x, int y) {
  FUZZ_CHECK(Inside(x, y));
  return g_screen.cells[static_cast<size_t>(y) * g_screen.width + x];
}

}  // namespace

CheckedScreen& Screen() { return g_screen; }

void CheckedScreenReset(int width, int height) {
  g_screen = CheckedScreen();
  g_screen.width = std::max(width, 0);
  g_screen.height = std::max(height, 0);
  g_screen.cells.assign(static_cast<size_t>(g_screen.width) * g_screen.height,
                        CheckedCell());
}

void CheckedScreenResize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  std::vector<CheckedCell> cells(static_cast<size_t>(width) * height);
  for (int y = 0; y < std::min(height, g_screen.height); ++y) {
    for (int x = 0; x < std::min(width, g_screen.width); ++x) {
      cells[static_cast<size_t>(y) * width + x] = CellAt(x, y);
    }
  }
  g_screen.cells = std::move(cells);
  g_screen.width = width;
  g_screen.height = height;
}

const CheckedCell& CheckedScreenCell(int x, int y) { return CellAt(x, y); }

bool TerminalGetGeometry(TerminalGeometry* geometry) {
  if (g_screen.width <= 0 || g_screen.height <= 0) return false;
  // A screen that shrank under the cursor keeps it on its last cell.
  g_screen.cursorX = std::clamp(g_screen.cursorX, 0, g_screen.width - 1);
  g_screen.cursorY = std::clamp(g_screen.cursorY, 0, g_screen.height - 1);
  geometry->width = g_screen.width;
  geometry->height = g_screen.height;
  geometry->cursorX = g_screen.cursorX;
  geometry->cursorY = g_screen.cursorY;
  return true;
}

void TerminalWriteCells(int x, int y, std::u16string_view units,
                        uint16_t attribute) {
  FUZZ_CHECK(!units.empty());
  FUZZ_CHECK(Inside(x, y));
  FUZZ_CHECK(units.size() <= static_cast<size_t>(g_screen.width - x));
  FUZZ_CHECK(attribute < 256);
  for (char16_t unit : units) CellAt(x++, y) = CheckedCell{unit, attribute};
  g_screen.unitsWritten += units.size();
}

void TerminalScrollUp(uint16_t attribute) {
  FUZZ_CHECK(g_screen.width > 0 && g_screen.height > 0);
  FUZZ_CHECK(attribute < 256);
  std::move(g_screen.cells.begin() + g_screen.width, g_screen.cells.end(),
            g_screen.cells.begin());
  std::fill(g_screen.cells.end() - g_screen.width, g_screen.cells.end(),
            CheckedCell{u' ', attribute});
  ++g_screen.scrolls;
}

void TerminalSetCursor(int x, int y) {
  FUZZ_CHECK(Inside(x, y));
  g_screen.cursorX = x;
  g_screen.cursorY = y;
}

void TerminalFlush() {}

void TerminalWritePlainLine(int, std::string_view) {}

bool TerminalReadEvent(TerminalKeyEvent* event) {
  // An empty queue is a keyboard that has gone: the wait ends.
  if (g_screen.keys.empty()) return false;
  *event = g_screen.keys.front();
  g_screen.keys.pop_front();
  return true;
}

void TerminalLetInterruptKeyStop(bool) {}

void TerminalKeyWaitEnded() { ++g_screen.keyWaits; }

void TerminalSleep(int32_t milliseconds) {
  g_screen.sleeps.push_back(milliseconds);
}
