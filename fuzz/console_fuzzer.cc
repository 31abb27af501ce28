// The Console on arbitrary text, colours, cursor requests, keys and screen
// sizes, over a screen that refuses any request outside itself: the cursor
// stays inside, no cell is written outside, every unit of text lands on the
// screen once, and the colours stay console colours.

#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
#include <string>

#include "console/console.h"
#include "base/text_codec.h"
#include "fuzz/checked_screen.h"
#include "fuzz/fuzz_check.h"

namespace {

// disturbed: the size or the cursor changed under the Console since it last
// decided whether a wrap is owed.
void CheckState(bool disturbed) {
  const CheckedScreen& screen = Screen();
  FUZZ_CHECK(Console().foreground < 16 && Console().background < 16);
  if (screen.width > 0 && screen.height > 0) {
    FUZZ_CHECK(screen.cursorX >= 0 && screen.cursorX < screen.width);
    FUZZ_CHECK(screen.cursorY >= 0 && screen.cursorY < screen.height);
    // A pending wrap is only ever owed from the start of the last row.
    if (Console().wrapPending && !disturbed) {
      FUZZ_CHECK(screen.cursorX == 0 && screen.cursorY == screen.height - 1);
    }
  }
}

std::u16string ConsumeUtf16(FuzzedDataProvider* input, size_t maxUnits) {
  std::u16string text;
  const size_t units = input->ConsumeIntegralInRange<size_t>(0, maxUnits);
  for (size_t i = 0; i < units && input->remaining_bytes() > 0; ++i) {
    text.push_back(input->ConsumeIntegral<char16_t>());
  }
  return text;
}

// Text placed where the cursor was, as long as it fits on the row; a row
// scrolled since is looked for higher up.
void CheckPlaced(std::u16string_view text, int x, int y, uint16_t attribute,
                 bool wrapWasPending, int scrollsBefore) {
  const CheckedScreen& screen = Screen();
  y -= screen.scrolls - scrollsBefore;
  if (wrapWasPending || text.empty() || screen.width <= 0 || screen.height <= 0 ||
      x + text.size() >= static_cast<size_t>(screen.width) || y < 0) {
    return;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const CheckedCell& cell = CheckedScreenCell(x + static_cast<int>(i), y);
    FUZZ_CHECK(cell.ch == text[i] && cell.attribute == attribute);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  CheckedScreenReset(input.ConsumeIntegralInRange<int>(0, 200),
                     input.ConsumeIntegralInRange<int>(0, 60));
  Console() = ConsoleState();
  // Text goes to the checked screen, as to a terminal found at start-up; a
  // size of 0 stands for one that cannot be read.
  Console().output = 1;
  bool disturbed = false;
  for (int step = 0; step < 64 && input.remaining_bytes() > 0; ++step) {
    CheckedScreen& screen = Screen();
    TerminalGeometry before;
    const bool hasScreen = TerminalGetGeometry(&before);
    const bool wrapWasPending = Console().wrapPending;
    const uint16_t attribute =
        static_cast<uint16_t>(Console().foreground + 16 * Console().background);
    const size_t writtenBefore = screen.unitsWritten;
    const int scrollsBefore = screen.scrolls;
    switch (input.ConsumeIntegralInRange<int>(0, 10)) {
      case 0: {
        const std::string bytes = input.ConsumeRandomLengthString(600);
        const std::u16string wide = WidenText(bytes);
        PrintLine(bytes);
        if (hasScreen) {
          FUZZ_CHECK(screen.unitsWritten - writtenBefore == wide.size());
          FUZZ_CHECK(screen.cursorX == 0 && !Console().wrapPending);
          CheckPlaced(wide, before.cursorX, before.cursorY, attribute, wrapWasPending,
                      scrollsBefore);
          disturbed = false;
        }
        break;
      }
      case 1: {
        const std::u16string text = ConsumeUtf16(&input, 600);
        WriteText(text);
        if (hasScreen) {
          FUZZ_CHECK(screen.unitsWritten - writtenBefore == text.size());
          CheckPlaced(text, before.cursorX, before.cursorY, attribute, wrapWasPending,
                      scrollsBefore);
          if (!text.empty() && !wrapWasPending &&
              before.cursorX + text.size() < static_cast<size_t>(before.width)) {
            FUZZ_CHECK(screen.cursorX == before.cursorX + static_cast<int>(text.size()));
            FUZZ_CHECK(screen.cursorY == before.cursorY);
          }
          if (!text.empty()) disturbed = false;
        }
        break;
      }
      case 2:
        NewLine();
        if (hasScreen) {
          FUZZ_CHECK(screen.cursorX == 0 && !Console().wrapPending);
          disturbed = false;
        }
        break;
      case 3:
        ScrollUp();
        break;
      case 4:
        SetCursor(input.ConsumeIntegral<int32_t>(), input.ConsumeIntegral<int32_t>());
        if (hasScreen) disturbed = false;
        break;
      case 5:
        SetCursor(input.ConsumeIntegralInRange<int32_t>(-1, 201),
                  input.ConsumeIntegralInRange<int32_t>(-1, 61));
        if (hasScreen) disturbed = false;
        break;
      case 6:
        SetColor(input.ConsumeIntegral<int32_t>(), input.ConsumeIntegral<int32_t>());
        break;
      case 7: {
        const size_t queued = input.ConsumeIntegralInRange<size_t>(0, 6);
        for (size_t i = 0; i < queued; ++i) {
          TerminalKeyEvent key;
          key.isKey = input.ConsumeBool();
          key.pressed = input.ConsumeBool();
          key.ch = input.ConsumeBool() ? 0 : input.ConsumeIntegral<char16_t>();
          key.scanCode = input.ConsumeIntegral<uint16_t>();
          screen.keys.push_back(key);
        }
        const int waits = screen.keyWaits;
        WaitKey();
        FUZZ_CHECK(screen.keyWaits == waits + 1);
        break;
      }
      case 8: {
        const int32_t pause = input.ConsumeIntegral<int32_t>();
        SleepMs(pause);
        FUZZ_CHECK(!screen.sleeps.empty() && screen.sleeps.back() == pause);
        break;
      }
      case 9:
        // The terminal was resized between two calls.
        CheckedScreenResize(input.ConsumeIntegralInRange<int>(0, 200),
                            input.ConsumeIntegralInRange<int>(0, 60));
        // The terminal keeps its cursor on the screen.
        TerminalGetGeometry(&before);
        disturbed = true;
        break;
      case 10:
        // Someone else moved the cursor; a terminal reports it inside.
        screen.cursorX = input.ConsumeIntegralInRange<int>(-5, 205);
        screen.cursorY = input.ConsumeIntegralInRange<int>(-5, 65);
        // The terminal keeps its cursor on the screen.
        TerminalGetGeometry(&before);
        disturbed = true;
        break;
    }
    CheckState(disturbed);
  }
  return 0;
}
