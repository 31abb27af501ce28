// The bytes of the POSIX terminal: key decoding, the cursor
// report, colours and cell glyphs.

#include <clocale>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "console/terminal_bytes.h"

namespace {

using namespace std::string_view_literals;

struct KeyRow {
  const char* name;
  std::string_view bytes;
  bool utf8;
  bool complete;
  size_t taken;
  char16_t ch;
  bool isKey;
};

const KeyRow kKeyRows[] = {
    {"Letter", "a", true, false, 1, u'a', true},
    {"OnlyTheFirstKeyIsTaken", "ab", true, false, 1, u'a', true},
    {"CtrlC", "\x03", true, false, 1, 3, true},
    {"Enter", "\r", true, false, 1, u'\r', true},
    // NUL (Ctrl+Space) has no character but is still a key.
    {"Nul", "\0"sv, true, false, 1, 0, true},
    {"F1", "\x1bOP", true, false, 3, 0, true},
    {"Up", "\x1b[A", true, false, 3, 0, true},
    {"Home", "\x1b[1~", true, false, 4, 0, true},
    {"F12", "\x1b[24~", true, false, 5, 0, true},
    {"ShiftF5", "\x1b[15;2~", true, false, 7, 0, true},
    {"LinuxConsoleF1", "\x1b[[A", true, false, 4, 0, true},
    {"TwoKeysBackToBack", "\x1b[A\x1b[B", true, false, 3, 0, true},
    {"AltX", "\x1bx", true, false, 2, u'x', true},
    {"AltEAcute", "\x1b\xc3\xa9", true, false, 3, 0xE9, true},
    {"EAcute", "\xc3\xa9", true, false, 2, 0xE9, true},
    {"Astral", "\xf0\x9f\x98\x80", true, false, 4, 0xD83D, true},
    // Pieces of keys wait for the rest, until the pause says there is none.
    {"EscAloneMayBeginASequence", "\x1b", true, false, 0, 0, true},
    {"EscAloneAfterThePause", "\x1b", true, true, 1, 0x1B, true},
    {"CutCsiWaits", "\x1b[1", true, false, 0, 0, true},
    {"CutCsiAfterThePause", "\x1b[1", true, true, 3, 0, true},
    {"CutSs3AfterThePause", "\x1bO", true, true, 2, u'O', true},
    {"CutUtf8Waits", "\xe2\x82", true, false, 0, 0, true},
    {"CutUtf8AfterThePause", "\xe2\x82", true, true, 1, 0xDCE2, true},
    // Bytes that are no UTF-8 are one key each, never swallowed with the next.
    {"StrayContinuation", "\x80z", true, false, 1, 0xDC80, true},
    {"BadSecondByte", "\xc3(", true, false, 1, 0xDCC3, true},
    {"EncodedSurrogate", "\xed\xa0\x80", true, false, 1, 0xDCED, true},
    {"Overlong", "\xe0\x80\x80", true, false, 1, 0xDCE0, true},
    {"Latin1ByteInAnotherLocale", "\xe9\xe9", false, false, 1, 0xE9, true},
    {"ControlByteEndsASequence", "\x1b[1\x03", true, false, 3, 0, true},
    {"EscEsc", "\x1b\x1b[A", true, false, 1, 0x1B, true},
    // A runaway sequence is cut instead of waited for.
    {"RunawayCsi", "\x1b[1111111111111111111111111111111111111111", true, false,
     32, 0, true},
    // An answer to the cursor question that came too late is not a key.
    {"LateCursorReport", "\x1b[12;5R", true, false, 7, 0, false},
};

TEST(TerminalBytesTest, DecodeKey) {
  for (const KeyRow& row : kKeyRows) {
    SCOPED_TRACE(row.name);
    TerminalKeyEvent key;
    key.ch = 0x7777;
    EXPECT_EQ(DecodeKey(row.bytes, row.utf8, row.complete, &key), row.taken);
    if (row.taken == 0) continue;
    EXPECT_EQ(static_cast<int>(key.ch), static_cast<int>(row.ch));
    EXPECT_EQ(key.isKey, row.isKey);
    EXPECT_TRUE(key.pressed);
  }
}

TEST(TerminalBytesTest, DecodeKeyAlwaysProgressesWhenComplete) {
  // Every byte string, decoded as complete, is used up without a stall.
  for (int first = 0; first < 256; ++first) {
    for (int second : {0x1B, 0x5B, 0x4F, 0x80, 0xC3, 0x52, 0x3B, 0xFF}) {
      const char bytes[] = {static_cast<char>(first), static_cast<char>(second),
                            '1', ';'};
      std::string_view rest(bytes, sizeof bytes);
      while (!rest.empty()) {
        TerminalKeyEvent key;
        const size_t taken = DecodeKey(rest, true, true, &key);
        ASSERT_GE(taken, 1u) << first << " " << second;
        ASSERT_LE(taken, rest.size());
        rest.remove_prefix(taken);
      }
    }
  }
}

TEST(TerminalBytesTest, FindCursorReport) {
  struct Row {
    std::string_view bytes;
    bool found;
    int row, column;
    size_t start, length;
  };
  const Row rows[] = {
      {"\x1b[24;1R", true, 24, 1, 0, 7},
      // Keys typed before and after the answer arrive with it.
      {"ab\x1b[3;80Rcd", true, 3, 80, 2, 7},
      {"x\x1b[A\x1b[2;3R", true, 2, 3, 4, 6},
      {"\x1b[24;R", false, 0, 0, 0, 0},
      {"\x1b[;5R", false, 0, 0, 0, 0},
      {"\x1b[5;5", false, 0, 0, 0, 0},
      {"\x1b[1;2~", false, 0, 0, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::string(r.bytes)));
    int row = 0, column = 0;
    size_t start = 0, length = 0;
    ASSERT_EQ(FindCursorReport(r.bytes, &row, &column, &start, &length),
              r.found);
    if (!r.found) continue;
    EXPECT_EQ(row, r.row);
    EXPECT_EQ(column, r.column);
    EXPECT_EQ(start, r.start);
    EXPECT_EQ(length, r.length);
  }
}

