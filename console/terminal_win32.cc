// The Console's cells on the Windows console: cells and their attributes go
// straight into the screen buffer, keys come as console input records. No
// escape sequence is ever written.

#include <windows.h>

#include <algorithm>
#include <string>

#include "console/terminal.h"
#include "console/terminal_win32.h"

namespace {

// How long the key wait rests between looks at an empty input buffer; the
// wait also wakes as soon as an event arrives.
constexpr DWORD kKeyPollMs = 20;

// The Console never hands over more cells than this in one call.
constexpr size_t kMaxCells = 256;

struct Win32Console {
  HANDLE output = INVALID_HANDLE_VALUE;
  HANDLE input = INVALID_HANDLE_VALUE;
  bool keyboardGone = false;
  int ownAttribute = -1;
};

Win32Console g_console;

bool HasOutput() { return g_console.output != INVALID_HANDLE_VALUE; }

bool ReadBufferInfo(CONSOLE_SCREEN_BUFFER_INFO* info) {
  return HasOutput() && GetConsoleScreenBufferInfo(g_console.output, info) &&
         info->dwSize.X > 0 && info->dwSize.Y > 0;
}

}  // namespace

void TerminalBeginConsole(void* output, void* input, int ownAttribute) {
  g_console = Win32Console();
  g_console.ownAttribute = ownAttribute;
  if (output != nullptr) g_console.output = static_cast<HANDLE>(output);
  if (input != nullptr) g_console.input = static_cast<HANDLE>(input);
}

bool TerminalGetGeometry(TerminalGeometry* geometry) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!ReadBufferInfo(&info)) return false;
  // The whole buffer, not the visible window: the window follows the cursor.
  geometry->width = info.dwSize.X;
  geometry->height = info.dwSize.Y;
  geometry->cursorX = std::clamp<int>(info.dwCursorPosition.X, 0,
                                      info.dwSize.X - 1);
  geometry->cursorY = std::clamp<int>(info.dwCursorPosition.Y, 0,
                                      info.dwSize.Y - 1);
  return true;
}

void TerminalWriteCells(int x, int y, std::u16string_view units,
                        uint16_t attribute) {
  if (!HasOutput() || units.empty()) return;
  if (g_console.ownAttribute >= 0) attribute = static_cast<uint16_t>(g_console.ownAttribute);
  CHAR_INFO cells[kMaxCells];
  const size_t count = std::min(units.size(), kMaxCells);
  for (size_t i = 0; i < count; ++i) {
    cells[i].Char.UnicodeChar = static_cast<WCHAR>(units[i]);
    cells[i].Attributes = attribute;
  }
  const COORD size = {static_cast<SHORT>(count), 1};
  const COORD from = {0, 0};
  SMALL_RECT target = {static_cast<SHORT>(x), static_cast<SHORT>(y),
                       static_cast<SHORT>(x + static_cast<int>(count) - 1),
                       static_cast<SHORT>(y)};
  WriteConsoleOutputW(g_console.output, cells, size, from, &target);
}

void TerminalScrollUp(uint16_t attribute) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!ReadBufferInfo(&info)) return;
  if (info.dwSize.Y < 2) {
    // Nothing moves; the one row is blanked.
    const std::u16string blank(static_cast<size_t>(info.dwSize.X), u' ');
    for (size_t x = 0; x < blank.size(); x += kMaxCells) {
      TerminalWriteCells(static_cast<int>(x), 0,
                         std::u16string_view(blank).substr(x, kMaxCells),
                         attribute);
    }
    return;
  }
  const SMALL_RECT rows = {0, 1, static_cast<SHORT>(info.dwSize.X - 1),
                           static_cast<SHORT>(info.dwSize.Y - 1)};
  CHAR_INFO fill;
  fill.Char.UnicodeChar = L' ';
  fill.Attributes = g_console.ownAttribute >= 0 ? static_cast<WORD>(g_console.ownAttribute)
                                                : attribute;
  ScrollConsoleScreenBufferW(g_console.output, &rows, nullptr, COORD{0, 0},
                             &fill);
}

void TerminalSetCursor(int x, int y) {
  if (!HasOutput()) return;
  // The console scrolls its window so that the cursor shows.
  SetConsoleCursorPosition(g_console.output,
                           COORD{static_cast<SHORT>(x), static_cast<SHORT>(y)});
}

// Every call above has already reached the console.
void TerminalFlush() {}

void TerminalWritePlainLine(int stream, std::string_view text) {
  const HANDLE handle = GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  // Plain lines are for files and pipes. A console handle here belongs to a
  // console nobody can see (a window station of a task run whether the user
  // is logged on or not): it gets nothing.
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) return;
  std::string line(text);
  line += "\r\n";
  const char* data = line.data();
  DWORD left = static_cast<DWORD>(line.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, data, left, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

bool TerminalReadEvent(TerminalKeyEvent* event) {
  if (g_console.input == INVALID_HANDLE_VALUE || g_console.keyboardGone) {
    return false;
  }
  INPUT_RECORD record;
  for (;;) {
    DWORD count = 0;
    if (!PeekConsoleInputW(g_console.input, &record, 1, &count)) {
      // The console is gone (or never was): no key can come.
      g_console.keyboardGone = true;
      return false;
    }
    if (count > 0) break;
    if (WaitForSingleObject(g_console.input, kKeyPollMs) == WAIT_FAILED) {
      Sleep(kKeyPollMs);
    }
  }
  DWORD count = 0;
  if (!ReadConsoleInputW(g_console.input, &record, 1, &count) || count == 0) {
    g_console.keyboardGone = true;
    return false;
  }
  *event = TerminalKeyEvent();
  if (record.EventType != KEY_EVENT) {
    event->isKey = false;
    return true;
  }
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  event->pressed = key.bKeyDown != FALSE;
  event->ch = static_cast<char16_t>(key.uChar.UnicodeChar);
  event->scanCode = key.wVirtualScanCode;
  return true;
}

void TerminalKeyWaitEnded() {}

void TerminalLetInterruptKeyStop(bool on) {
  DWORD mode = 0;
  if (g_console.input == INVALID_HANDLE_VALUE || !GetConsoleMode(g_console.input, &mode)) return;
  SetConsoleMode(g_console.input, on ? (mode | ENABLE_PROCESSED_INPUT)
                                     : (mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT)));
}

void TerminalSleep(int32_t milliseconds) {
  // A negative count would be INFINITE to Sleep: it pauses not at all.
  if (milliseconds <= 0) return;
  Sleep(static_cast<DWORD>(milliseconds));
}
