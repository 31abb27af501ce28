// The Console's own wrapping, scrolling, cursor, colour and key rules, on the
// in-memory screen.

#include "console/console.h"

#include <clocale>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "base/text_codec.h"
#include "testing/memory_screen.h"

namespace {

using Lines = std::vector<std::string>;

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { setlocale(LC_ALL, "C.UTF-8"); }
};

struct ScreenCase {
  const char* name;
  int width, height;
  int startX, startY;
  void (*run)();
  Lines lines;
  int cursorX, cursorY;
  bool wrapPending;
  Lines scrollback;
};

const ScreenCase kScreenCases[] = {
    {"EmptyPrintLineOnlyBreaksTheLine", 10, 4, 3, 1, [] { PrintLine(""); },
     {}, 0, 2, false, {}},
    {"LongTextCutAtTheCellNotTheWord", 5, 4, 0, 0,
     [] { PrintLine("hello world"); },
     {"hello", " worl", "d"}, 0, 3, false, {}},
    {"TextContinuesFromTheCursorColumn", 5, 4, 3, 0,
     [] { WriteText(u"abcd"); },
     {"   ab", "cd"}, 2, 1, false, {}},
    // A row filled exactly has already wrapped; the break adds an empty row.
    {"ExactFitThenNewLineLeavesEmptyRow", 5, 4, 0, 0,
     [] {
       PrintLine("abcde");
       PrintLine("x");
     },
     {"abcde", "", "x"}, 0, 3, false, {}},
    {"ExactFitOnLastRowWaitsWithWrapPending", 5, 3, 0, 2,
     [] { WriteText(u"abcde"); },
     {"", "", "abcde"}, 0, 2, true, {}},
    {"ExactFitOnLastRowThenNewLineScrollsTwice", 5, 3, 0, 2,
     [] {
       WriteText(u"abcde");
       NewLine();
     },
     {"abcde"}, 0, 2, false, {"", ""}},
    {"ExactFitOnLastRowThenTextScrollsOnce", 5, 3, 0, 2,
     [] {
       WriteText(u"abcde");
       WriteText(u"fg");
     },
     {"", "abcde", "fg"}, 2, 2, false, {""}},
    // An empty text must not take the pending scroll away.
    {"EmptyTextKeepsWrapPending", 5, 3, 0, 2,
     [] {
       WriteText(u"abcde");
       WriteText(u"");
     },
     {"", "", "abcde"}, 0, 2, true, {}},
    {"NewLineOnLastRowScrollsTopRowAway", 6, 3, 0, 0,
     [] {
       PrintLine("one");
       PrintLine("two");
       PrintLine("three");
       PrintLine("four");
     },
     {"three", "four"}, 0, 2, false, {"one", "two"}},
    {"TextLongerThanTheScreenScrollsAsItGoes", 3, 2, 0, 0,
     [] { WriteText(u"abcdefghij"); },
     {"ghi", "j"}, 1, 1, false, {"abc", "def"}},
    // Control characters are cells, not movements.
    {"ControlCharactersTakeOneCellEach", 10, 3, 0, 0,
     [] { PrintLine("a\nb\tc\r\x07"); },
     {"a\nb\tc\r\x07"}, 0, 1, false, {}},
    {"SetCursorOutsideKeepsThatCoordinate", 10, 5, 4, 2,
     [] {
       SetCursor(0, 4);
       WriteText(u"x");
       SetCursor(2, 99);
       WriteText(u"y");
       SetCursor(-1, -1);
       WriteText(u"z");
     },
     {"", "", "", " yz x"}, 3, 3, false, {}},
    {"SetCursorClearsWrapPending", 5, 3, 0, 2,
     [] {
       WriteText(u"abcde");
       SetCursor(1, 1);
       WriteText(u"x");
     },
     {"x", "", "abcde"}, 1, 0, false, {}},
    // The status line: one row, never its last cell, cursor at its start.
    {"StatusLineCutBeforeTheLastCell", 6, 3, 2, 1,
     [] { ShowStatusLine("progress"); },
     {"", "progr"}, 0, 1, false, {}},
    {"StatusLineShorterFormWhenTheLongOneDoesNotFit", 8, 3, 0, 0,
     [] { ShowStatusLine("rebooting 5 routers", "1/5 done"); },
     {"1/5 don"}, 0, 0, false, {}},
    {"StatusLineRedrawnInPlaceClearsWhatWasLonger", 10, 3, 0, 0,
     [] {
       ShowStatusLine("123456789");
       ShowStatusLine("ab");
     },
     {"ab"}, 0, 0, false, {}},
    // A finished line goes where the status was; the status moves below.
    {"LineOverTheClearedStatusThenStatusBelow", 10, 3, 0, 0,
     [] {
       PrintLine("first");
       ShowStatusLine("status 1");
       ShowStatusLine("");
       PrintLine("second");
       ShowStatusLine("status 2");
     },
     {"first", "second", "status 2"}, 0, 2, false, {}},
    {"StatusOnTheLastRowScrollsWithTheLines", 10, 2, 0, 0,
     [] {
       PrintLine("a");
       ShowStatusLine("s1");
       ShowStatusLine("");
       PrintLine("b");
       ShowStatusLine("s2");
     },
     {"b", "s2"}, 0, 1, false, {"a"}},
    // A full bottom row owes its scroll: the status goes below, not over it.
    {"StatusAfterAFullBottomRowDoesNotOverwriteIt", 5, 2, 0, 1,
     [] {
       WriteText(u"abcde");
       ShowStatusLine("st");
     },
     {"abcde", "st"}, 0, 1, false, {""}},
    // Runs longer than one staging area still land cell by cell.
    {"RowsWiderThanTheStagingArea", 600, 2, 0, 0,
     [] { WriteText(std::u16string(300, u'a') + std::u16string(301, u'b')); },
     {std::string(300, 'a') + std::string(300, 'b'), "b"}, 1, 1, false, {}},
};

