#include "ssh/line_assembler.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

enum class OpKind { kFeed, kClose, kTake };

struct Op {
  OpKind kind;
  int64_t atMs = 0;
  std::string bytes;  // kFeed: what arrives; kTake: the expected line
  LineStep step = LineStep::kLine;
  int64_t waitMs = 0;  // kTake with kWait
};

Op Feed(int64_t at, std::string bytes) { return {OpKind::kFeed, at, std::move(bytes)}; }
Op Close() { return {OpKind::kClose}; }
Op Line(int64_t at, std::string line) { return {OpKind::kTake, at, std::move(line)}; }
Op Wait(int64_t at, int64_t waitMs) { return {OpKind::kTake, at, "", LineStep::kWait, waitMs}; }
Op None(int64_t at) { return {OpKind::kTake, at, "", LineStep::kNone}; }

struct Case {
  const char* name;
  int64_t deadlineMs;
  size_t maxBytes;
  std::vector<Op> ops;
};

TEST(LineAssembler, CutsLinesByTerminatorQuietCloseDeadlineAndSize) {
  const Case kCases[] = {
      {"line feed ends a line; the bytes after it wait for the next", 20000, 1023,
       {Feed(0, "Reboot?\nrest"), Line(0, "Reboot?"), Wait(0, 250), Line(250, "rest")}},
      {"carriage return before the line feed is dropped, others kept", 20000, 1023,
       {Feed(0, "a\rb\r\n"), Line(0, "a\rb"), Wait(0, 20000)}},
      {"empty lines are lines", 20000, 1023,
       {Feed(0, "\n\r\n"), Line(0, ""), Line(0, ""), Wait(0, 20000)}},
      {"text without line feed that is no prompt is a line after 250 ms of quiet", 20000, 1023,
       {Feed(0, "Press y to reboot"), Wait(100, 150), Wait(249, 1),
        Line(250, "Press y to reboot")}},
      {"a question ending like a prompt is a line at once", 20000, 1023,
       {Feed(0, "Reboot now? [y/N]: "), Line(0, "Reboot now? [y/N]: "), Wait(0, 20000)}},
      // The read brought the '?' and what follows it together: no cut there.
      {"a prompt-like character inside a piece does not end the line", 20000, 1023,
       {Feed(0, "Sure? Then type y"), Wait(0, 250), Line(250, "Sure? Then type y")}},
      {"a question dripped across a prompt-like piece is cut there", 20000, 1023,
       {Feed(0, "Reboot, yes"), Wait(0, 250), Feed(100, "?"), Line(100, "Reboot, yes?"),
        Feed(200, " [y/N"), Wait(200, 250), Feed(300, "]: "), Line(300, " [y/N]: ")}},
      {"a prompt before a carriage return waits for the line feed", 20000, 1023,
       {Feed(0, "Reboot? [y/N]:\r"), Wait(0, 250), Feed(10, "\n"),
        Line(10, "Reboot? [y/N]:"), Wait(10, 19990)}},
      {"a prompt after a line feed in the same piece is a line of its own", 20000, 1023,
       {Feed(0, "Welcome\r\nReboot? "), Line(0, "Welcome"), Line(0, "Reboot? ")}},
      {"spaces alone are no prompt", 20000, 1023,
       {Feed(0, "   "), Wait(0, 250), Line(250, "   ")}},
      {"an empty piece is no line and does not restart the quiet time", 20000, 1023,
       {Feed(0, ""), Wait(0, 20000), Feed(0, "a"), Feed(200, ""), Line(250, "a")}},
      {"a prompt that fills the buffer exactly is a line at once", 20000, 4,
       {Feed(0, "abc:"), Line(0, "abc:"), Wait(0, 20000)}},
      {"a prompt over the buffer is cut, its end a prompt of its own", 20000, 4,
       {Feed(0, "abcde:"), Line(0, "abcd"), Line(0, "e:")}},
      {"a prompt one byte over the buffer is cut, not waited on", 20000, 4,
       {Feed(0, "abcd:"), Line(0, "abcd"), Line(0, ":")}},
      {"text with no prompt ending dripping in with 200 ms gaps is read whole", 20000, 1023,
       {Feed(0, "R"), Wait(200, 50), Feed(200, "e"), Wait(399, 51), Feed(400, "b"),
        Feed(600, "o"), Wait(849, 1), Line(850, "Rebo")}},
      {"a carriage return ending quiet text is dropped", 20000, 1023,
       {Feed(0, "ok?\r"), Wait(0, 250), Line(250, "ok?")}},
      {"the close hands out pending text, then nothing", 20000, 1023,
       {Feed(0, "bye"), Close(), Line(0, "bye"), None(0)}},
      {"the close with nothing pending", 20000, 1023, {Close(), None(0)}},
      {"the deadline with nothing pending", 20000, 1023, {Wait(0, 20000), None(20000)}},
      {"the deadline hands out text before the quiet time", 1000, 1023,
       {Feed(900, "Reb"), Wait(900, 100), Line(1000, "Reb"), None(1000)}},
      {"a line feed after the deadline still ends its line", 1000, 1023,
       {Feed(1500, "late\nmore"), Line(2000, "late"), Line(2000, "more")}},
      {"a long line is cut at the buffer and goes on in the next", 20000, 4,
       {Feed(0, "abcdefghij\n"), Line(0, "abcd"), Line(0, "efgh"), Line(0, "ij"),
        Wait(0, 20000)}},
      {"a line that fills the buffer exactly keeps its terminator out", 20000, 4,
       {Feed(0, "abcd\r\n"), Line(0, "abcd"), Wait(0, 20000)}},
      {"a full buffer followed by a carriage return waits for the line feed", 20000, 4,
       {Feed(0, "abcd\r"), Wait(0, 250), Feed(10, "\n"), Line(10, "abcd"), Wait(10, 19990)}},
      {"text over the buffer without line feed is cut at once", 20000, 4,
       {Feed(0, "abcdef"), Line(0, "abcd"), Wait(0, 250), Line(250, "ef")}},
      {"a zero byte inside a line is kept", 20000, 1023,
       {Feed(0, std::string("a\0b\n", 4)), Line(0, std::string("a\0b", 3))}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LineAssembler assembler;
    for (size_t i = 0; i < c.ops.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Op& op = c.ops[i];
      if (op.kind == OpKind::kFeed) {
        LineAssemblerFeed(&assembler, op.bytes.data(), op.bytes.size(), op.atMs);
      } else if (op.kind == OpKind::kClose) {
        LineAssemblerClose(&assembler);
      } else {
        std::string line = "unchanged";
        int64_t waitMs = -1;
        const LineStep step =
            LineAssemblerTake(&assembler, op.atMs, c.deadlineMs, c.maxBytes, &line, &waitMs);
        ASSERT_EQ(static_cast<int>(step), static_cast<int>(op.step));
        if (step == LineStep::kLine) {
          EXPECT_EQ(line, op.bytes);
        } else if (step == LineStep::kWait) {
          EXPECT_EQ(waitMs, op.waitMs);
        }
      }
    }
  }
}

TEST(LineAssembler, PromptEndingsAreLinesAtOnceOtherEndingsWaitForQuiet) {
  const struct {
    const char* text;
    bool prompt;
  } kEndings[] = {
      {"Reboot now? [y/N]: ", true},
      {"Reboot now?", true},
      {"Password:", true},
      {"Reboot [y/N]", true},
      {"Reboot (y/n)", true},
      {"[admin@router] > ", true},
      {"router#", true},
      {"Reboot now?     ", true},
      {"?", true},
      {"Reboot now", false},
      {"Rebooting.", false},
      {"y/n", false},
      {"Continue?\t", false},  // only spaces may follow the prompt character
      {"Continue?!", false},
      {"Reboot [y/N]: \x1b[0m", false},  // a colour reset after it hides the ending
  };
  for (const auto& c : kEndings) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(EndsLikePrompt(c.text), c.prompt);
    LineAssembler assembler;
    const std::string text = c.text;
    LineAssemblerFeed(&assembler, text.data(), text.size(), 1000);
    std::string line;
    int64_t waitMs = 0;
    const LineStep step = LineAssemblerTake(&assembler, 1000, 21000, 1023, &line, &waitMs);
    if (c.prompt) {
      ASSERT_EQ(static_cast<int>(step), static_cast<int>(LineStep::kLine));
      EXPECT_EQ(line, text);
    } else {
      ASSERT_EQ(static_cast<int>(step), static_cast<int>(LineStep::kWait));
      EXPECT_EQ(waitMs, kLineQuietMs);
      ASSERT_EQ(static_cast<int>(LineAssemblerTake(&assembler, 1000 + kLineQuietMs, 21000, 1023,
                                                   &line, &waitMs)),
                static_cast<int>(LineStep::kLine));
      EXPECT_EQ(line, text);
    }
  }
}

