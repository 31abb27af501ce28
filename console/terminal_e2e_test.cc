// The console driver on a real pseudo-terminal, its output read back through
// libvterm: exact cells, colours, scrollback and cursor, the keys that end a
// wait, the signals that must not end a run, and the terminal modes after.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "testing/terminal_run.h"

namespace {

const char* DriverPath() { return CONSOLE_DRIVER_PATH; }

bool ExitedWith(int status, int code) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(TerminalE2eTest, LinesWrapScrollAndKeepTheirColours) {
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "screen"}, RunOptions()));
  EXPECT_TRUE(ExitedWith(run.Finish(), 0));
  // Control characters are one visible cell each; the row that scrolled
  // last is blank in the program's colours.
  EXPECT_EQ(run.Rows(), std::vector<std::string>(
                            {"uvwxyz", "a\u240ab\u2409c", "cyan", "last", ""}));
  EXPECT_EQ(run.Scrollback(),
            std::vector<std::string>({"first", "abcdefghijklmnopqrst"}));
  EXPECT_EQ(run.Cursor().row, 4);
  EXPECT_EQ(run.Cursor().col, 0);

  struct Expect {
    int x, y;
    int fg, bg;
  };
  const Expect cells[] = {
      {0, 0, 7, 0},   // light grey on black on a white-on-blue terminal
      {19, 3, 14, 0},  // opened by the scroll after "cyan", in its colours
      {0, 2, 14, 0},  // light cyan
      {0, 4, 7, 0},   // the row opened by the last scroll
      {19, 4, 7, 0},
  };
  for (const Expect& e : cells) {
    SCOPED_TRACE(testing::Message() << e.x << "," << e.y);
    const VTermScreenCell cell = run.Cell(e.x, e.y);
    ASSERT_TRUE(VTERM_COLOR_IS_INDEXED(&cell.fg));
    ASSERT_TRUE(VTERM_COLOR_IS_INDEXED(&cell.bg));
    EXPECT_FALSE(VTERM_COLOR_IS_DEFAULT_FG(&cell.fg));
    EXPECT_FALSE(VTERM_COLOR_IS_DEFAULT_BG(&cell.bg));
    EXPECT_EQ(cell.fg.indexed.idx, e.fg);
    EXPECT_EQ(cell.bg.indexed.idx, e.bg);
  }
  EXPECT_TRUE(run.ModesRestored());
  // Autowrap and colours are handed back last.
  EXPECT_TRUE(run.Output().ends_with("\x1b[0m\x1b[?7h")) << run.Output();
}

TEST(TerminalE2eTest, OutputStartsAtTheReportedCursor) {
  TerminalRun answered;
  ASSERT_TRUE(answered.Start({DriverPath(), "hello"}, RunOptions()));
  EXPECT_TRUE(ExitedWith(answered.Finish(), 0));
  EXPECT_EQ(answered.Row(0), "hello");

}

TEST(TerminalE2eTest, WaitKeyEndsOnAKey) {
  struct Row {
    const char* name;
    std::string key;
  };
  const Row rows[] = {
      {"Letter", "a"},
      {"F1", "\x1bOP"},
      {"CtrlC", "\x03"},
      // Standard input is the terminal: Ctrl+Z is a key, it stops nothing.
      {"CtrlZ", "\x1a"},
      {"LoneEsc", "\x1b"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "wait"}, RunOptions()));
    ASSERT_TRUE(run.WaitFor("waiting"));
    run.Send(row.key);
    EXPECT_TRUE(run.WaitFor("done"));
    EXPECT_TRUE(ExitedWith(run.Finish(), 0));
    EXPECT_TRUE(run.ModesRestored());
  }
}

TEST(TerminalE2eTest, KeyTypedBeforeTheWaitEndsIt) {
  // The key arrives with the answer to the cursor question, long before
  // the wait starts; nothing else is ever typed.
  RunOptions options;
  options.typedBeforeAnswer = "k";
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "wait"}, options));
  EXPECT_TRUE(run.WaitFor("done"));
  EXPECT_TRUE(ExitedWith(run.Finish(), 0));
  EXPECT_EQ(run.Row(0), "waiting");
}

TEST(TerminalE2eTest, InterruptsDoNotEndAPause) {
  struct Row {
    const char* name;
    bool stdinNull;
    std::string keys;
    int signal;
  };
  const Row rows[] = {
      // Standard input on the terminal: Ctrl+C and Ctrl+\ are plain bytes.
      {"KeysRaw", false, "\x03\x1c", 0},
      // Otherwise the terminal turns them into SIGINT and SIGQUIT.
      {"KeysAsSignals", true, "\x03\x1c", 0},
      {"Sigint", false, "", SIGINT},
      {"Sigquit", false, "", SIGQUIT},
      {"Hangup", false, "", SIGHUP},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.stdinNull = row.stdinNull;
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "sleep", "3000"}, options));
    ASSERT_TRUE(run.WaitFor("sleeping"));
    if (!row.keys.empty()) run.Send(row.keys);
    if (row.signal != 0) run.Signal(row.signal);
    EXPECT_TRUE(run.WaitFor("slept"));
    EXPECT_TRUE(ExitedWith(run.Finish(), 0));
    EXPECT_TRUE(run.ModesRestored());
  }
}