TEST_F(ConsoleTest, WrapScrollAndCursorRules) {
  for (const ScreenCase& c : kScreenCases) {
    SCOPED_TRACE(c.name);
    MemoryScreenReset(c.width, c.height);
    MemoryScreenSetCursor(c.startX, c.startY);
    c.run();
    EXPECT_EQ(MemoryScreenLines(), c.lines);
    EXPECT_EQ(MemoryScreenCursorX(), c.cursorX);
    EXPECT_EQ(MemoryScreenCursorY(), c.cursorY);
    EXPECT_EQ(Console().wrapPending, c.wrapPending);
    EXPECT_EQ(MemoryScreenScrollback(), c.scrollback);
  }
}

TEST_F(ConsoleTest, EveryCellCarriesTheCurrentColours) {
  MemoryScreenReset(4, 2);
  SetColor(11, 0);
  PrintLine("ab");
  SetColor(7, 1);
  WriteText(u"cdef");  // fills the last row: the scroll waits
  EXPECT_EQ(MemoryScreenCell(0, 0).attribute, 11);
  EXPECT_EQ(MemoryScreenCell(3, 1).attribute, 7 + 16 * 1);
  // The rows that scrolling opens are blank in the current colours.
  SetColor(14, 2);
  PrintLine("");
  EXPECT_EQ(MemoryScreenScrollback(), Lines({"ab", "cdef"}));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) {
      SCOPED_TRACE(testing::Message() << x << "," << y);
      EXPECT_EQ(MemoryScreenCell(x, y).ch, u' ');
      EXPECT_EQ(MemoryScreenCell(x, y).attribute, 14 + 16 * 2);
    }
  }
}

TEST_F(ConsoleTest, SetColorKeepsOutOfRangeIndices) {
  struct Row {
    int32_t foreground, background;
    uint32_t expectForeground, expectBackground;
  };
  const Row rows[] = {
      {16, 0, 3, 0},    // only the background changes
      {-1, -1, 3, 4},   // unsigned: negative keeps both
      {15, 15, 15, 15},
      {1, 16, 1, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.foreground << "," << row.background);
    MemoryScreenReset(10, 2);
    SetColor(3, 4);
    SetColor(row.foreground, row.background);
    EXPECT_EQ(Console().foreground, row.expectForeground);
    EXPECT_EQ(Console().background, row.expectBackground);
    PrintLine("x");
    EXPECT_EQ(MemoryScreenCell(0, 0).attribute,
              row.expectForeground + 16 * row.expectBackground);
  }
}

TEST_F(ConsoleTest, CellsHoldOneUtf16UnitEach) {
#ifdef _WIN32
  // 8-bit text is in the ANSI code page there, not in the C locale's.
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8";
#endif
  MemoryScreenReset(10, 2);
  // U+00E9 in UTF-8, a byte that is no UTF-8 at all, and U+1F600 (two units).
  PrintLine("\xc3\xa9|\xff|\xf0\x9f\x98\x80|");
  const char16_t expected[] = {0xE9, u'|', 0xDCFF, u'|', 0xD83D, 0xDE00, u'|'};
  for (int x = 0; x < 7; ++x) {
    SCOPED_TRACE(x);
    EXPECT_EQ(MemoryScreenCell(x, 0).ch, expected[x]);
  }
  EXPECT_EQ(MemoryScreenCell(7, 0).ch, u' ');
}