std::string WithoutLineEnds(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

// Random streams in random chunks at random times: no byte is lost or
// invented, no line holds a line feed or exceeds the buffer, and every
// step either hands out a line or asks for a positive wait.
TEST(LineAssembler, RandomStreamsLoseNothingAndStayInBounds) {
  std::mt19937 random(20240611);
  const char kAlphabet[] = {'a', 'b', '\r', '\n', '\0', '?', ' '};
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const size_t maxBytes = 1 + random() % 8;
    std::string input;
    std::string output;
    LineAssembler assembler;
    int64_t now = 0;
    const int64_t deadline = 5000;
    for (int chunk = 0; chunk < 12; ++chunk) {
      std::string bytes;
      for (size_t n = random() % 6; n > 0; --n) bytes += kAlphabet[random() % sizeof kAlphabet];
      now += random() % 300;
      LineAssemblerFeed(&assembler, bytes.data(), bytes.size(), now);
      input += bytes;
      std::string line;
      int64_t waitMs = 0;
      while (LineAssemblerTake(&assembler, now, deadline, maxBytes, &line, &waitMs) ==
             LineStep::kLine) {
        ASSERT_LE(line.size(), maxBytes);
        ASSERT_EQ(line.find('\n'), std::string::npos);
        output += line;
      }
    }
    LineAssemblerClose(&assembler);
    std::string line;
    int64_t waitMs = 0;
    LineStep step;
    while ((step = LineAssemblerTake(&assembler, now, deadline, maxBytes, &line, &waitMs)) ==
           LineStep::kLine) {
      ASSERT_LE(line.size(), maxBytes);
      output += line;
    }
    EXPECT_EQ(static_cast<int>(step), static_cast<int>(LineStep::kNone));
    EXPECT_EQ(WithoutLineEnds(output), WithoutLineEnds(input));
  }
}

}  // namespace
