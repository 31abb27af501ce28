#include "testing/memory_screen.h"

#include <algorithm>
#include <deque>

#include "base/utf8.h"
#include "console/console.h"
#include "console/terminal.h"

namespace {

struct MemoryScreen {
  int width = 80;
  int height = 25;
  int cursorX = 0;
  int cursorY = 0;
  bool hasKeyboard = true;
  std::vector<MemoryCell> cells = std::vector<MemoryCell>(80 * 25);
  std::vector<std::string> scrollback;
  std::deque<MemoryKeyEvent> keys;
  int keyWaits = 0;
  std::vector<int32_t> sleeps;
  std::vector<std::string> plainOutput;
  std::vector<std::string> plainErrors;
};

MemoryScreen g_screen;

MemoryCell& CellAt(int x, int y) {
  return g_screen.cells[static_cast<size_t>(y) * g_screen.width + x];
}

// A pair of surrogates in neighbouring cells reads as one character; a lone
// one as U+FFFD, so the text stays valid UTF-8.
std::string RowText(const std::vector<MemoryCell>& cells, int y, int width) {
  std::string text;
  const MemoryCell* row = cells.data() + static_cast<size_t>(y) * width;
  for (int x = 0; x < width; ++x) {
    const char16_t c = row[x].ch;
    if (c >= 0xD800 && c < 0xDC00 && x + 1 < width &&
        row[x + 1].ch >= 0xDC00 && row[x + 1].ch < 0xE000) {
      AppendUtf8(0x10000 + ((c - 0xD800) << 10) + (row[x + 1].ch - 0xDC00),
                 &text);
      ++x;
    } else if (c >= 0xD800 && c < 0xE000) {
      AppendUtf8(0xFFFD, &text);
    } else {
      AppendUtf8(c, &text);
    }
  }
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

}  // namespace

void MemoryScreenReset(int width, int height, bool hasKeyboard) {
  g_screen = MemoryScreen();
  g_screen.width = std::max(width, 0);
  g_screen.height = std::max(height, 0);
  g_screen.cells.assign(static_cast<size_t>(g_screen.width) * g_screen.height,
                        MemoryCell());
  g_screen.hasKeyboard = hasKeyboard;
  Console() = ConsoleState();
  Console().output = 1;
  Console().input = hasKeyboard ? 0 : -1;
}

void MemoryScreenResize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  std::vector<MemoryCell> cells(static_cast<size_t>(width) * height);
  for (int y = 0; y < std::min(height, g_screen.height); ++y) {
    for (int x = 0; x < std::min(width, g_screen.width); ++x) {
      cells[static_cast<size_t>(y) * width + x] = CellAt(x, y);
    }
  }
  g_screen.cells = std::move(cells);
  g_screen.width = width;
  g_screen.height = height;
}

void MemoryScreenSetCursor(int x, int y) {
  g_screen.cursorX = x;
  g_screen.cursorY = y;
}

int MemoryScreenCursorX() { return g_screen.cursorX; }
int MemoryScreenCursorY() { return g_screen.cursorY; }

const MemoryCell& MemoryScreenCell(int x, int y) { return CellAt(x, y); }

std::string MemoryScreenRowText(int y) {
  return RowText(g_screen.cells, y, g_screen.width);
}

std::vector<std::string> MemoryScreenLines() {
  std::vector<std::string> lines;
  for (int y = 0; y < g_screen.height; ++y) {
    lines.push_back(MemoryScreenRowText(y));
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

const std::vector<std::string>& MemoryScreenScrollback() {
  return g_screen.scrollback;
}

void MemoryScreenPushKey(const MemoryKeyEvent& event) {
  g_screen.keys.push_back(event);
}

size_t MemoryScreenPendingKeys() { return g_screen.keys.size(); }
int MemoryScreenKeyWaits() { return g_screen.keyWaits; }
const std::vector<int32_t>& MemoryScreenSleeps() { return g_screen.sleeps; }
const std::vector<std::string>& MemoryScreenPlainLines(int stream) {
  return stream == 2 ? g_screen.plainErrors : g_screen.plainOutput;
}

// The platform calls, on the grid above.

bool TerminalGetGeometry(TerminalGeometry* geometry) {
  if (g_screen.width <= 0 || g_screen.height <= 0) return false;
  // A screen that shrank under the cursor keeps it on its last cell, as a
  // terminal does.
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
  for (char16_t unit : units) {
    if (x >= 0 && x < g_screen.width && y >= 0 && y < g_screen.height) {
      CellAt(x, y) = MemoryCell{unit, attribute};
    }
    ++x;
  }
}

void TerminalScrollUp(uint16_t attribute) {
  if (g_screen.height <= 0) return;
  g_screen.scrollback.push_back(MemoryScreenRowText(0));
  std::move(g_screen.cells.begin() + g_screen.width, g_screen.cells.end(),
            g_screen.cells.begin());
  std::fill(g_screen.cells.end() - g_screen.width, g_screen.cells.end(),
            MemoryCell{u' ', attribute});
}

void TerminalSetCursor(int x, int y) {
  g_screen.cursorX = x;
  g_screen.cursorY = y;
}

void TerminalFlush() {}

void TerminalWritePlainLine(int stream, std::string_view text) {
  (stream == 2 ? g_screen.plainErrors : g_screen.plainOutput).emplace_back(text);
}

bool TerminalReadEvent(TerminalKeyEvent* event) {
  // An empty queue ends the wait too, so a test can never hang in it.
  if (!g_screen.hasKeyboard || g_screen.keys.empty()) return false;
  const MemoryKeyEvent& next = g_screen.keys.front();
  event->isKey = next.isKey;
  event->pressed = next.pressed;
  event->ch = next.ch;
  event->scanCode = next.scanCode;
  g_screen.keys.pop_front();
  return true;
}

void TerminalLetInterruptKeyStop(bool) {}

void TerminalKeyWaitEnded() { ++g_screen.keyWaits; }

void TerminalSleep(int32_t milliseconds) {
  g_screen.sleeps.push_back(milliseconds);
}
