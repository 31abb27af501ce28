// The Console's cells on a POSIX terminal: cursor addressing, SGR colours
// and the locale's encoding on the output descriptor, keys from /dev/tty.

#include <errno.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "console/terminal.h"

const char kTerminalRestoreBytes[] = "\x1b[0m\x1b[?7h";
const size_t kTerminalRestoreLength = sizeof(kTerminalRestoreBytes) - 1;

namespace {

// How long the terminal gets to answer the cursor question; tmux and xterm
// answer within a millisecond.
constexpr int kCursorReplyMs = 200;
// After an Esc byte, how long to wait for the rest of an escape sequence
// before taking it as the Esc key alone.
constexpr int kEscapePauseMs = 50;
// Screen size of a terminal that reports none.
constexpr int kFallbackWidth = 80;
constexpr int kFallbackHeight = 24;
// A control sequence longer than this is not a key; it is cut here.
constexpr size_t kMaxSequence = 32;

struct PosixTerminal {
  int output = -1;
  int input = -1;
  bool utf8 = false;
  bool keyboardGone = false;
  int cursorX = 0;
  int cursorY = 0;
  bool cursorStale = false;  // the terminal's cursor is not at cursorX/Y
  std::string out;           // bytes of the current operation
  std::string typed;         // keyboard bytes not yet decoded
};

PosixTerminal g_term;

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;  // a terminal that hung up takes no more text
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

bool ReadSize(int* width, int* height) {
  if (g_term.output < 0) return false;
  struct winsize size;
  if (ioctl(g_term.output, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 ||
      size.ws_row == 0) {
    // A terminal that does not know its size (a serial line, a pty nobody
    // sized) still shows text: assume the classic screen.
    *width = kFallbackWidth;
    *height = kFallbackHeight;
    return true;
  }
  *width = size.ws_col;
  *height = size.ws_row;
  return true;
}

enum class Readiness { kReadable, kTimeout, kGone };

long long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000L;
}

// Waits up to timeoutMs (-1: without limit) for keyboard bytes.
Readiness WaitForInput(int timeoutMs) {
  const long long deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const int wait = timeoutMs < 0
        ? -1
        : static_cast<int>(std::max(deadline - MonotonicMs(), 0LL));
    struct pollfd poller = {g_term.input, POLLIN, 0};
    const int ready = poll(&poller, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Readiness::kGone;
    }
    if (ready == 0) return Readiness::kTimeout;
    if (poller.revents & POLLIN) return Readiness::kReadable;
    return Readiness::kGone;
  }
}

// Appends what the keyboard has; false when it has hung up or failed.
bool ReadTyped() {
  char buffer[256];
  for (;;) {
    const ssize_t got = read(g_term.input, buffer, sizeof buffer);
    if (got > 0) {
      g_term.typed.append(buffer, static_cast<size_t>(got));
      return true;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return false;
  }
}

bool IsContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// Length of the UTF-8 sequence at the start of bytes, 0 when it is invalid,
// or -1 when it is a valid beginning cut short.
int Utf8Length(std::string_view bytes, char32_t* code) {
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  int length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  char32_t value = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) >= bytes.size()) return -1;
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (!IsContinuation(c) || (i == 1 && (c < low || c > high))) return 0;
    value = (value << 6) | (c & 0x3F);
  }
  *code = value;
  return length;
}

}  // namespace

// --- Pieces that do no I/O -------------------------------------------------

void AppendCursorMove(int x, int y, std::string* out) {
  char sequence[32];
  const int length =
      std::snprintf(sequence, sizeof sequence, "\x1b[%d;%dH", y + 1, x + 1);
  out->append(sequence, static_cast<size_t>(length));
}

void AppendAttribute(uint16_t attribute, std::string* out) {
  // Console colour bits are 1 blue, 2 green, 4 red; ANSI has red and blue
  // the other way round.
  static constexpr int kAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  const int foreground = attribute & 0x0F;
  const int background = (attribute >> 4) & 0x0F;
  const int fg = (foreground & 8 ? 90 : 30) + kAnsi[foreground & 7];
  const int bg = (background & 8 ? 100 : 40) + kAnsi[background & 7];
  char sequence[32];
  // The leading 0 drops bold, underline and the like left by other writers.
  const int length =
      std::snprintf(sequence, sizeof sequence, "\x1b[0;%d;%dm", fg, bg);
  out->append(sequence, static_cast<size_t>(length));
}

