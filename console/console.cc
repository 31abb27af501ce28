#include "console/console.h"

#include <algorithm>
#include <string>

#include "console/terminal.h"
#include "base/text_codec.h"

namespace {

ConsoleState g_console;

// Cells are staged and written at most this many at a time.
constexpr size_t kStagingCells = 256;

// Scan codes of keys that carry no character and do not end a key wait:
// Ctrl, left Shift, right Shift, Alt, Caps Lock, Num Lock, Scroll Lock.
constexpr uint8_t kModifierScanCodes[] = {0x1D, 0x2A, 0x36, 0x38,
                                          0x3A, 0x45, 0x46};

uint16_t CurrentAttribute() {
  return static_cast<uint16_t>(g_console.foreground +
                               16 * g_console.background);
}

void ScrollOneRow() {
  TerminalGeometry geometry;
  if (!TerminalGetGeometry(&geometry)) return;
  TerminalScrollUp(CurrentAttribute());
}

void PlaceText(std::u16string_view text) {
  if (text.empty()) return;
  TerminalGeometry geometry;
  if (!TerminalGetGeometry(&geometry)) return;
  const int width = geometry.width;
  const int height = geometry.height;
  int x = geometry.cursorX;
  int y = geometry.cursorY;
  while (!text.empty()) {
    if (g_console.wrapPending) {
      g_console.wrapPending = false;
      ScrollOneRow();
    }
    const size_t count = std::min(
        {text.size(), static_cast<size_t>(width - x), kStagingCells});
    TerminalWriteCells(x, y, text.substr(0, count), CurrentAttribute());
    text.remove_prefix(count);
    x += static_cast<int>(count);
    if (x >= width) {
      x = 0;
      // On the last row the scroll waits until more text comes, so a line
      // that fills the screen exactly leaves no empty row below it yet.
      if (y + 1 >= height) {
        g_console.wrapPending = true;
      } else {
        ++y;
      }
    }
  }
  TerminalSetCursor(x, y);
}

void BreakLine() {
  TerminalGeometry geometry;
  if (!TerminalGetGeometry(&geometry)) return;
  if (geometry.cursorY + 1 < geometry.height) {
    TerminalSetCursor(0, geometry.cursorY + 1);
  } else {
    if (g_console.wrapPending) ScrollOneRow();
    ScrollOneRow();
    TerminalSetCursor(0, geometry.height - 1);
  }
  g_console.wrapPending = false;
}

// Whether printed text reaches a screen: a terminal or console was found at
// start-up and its size can be read.
bool HasScreen(TerminalGeometry* geometry) {
  return g_console.output >= 0 && TerminalGetGeometry(geometry);
}

// A line for a file or a pipe: control characters (C0, DEL and C1, which a
// terminal that later shows the file would obey) become "?".
std::string PlainLine(std::string_view text) {
  std::u16string wide = WidenText(text);
  for (char16_t& unit : wide) {
    if (unit < 0x20 || (unit >= 0x7F && unit < 0xA0)) unit = u'?';
  }
  return NarrowText(wide);
}

void PrintTo(int stream, std::string_view text) {
  TerminalGeometry geometry;
  if (!HasScreen(&geometry)) {
    TerminalWritePlainLine(stream, PlainLine(text));
    return;
  }
  PlaceText(WidenText(text));
  BreakLine();
  TerminalFlush();
}

bool EndsKeyWait(const TerminalKeyEvent& event) {
  if (!event.isKey || !event.pressed) return false;
  if (event.ch != 0) return true;
  const uint8_t scan = static_cast<uint8_t>(event.scanCode & 0xFF);
  return std::find(std::begin(kModifierScanCodes),
                   std::end(kModifierScanCodes),
                   scan) == std::end(kModifierScanCodes);
}

}  // namespace

ConsoleState& Console() { return g_console; }

void PrintLine(std::string_view text) { PrintTo(1, text); }

void PrintErrorLine(std::string_view text) { PrintTo(2, text); }