TEST(TerminalE2eTest, ClosedTerminalEndsTheKeyWait) {
  // The hang-up signal is ignored and the keyboard reads as ended: the wait
  // returns instead of spinning or hanging, and the run ends normally.
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "wait"}, RunOptions()));
  ASSERT_TRUE(run.WaitFor("waiting"));
  EXPECT_TRUE(ExitedWith(run.HangUp(), 0));
}

TEST(TerminalE2eTest, TerminalRestoredAtEveryEnd) {
  {
    SCOPED_TRACE("fatal exit");
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "fatal"}, RunOptions()));
    EXPECT_TRUE(ExitedWith(run.Finish(), 255));
    EXPECT_TRUE(run.ModesRestored());
    EXPECT_TRUE(run.Output().ends_with("\x1b[0m\x1b[?7h"));
  }
  {
    SCOPED_TRACE("SIGTERM");
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "wait"}, RunOptions()));
    ASSERT_TRUE(run.WaitFor("waiting"));
    run.Signal(SIGTERM);
    const int status = run.Finish();
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) &&
                WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(run.ModesRestored());
    EXPECT_TRUE(run.Output().ends_with("\x1b[0m\x1b[?7h"));
  }
}

TEST(TerminalE2eTest, RedirectedOutputGoesToTheTerminalNotTheFile) {
  RunOptions options;
  options.stdoutToFile = true;
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "hello"}, options));
  EXPECT_TRUE(ExitedWith(run.Finish(), 0));
  EXPECT_EQ(run.Row(0), "hello");
  struct stat info;
  ASSERT_EQ(stat(run.StdoutPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  unlink(run.StdoutPath().c_str());
}

// With no terminal the lines are plain text in the file, with not one
// escape byte, and nothing waits for a key.
TEST(TerminalE2eTest, NoTerminalWritesPlainLinesAndNeverWaits) {
  for (const char* scenario : {"wait", "screen"}) {
    SCOPED_TRACE(scenario);
    char path[] = "/tmp/console_e2e_none_XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();  // no controlling terminal: /dev/tty gives ENXIO
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(file, 1);
      dup2(file, 2);
      execl(DriverPath(), DriverPath(), scenario, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(file);
    int status = -1;
    const long long deadline = MonotonicMs() + kRunLimitMs;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (MonotonicMs() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the driver did not end";
      }
      usleep(10000);
    }
    EXPECT_TRUE(ExitedWith(status, 0));
    std::string written;
    FILE* in = fopen(path, "rb");
    ASSERT_NE(in, nullptr);
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) written.append(chunk, got);
    fclose(in);
    EXPECT_EQ(written.find('\x1b'), std::string::npos) << written;
    if (std::string(scenario) == "wait") {
      EXPECT_EQ(written, "waiting\ndone\n");
    }
    EXPECT_FALSE(written.empty());
    unlink(path);
  }
}

TEST(TerminalE2eTest, NoAnswerEverReachesTheNextReader) {
  // The answer to the cursor question comes early, late or never; keys
  // typed around it belong to whoever reads the terminal next, in order.
  struct Row {
    const char* name;
    int delayMs;  // -1: never answered
    std::string before, after;
    std::string expected;  // what the next reader finds
  };
  const Row rows[] = {
      {"Answer50ms", 50, "", "", ""},
      {"Answer500ms", 500, "", "", ""},
      // Past the time the first line waits for: plain lines, and the answer
      // is still taken out before the terminal is given back.
      {"Answer1500ms", 1500, "", "", ""},
      {"NeverAnswered", -1, "", "", ""},
      // Keys typed before the answer had to be read to find it: they are
      // put back ahead of the keys typed after it.
      {"TypeAheadAroundTheAnswer", 50, "ls\r", "pwd\r", "ls\rpwd\r"},
      {"TypeAheadBeforeALateAnswer", 1500, "ls\r", "", "ls\r"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.answerCursor = row.delayMs >= 0;
    options.answerDelayMs = std::max(row.delayMs, 0);
    options.typedBeforeAnswer = row.before;
    options.typedAfterAnswer = row.after;
    options.nextReader = true;
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "hello"}, options));
    EXPECT_TRUE(ExitedWith(run.Finish(), 0));
    const std::string found = run.NextReaderBytes();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0], '1') << "terminal modes not given back";
    EXPECT_EQ(testing::PrintToString(found.substr(1)),
              testing::PrintToString(row.expected));
    // The line stands where the cursor was, the next row is free.
    EXPECT_EQ(run.Rows(), std::vector<std::string>({"hello", "", "", "", ""}));
    EXPECT_EQ(run.Cursor().row, 1);
    EXPECT_EQ(run.Cursor().col, 0);
  }
}