void AppendCellGlyph(char16_t unit, std::string* out) {
  char32_t code = unit;
  if (unit < 0x20) {
    code = 0x2400 + unit;  // Control Pictures: one column everywhere
  } else if (unit == 0x7F) {
    code = 0x2421;
  } else if (unit >= 0xD800 && unit < 0xE000) {
    out->push_back('?');  // half a character cannot fill a cell
    return;
  }
  const wchar_t wide = static_cast<wchar_t>(code);
  char bytes[MB_LEN_MAX];
  std::mbstate_t state{};
  const size_t length =
      wcwidth(wide) == 1 ? std::wcrtomb(bytes, wide, &state)
                         : static_cast<size_t>(-1);
  if (length == static_cast<size_t>(-1) || length == 0) {
    out->push_back('?');
    return;
  }
  out->append(bytes, length);
}

size_t DecodeKey(std::string_view bytes, bool utf8, bool complete,
                 TerminalKeyEvent* key) {
  *key = TerminalKeyEvent();
  if (bytes.empty()) return 0;
  const unsigned char first = static_cast<unsigned char>(bytes[0]);

  if (first != 0x1B) {
    if (utf8 && first >= 0x80) {
      char32_t code = 0;
      const int length = Utf8Length(bytes, &code);
      if (length < 0 && !complete) return 0;
      if (length > 0) {
        key->ch = code < 0x10000
                      ? static_cast<char16_t>(code)
                      : static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
        return static_cast<size_t>(length);
      }
      // A byte that is not UTF-8, carried as a lone surrogate as in text.
      key->ch = static_cast<char16_t>(0xDC00 + first);
      return 1;
    }
    key->ch = first;  // NUL (Ctrl+Space) is a key without a character
    return 1;
  }

  if (bytes.size() == 1) {
    if (!complete) return 0;
    key->ch = 0x1B;
    return 1;
  }
  const unsigned char second = static_cast<unsigned char>(bytes[1]);
  if (second == '[') {
    size_t i = 2;
    // The Linux console sends F1..F5 as ESC [ [ A..E.
    if (bytes.size() > 2 && bytes[2] == '[') {
      if (bytes.size() > 3) return 4;
      return complete ? 3 : 0;
    }
    while (i < bytes.size() && i < kMaxSequence) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c >= 0x40 && c <= 0x7E) {
        int row, column;
        size_t start, length;
        // A cursor report that came too late for start-up is no key.
        if (c == 'R' &&
            FindCursorReport(bytes.substr(0, i + 1), &row, &column, &start,
                             &length) &&
            start == 0) {
          key->isKey = false;
        }
        return i + 1;
      }
      if (c < 0x20 || c > 0x3F) return i;  // not part of a sequence: cut
      ++i;
    }
    if (i >= kMaxSequence) return i;
    return complete ? i : 0;
  }
  if (second == 'O') {
    if (bytes.size() == 2) {
      if (!complete) return 0;
      key->ch = 'O';  // Alt+Shift+O
      return 2;
    }
    const unsigned char third = static_cast<unsigned char>(bytes[2]);
    if (third >= 0x20 && third <= 0x7E) return 3;  // F1..F4, keypad
    key->ch = 'O';
    return 2;
  }
  if (second == 0x1B) {
    key->ch = 0x1B;
    return 1;
  }
  // Alt with a key: Esc followed by that key's bytes.
  const size_t rest = DecodeKey(bytes.substr(1), utf8, complete, key);
  return rest == 0 ? 0 : rest + 1;
}

bool FindCursorReport(std::string_view bytes, int* row, int* column,
                      size_t* start, size_t* length) {
  for (size_t at = bytes.find('\x1b'); at != std::string_view::npos;
       at = bytes.find('\x1b', at + 1)) {
    size_t i = at + 1;
    if (i >= bytes.size() || bytes[i] != '[') continue;
    ++i;
    int numbers[2] = {0, 0};
    bool ok = true;
    for (int n = 0; n < 2 && ok; ++n) {
      const size_t digitsStart = i;
      while (i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9' &&
             i - digitsStart < 5) {
        numbers[n] = numbers[n] * 10 + (bytes[i] - '0');
        ++i;
      }
      const char expected = n == 0 ? ';' : 'R';
      ok = i > digitsStart && i < bytes.size() && bytes[i] == expected;
      ++i;
    }
    if (!ok) continue;
    *row = numbers[0];
    *column = numbers[1];
    *start = at;
    *length = i - at;
    return true;
  }
  return false;
}

// --- The platform calls ----------------------------------------------------

bool TerminalGetGeometry(TerminalGeometry* geometry) {
  int width, height;
  if (!ReadSize(&width, &height)) return false;
  // The Console is the only writer, so its own record of the cursor is the
  // truth; a terminal that shrank keeps it on its last cell.
  g_term.cursorX = std::clamp(g_term.cursorX, 0, width - 1);
  g_term.cursorY = std::clamp(g_term.cursorY, 0, height - 1);
  geometry->width = width;
  geometry->height = height;
  geometry->cursorX = g_term.cursorX;
  geometry->cursorY = g_term.cursorY;
  return true;
}

