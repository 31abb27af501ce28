// The bytes of a POSIX terminal, with no I/O: what moves the cursor, sets
// the colours and draws a cell, and what the keyboard's bytes mean.

#include "console/terminal_bytes.h"

#include <climits>
#include <cstdio>
#include <cwchar>

#include "base/utf8.h"

namespace {

// A control sequence longer than this is not a key; it is cut here.
constexpr size_t kMaxSequence = 32;

}  // namespace

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
      const int length = DecodeUtf8(bytes, &code);
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