TEST(TerminalE2eTest, QuietRunLeavesTheTerminalUntouched) {
  // Nothing printed: nothing written, no question asked, nothing read.
  RunOptions options;
  options.nextReader = true;
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "quiet"}, options));
  // Typed once the program runs with its modes (no echo).
  bool raw = false;
  for (int i = 0; i < 200 && !raw; ++i) {
    raw = (run.Modes().c_lflag & ICANON) == 0;
    if (!raw) usleep(5000);
  }
  ASSERT_TRUE(raw);
  run.Send("echo NEXT\r");
  EXPECT_TRUE(ExitedWith(run.Finish(), 0));
  EXPECT_EQ(testing::PrintToString(run.Output()), testing::PrintToString(""));
  EXPECT_EQ(testing::PrintToString(run.NextReaderBytes()),
            testing::PrintToString("1echo NEXT\r"));
}

TEST(TerminalE2eTest, KeyWaitTakesExactlyOneKey) {
  // Keys that come in one burst, as from a paste or a fast typist: the wait
  // takes the first key's bytes only, the shell gets the rest.
  struct Row {
    const char* name;
    std::string keys;
    std::string left;
  };
  const Row rows[] = {
      {"Letter", "xecho TYPED\r", "echo TYPED\r"},
      {"EscapeSequence", "\x1b[Aecho\r", "echo\r"},
      {"TwoByteCharacter", "\xc3\xa9\xc3\xa9", "\xc3\xa9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.nextReader = true;
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "wait"}, options));
    ASSERT_TRUE(run.WaitFor("waiting"));
    run.Send(row.keys);
    EXPECT_TRUE(run.WaitFor("done"));
    EXPECT_TRUE(ExitedWith(run.Finish(), 0));
    const std::string found = run.NextReaderBytes();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0], '1');
    EXPECT_EQ(testing::PrintToString(found.substr(1)),
              testing::PrintToString(row.left));
  }
}

TEST(TerminalE2eTest, UnansweringTerminalGetsPlainLines) {
  // Beyond the question itself, not one escape sequence.
  RunOptions options;
  options.answerCursor = false;
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "screen"}, options));
  EXPECT_TRUE(ExitedWith(run.Finish(), 0));
  EXPECT_EQ(run.Output().find('\x1b', 1), std::string::npos)
      << testing::PrintToString(run.Output());
  EXPECT_TRUE(run.Output().starts_with("\x1b[6n"));
  EXPECT_TRUE(run.ModesRestored());
}

TEST(TerminalE2eTest, DumbTerminalGetsNoEscapeAtAll) {
  struct Row {
    const char* name;
    const char* term;
  };
  const Row rows[] = {{"Dumb", "dumb"}, {"Unset", nullptr}, {"Empty", ""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.term = row.term;
    TerminalRun run;
    ASSERT_TRUE(run.Start({DriverPath(), "screen"}, options));
    EXPECT_TRUE(ExitedWith(run.Finish(), 0));
    EXPECT_EQ(run.Output().find('\x1b'), std::string::npos)
        << testing::PrintToString(run.Output());
    // Lines wrap and scroll as on any terminal; control characters are
    // still one visible cell each.
    EXPECT_EQ(run.Rows(), std::vector<std::string>({"uvwxyz", "a\u240ab\u2409c",
                                                    "cyan", "last", ""}));
    EXPECT_EQ(run.Scrollback(),
              std::vector<std::string>({"first", "abcdefghijklmnopqrst"}));
    EXPECT_TRUE(run.ModesRestored());
  }
}

TEST(TerminalE2eTest, ContinuedRunTakesTheTerminalAgain) {
  // Stopped, the shell puts its own modes back and prints below the
  // program's lines; continued, the program's modes return and its next line
  // goes where the cursor now is, not over the shell's text.
  TerminalRun run;
  ASSERT_TRUE(run.Start({DriverPath(), "sleep", "2000"}, RunOptions()));
  ASSERT_TRUE(run.WaitFor("sleeping"));
  ASSERT_TRUE(run.StopAndWait());
  run.RestoreModesAsShell();
  run.ShowOther("[1]+ Stopped\r\n");
  run.Signal(SIGCONT);
  bool raw = false;
  for (int i = 0; i < 200 && !raw; ++i) {
    raw = (run.Modes().c_lflag & ICANON) == 0;
    if (!raw) usleep(10000);
  }
  EXPECT_TRUE(raw) << "modes not applied again after the continue";
  EXPECT_TRUE(run.WaitFor("slept"));
  EXPECT_TRUE(ExitedWith(run.Finish(), 0));
  EXPECT_EQ(run.Rows(), std::vector<std::string>(
                            {"sleeping", "[1]+ Stopped", "slept", "", ""}));
  EXPECT_TRUE(run.ModesRestored());
}

}  // namespace