void PrintWrappedLine(std::string_view text) {
  TerminalGeometry geometry;
  if (!HasScreen(&geometry)) {
    TerminalWritePlainLine(1, PlainLine(text));
    return;
  }
  // Rows start at the first column; text after the cursor's column would
  // shorten the first row.
  for (const std::u16string& row : WrapAtSpaces(WidenText(text), geometry.width)) {
    PlaceText(row);
    // A row that filled the screen's width has moved to the next one already.
    if (static_cast<int>(row.size()) < geometry.width) BreakLine();
  }
  TerminalFlush();
}

std::vector<std::u16string> WrapAtSpaces(std::u16string_view text, int width) {
  std::vector<std::u16string> rows;
  const size_t limit = width > 0 ? static_cast<size_t>(width) : text.size();
  while (text.size() > limit) {
    // The last space that lets the row's words fit; the spaces at the break
    // are dropped. A word wider than the row is cut at the edge.
    size_t cut = text.substr(0, limit + 1).find_last_of(u' ');
    const bool atSpace = cut != std::u16string_view::npos && cut > 0;
    if (!atSpace) cut = limit;
    size_t end = cut;
    while (atSpace && end > 0 && text[end - 1] == u' ') --end;
    rows.emplace_back(text.substr(0, end));
    text.remove_prefix(cut);
    while (atSpace && !text.empty() && text.front() == u' ') text.remove_prefix(1);
  }
  rows.emplace_back(text);
  return rows;
}

void ShowStatusLine(std::string_view text, std::string_view shorter) {
  TerminalGeometry geometry;
  if (!TerminalGetGeometry(&geometry)) return;
  const size_t width = static_cast<size_t>(geometry.width);
  if (width < 2) return;
  std::u16string row = WidenText(text);
  if (row.size() > width - 1 && !shorter.empty()) row = WidenText(shorter);
  // A full bottom row still owes its scroll; the status goes below it.
  if (g_console.wrapPending) {
    g_console.wrapPending = false;
    ScrollOneRow();
  }
  // The last cell is never written: a terminal may wrap or scroll once it
  // is, and the row must stay one row.
  row.resize(width - 1, u' ');
  for (size_t x = 0; x < row.size(); x += kStagingCells) {
    const size_t count = std::min(kStagingCells, row.size() - x);
    TerminalWriteCells(static_cast<int>(x), geometry.cursorY,
                       std::u16string_view(row).substr(x, count), CurrentAttribute());
  }
  TerminalSetCursor(0, geometry.cursorY);
  g_console.wrapPending = false;
  TerminalFlush();
}

void SetColor(int32_t foreground, int32_t background) {
  if (static_cast<uint32_t>(foreground) < 16) {
    g_console.foreground = static_cast<uint32_t>(foreground);
  }
  if (static_cast<uint32_t>(background) < 16) {
    g_console.background = static_cast<uint32_t>(background);
  }
}

void WaitKey() {
  // Nothing is drained first: a key typed earlier in the run ends the wait.
  TerminalKeyEvent event;
  while (TerminalReadEvent(&event)) {
    if (EndsKeyWait(event)) break;
  }
  TerminalKeyWaitEnded();
}

bool ConsoleShowsText() {
  TerminalGeometry geometry;
  return HasScreen(&geometry);
}

void SleepMs(int32_t milliseconds) { TerminalSleep(milliseconds); }

void PauseForReader(int32_t milliseconds) {
  if (ConsoleShowsText()) SleepMs(milliseconds);
}

void WriteText(std::u16string_view text) {
  PlaceText(text);
  TerminalFlush();
}

void NewLine() {
  BreakLine();
  TerminalFlush();
}

void ScrollUp() {
  ScrollOneRow();
  TerminalFlush();
}

void SetCursor(int32_t column, int32_t row) {
  TerminalGeometry geometry;
  if (!TerminalGetGeometry(&geometry)) return;
  int x = geometry.cursorX;
  int y = geometry.cursorY;
  if (column >= 1 && column <= geometry.width) x = column - 1;
  if (row >= 1 && row <= geometry.height) y = row - 1;
  TerminalSetCursor(x, y);
  g_console.wrapPending = false;
  TerminalFlush();
}

void LetInterruptKeyStop(bool on) { TerminalLetInterruptKeyStop(on); }