void TerminalWriteCells(int x, int y, std::u16string_view units,
                        uint16_t attribute) {
  if (g_term.output < 0) return;
  AppendCursorMove(x, y, &g_term.out);
  AppendAttribute(attribute, &g_term.out);
  for (char16_t unit : units) AppendCellGlyph(unit, &g_term.out);
  g_term.cursorStale = true;
}

void TerminalScrollUp(uint16_t attribute) {
  int width, height;
  if (!ReadSize(&width, &height)) return;
  // A line feed on the bottom row sends the top row into the scrollback.
  AppendCursorMove(0, height - 1, &g_term.out);
  g_term.out.push_back('\n');
  // Terminals differ in the colour they give the new row: paint it.
  AppendCursorMove(0, height - 1, &g_term.out);
  AppendAttribute(attribute, &g_term.out);
  g_term.out.append(static_cast<size_t>(width), ' ');
  g_term.cursorStale = true;
}

void TerminalSetCursor(int x, int y) {
  g_term.cursorX = x;
  g_term.cursorY = y;
  g_term.cursorStale = true;
}

void TerminalFlush() {
  if (g_term.output < 0) {
    g_term.out.clear();
    return;
  }
  if (g_term.cursorStale) {
    AppendCursorMove(g_term.cursorX, g_term.cursorY, &g_term.out);
    g_term.cursorStale = false;
  }
  if (g_term.out.empty()) return;
  WriteAll(g_term.output, g_term.out.data(), g_term.out.size());
  g_term.out.clear();
}

bool TerminalReadEvent(TerminalKeyEvent* event) {
  if (g_term.input < 0) return false;
  for (;;) {
    if (!g_term.typed.empty()) {
      size_t taken = DecodeKey(g_term.typed, g_term.utf8, false, event);
      if (taken == 0) {
        const Readiness more = WaitForInput(kEscapePauseMs);
        if (more == Readiness::kReadable && ReadTyped()) continue;
        if (more != Readiness::kTimeout) g_term.keyboardGone = true;
        taken = DecodeKey(g_term.typed, g_term.utf8, true, event);
      }
      g_term.typed.erase(0, taken);
      return true;
    }
    if (g_term.keyboardGone) return false;
    // A hung-up terminal reads as end of file: the wait ends, never spins.
    if (WaitForInput(-1) != Readiness::kReadable || !ReadTyped()) {
      g_term.keyboardGone = true;
      return false;
    }
  }
}

void TerminalKeyWaitEnded() {}

void TerminalSleep(int32_t milliseconds) {
  // Negative counts pause not at all rather than for ever.
  if (milliseconds <= 0) return;
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += (milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    ++until.tv_sec;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) ==
         EINTR) {
  }
}

void TerminalBegin(int output, int input, bool queryCursor) {
  g_term = PosixTerminal();
  g_term.output = output;
  g_term.input = input;
  g_term.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  if (output < 0) return;

  int width, height;
  const bool sized = ReadSize(&width, &height);
  // Without an answer the cursor counts as on the bottom row, so the first
  // lines scroll what is there instead of writing over it.
  g_term.cursorY = sized ? height - 1 : 0;

  // The last column must not wrap by itself: the Console wraps.
  g_term.out = "\x1b[?7l";
  if (!queryCursor || input < 0) {
    TerminalFlush();
    return;
  }
  g_term.out += "\x1b[6n";
  WriteAll(output, g_term.out.data(), g_term.out.size());
  g_term.out.clear();

  const long long started = MonotonicMs();
  int row = 0, column = 0;
  size_t start = 0, length = 0;
  for (;;) {
    if (FindCursorReport(g_term.typed, &row, &column, &start, &length)) {
      // Keys typed before the answer arrive with it: keep them.
      g_term.typed.erase(start, length);
      if (sized) {
        g_term.cursorX = std::clamp(column - 1, 0, width - 1);
        g_term.cursorY = std::clamp(row - 1, 0, height - 1);
      }
      return;
    }
    const long long spent = MonotonicMs() - started;
    if (spent >= kCursorReplyMs) return;
    const Readiness ready =
        WaitForInput(static_cast<int>(kCursorReplyMs - spent));
    if (ready == Readiness::kTimeout) return;
    if (ready == Readiness::kGone || !ReadTyped()) {
      g_term.keyboardGone = true;
      return;
    }
  }
}