TEST(TerminalBytesTest, AttributeColours) {
  struct Row {
    uint16_t attribute;
    const char* bytes;
  };
  const Row rows[] = {
      {7, "\x1b[0;37;40m"},          // light grey on black
      {11, "\x1b[0;96;40m"},         // light cyan
      {4, "\x1b[0;31;40m"},          // console red is ANSI 1
      {1, "\x1b[0;34;40m"},          // console blue is ANSI 4
      {0x1F, "\x1b[0;97;44m"},       // white on blue
      {0xC0, "\x1b[0;30;101m"},      // black on bright red
      {0x65, "\x1b[0;35;43m"},       // magenta on brown
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.attribute);
    std::string out;
    AppendAttribute(row.attribute, &out);
    EXPECT_EQ(out, row.bytes);
  }
}

TEST(TerminalBytesTest, CursorMoveCountsFromOne) {
  std::string out;
  AppendCursorMove(0, 0, &out);
  AppendCursorMove(79, 23, &out);
  EXPECT_EQ(out, "\x1b[1;1H\x1b[24;80H");
}

TEST(TerminalBytesTest, EveryUnitIsExactlyOneColumn) {
  struct Row {
    const char* locale;
    char16_t unit;
    const char* bytes;
  };
  const Row rows[] = {
      {"C.UTF-8", u'a', "a"},
      {"C.UTF-8", u' ', " "},
      {"C.UTF-8", u'\n', "\u240a"},
      {"C.UTF-8", u'\t', "\u2409"},
      {"C.UTF-8", 0, "\u2400"},
      {"C.UTF-8", 0x1B, "\u241b"},
      {"C.UTF-8", 0x1F, "\u241f"},
      {"C.UTF-8", 0x7F, "\u2421"},
      {"C.UTF-8", 0xE9, "\u00e9"},
      {"C.UTF-8", 0x85, "?"},    // C1 control: the terminal might obey it
      {"C.UTF-8", 0x4E2D, "?"},  // wide
      {"C.UTF-8", 0x0301, "?"},  // combining, no column of its own
      {"C.UTF-8", 0xD83D, "?"},  // half of a surrogate pair
      {"C.UTF-8", 0xDCFF, "?"},  // a byte that was not text
      {"C", u'a', "a"},
      {"C", 0xE9, "?"},
      {"C", u'\n', "?"},  // no Control Pictures in ASCII; never a raw LF
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.locale << " U+" << std::hex
                                    << static_cast<int>(row.unit));
    ASSERT_NE(setlocale(LC_ALL, row.locale), nullptr);
    std::string out;
    AppendCellGlyph(row.unit, &out);
    EXPECT_EQ(out, row.bytes);
  }
  setlocale(LC_ALL, "C");
}

}  // namespace