TEST_F(ConsoleTest, ResizeBetweenCallsIsHonoured) {
  MemoryScreenReset(10, 5);
  PrintLine("0123456789");  // wraps and breaks: cursor on row 2
  MemoryScreenResize(4, 2);  // the cursor is now below the screen
  WriteText(u"abcdef");
  EXPECT_EQ(MemoryScreenLines(), Lines({"abcd", "ef"}));
  EXPECT_EQ(MemoryScreenScrollback(), Lines({"0123"}));
  EXPECT_EQ(MemoryScreenCursorX(), 2);
  EXPECT_EQ(MemoryScreenCursorY(), 1);
}

TEST_F(ConsoleTest, NoScreenMeansNoCellsMoved) {
  MemoryScreenReset(0, 0);
  WriteText(u"lost");
  NewLine();
  ScrollUp();
  SetCursor(1, 1);
  EXPECT_FALSE(Console().wrapPending);
  EXPECT_TRUE(MemoryScreenScrollback().empty());
  EXPECT_TRUE(MemoryScreenPlainLines(1).empty());
}

// With no screen (redirected output, cron) a printed line is a plain text
// line: progress on standard output, failures on standard error, nothing a
// terminal showing the file later would obey.
TEST_F(ConsoleTest, WithoutAScreenLinesArePlainTextOnTheirStream) {
  const struct {
    const char* name;
    void (*print)(std::string_view);
    int stream;
    const char* text;
    const char* plain;
  } kRows[] = {
      {"progress", PrintLine, 1, "connecting to 10.0.0.1", "connecting to 10.0.0.1"},
      {"failure", PrintErrorLine, 2, "Reason: refused.", "Reason: refused."},
      {"prose is not wrapped", PrintWrappedLine, 1, "a b c d e f g h i j k l", "a b c d e f g h i j k l"},
      {"escape sequence", PrintErrorLine, 2, "a\x1b[31mb\tc\x7f", "a?[31mb?c?"},
      // U+009B is a one-character CSI to some terminals.
      {"C1 control in UTF-8", PrintLine, 1, "x\xc2\x9b" "2Jy", "x?2Jy"},
      {"empty line", PrintLine, 1, "", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    // In a code page such as 1252 those two bytes are two printable letters.
    if (std::string_view(row.name).find("UTF-8") != std::string_view::npos && !LocaleIsUtf8()) {
      continue;
    }
    // Both ways of reaching no screen: none found at start-up, none readable.
    for (bool startedWithout : {true, false}) {
      MemoryScreenReset(startedWithout ? 10 : 0, startedWithout ? 4 : 0);
      if (startedWithout) Console().output = -1;
      row.print(row.text);
      EXPECT_EQ(MemoryScreenPlainLines(row.stream), Lines{row.plain});
      EXPECT_TRUE(MemoryScreenPlainLines(3 - row.stream).empty());
      EXPECT_TRUE(MemoryScreenLines().empty());
    }
  }
}

TEST_F(ConsoleTest, PauseForReaderOnlyWhenTextIsSeen) {
  MemoryScreenReset(10, 2);
  PauseForReader(4000);
  EXPECT_EQ(MemoryScreenSleeps(), std::vector<int32_t>{4000});
  MemoryScreenReset(10, 2);
  Console().output = -1;
  PauseForReader(4000);
  MemoryScreenReset(0, 0);
  PauseForReader(4000);
  EXPECT_TRUE(MemoryScreenSleeps().empty());
}

TEST_F(ConsoleTest, WrapAtSpacesKeepsWordsWhole) {
  const struct {
    const char* name;
    std::u16string text;
    int width;
    std::vector<std::u16string> rows;
  } kRows[] = {
      {"fits", u"abc def", 7, {u"abc def"}},
      // The fault seen on an 80-column terminal: "r" / "outer".
      {"breaks at the last space that fits", u"ip address of router", 18,
       {u"ip address of", u"router"}},
      {"space exactly at the edge", u"abcde fg", 5, {u"abcde", u"fg"}},
      {"runs of spaces at the break are dropped", u"ab   cd", 4, {u"ab", u"cd"}},
      {"word wider than the row is cut at the edge", u"abcdefgh ij", 3,
       {u"abc", u"def", u"gh", u"ij"}},
      {"empty", u"", 5, {u""}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(WrapAtSpaces(row.text, row.width), row.rows);
  }
}

TEST_F(ConsoleTest, PrintWrappedLineBreaksRowsAtSpaces) {
  MemoryScreenReset(12, 5);
  PrintWrappedLine("swKicker /ip:(ip address)");
  PrintLine("next");
  EXPECT_EQ(MemoryScreenLines(), (Lines{"swKicker", "/ip:(ip", "address)", "next"}));
}

// Keys that do not end the wait are consumed; the one that does is consumed
// too, and anything after it stays queued.
struct KeyCase {
  const char* name;
  std::vector<MemoryKeyEvent> queue;
  size_t left;  // events still queued after WaitKey
};

constexpr MemoryKeyEvent Press(char16_t ch, uint16_t scan = 0) {
  return MemoryKeyEvent{true, true, ch, scan};
}
constexpr MemoryKeyEvent Release(char16_t ch, uint16_t scan = 0) {
  return MemoryKeyEvent{true, false, ch, scan};
}
constexpr MemoryKeyEvent kMouse{false, true, 0, 0};
constexpr MemoryKeyEvent kMarker = Press(u'm');

const KeyCase kKeyCases[] = {
    {"LetterEndsTheWait", {Press(u'a'), kMarker}, 1},
    // The Enter that started the program arrives as a release.
    {"ReleaseDoesNotEndIt", {Release(u'\r', 0x1C), Press(u'a'), kMarker}, 1},
    {"ModifiersAloneDoNotEndIt",
     {Press(0, 0x1D), Press(0, 0x2A), Press(0, 0x36), Press(0, 0x38),
      Press(0, 0x3A), Press(0, 0x45), Press(0, 0x46), Press(u'a'), kMarker},
     1},
    // Only the low byte of the scan code names the key.
    {"ExtendedModifierIsStillAModifier", {Press(0, 0xE01D), Press(u'a')}, 0},
    {"FunctionKeyEndsIt", {Press(0, 0x3B), kMarker}, 1},
    {"ArrowKeyEndsIt", {Press(0, 0x48), kMarker}, 1},
    {"CtrlCEndsIt", {Press(3, 0x2E), kMarker}, 1},
    {"MouseEventsAreSkipped", {kMouse, kMouse, Press(u'a'), kMarker}, 1},
    {"EmptyQueueReturnsAtOnce", {}, 0},
    {"OnlyIgnoredEventsReturnsWhenDrained", {kMouse, Release(u'a')}, 0},
};

TEST_F(ConsoleTest, WaitKeyFilter) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.name);
    MemoryScreenReset(10, 2);
    for (const MemoryKeyEvent& event : c.queue) MemoryScreenPushKey(event);
    WaitKey();
    EXPECT_EQ(MemoryScreenPendingKeys(), c.left);
    EXPECT_EQ(MemoryScreenKeyWaits(), 1);
  }
}

TEST_F(ConsoleTest, WaitKeyWithoutKeyboardLeavesKeysAlone) {
  MemoryScreenReset(10, 2, /*hasKeyboard=*/false);
  MemoryScreenPushKey(Press(u'a'));
  WaitKey();
  WaitKey();
  EXPECT_EQ(MemoryScreenKeyWaits(), 2);
  EXPECT_EQ(MemoryScreenPendingKeys(), 1u);
}

TEST_F(ConsoleTest, WaitKeyDoesNotMoveTheCursor) {
  MemoryScreenReset(10, 3);
  MemoryScreenSetCursor(4, 1);
  MemoryScreenPushKey(Press(u'a'));
  WaitKey();
  EXPECT_EQ(MemoryScreenCursorX(), 4);
  EXPECT_EQ(MemoryScreenCursorY(), 1);
  EXPECT_TRUE(MemoryScreenLines().empty());
}

TEST_F(ConsoleTest, SleepMsOnlyRecordsThePause) {
  MemoryScreenReset(10, 2);
  MemoryScreenPushKey(Press(u'a'));
  SleepMs(4000);
  SleepMs(0);
  EXPECT_EQ(MemoryScreenSleeps(), std::vector<int32_t>({4000, 0}));
  EXPECT_EQ(MemoryScreenPendingKeys(), 1u);  // keys stay pending
}

}  // namespace
