// The console driver on a real pseudo-terminal, its output read back through
// libvterm: exact cells, colours, scrollback and cursor, the keys that end a
// wait, the signals that must not end a run, and the terminal modes after.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vterm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Every run is cut off after this, so a hang fails instead of blocking CI.
constexpr int kRunLimitMs = 20000;

const char* DriverPath() { return CONSOLE_DRIVER_PATH; }

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

std::string Utf8(uint32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

std::string CellsText(int cols, const VTermScreenCell* cells) {
  std::string text;
  for (int x = 0; x < cols; ++x) {
    text += cells[x].chars[0] ? Utf8(cells[x].chars[0]) : " ";
  }
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// How long the next reader of the terminal listens after the driver ended:
// longer than the slowest answer below takes to come.
constexpr int kNextReaderMs = 2000;

struct RunOptions {
  int rows = 5;
  int cols = 20;
  bool answerCursor = true;
  int answerDelayMs = 0;          // the answer comes this long after the question
  std::string typedBeforeAnswer;  // keys that arrive just before the answer
  std::string typedAfterAnswer;   // keys that arrive just after it
  bool stdinNull = false;         // standard input not the terminal
  bool stdoutToFile = false;      // standard output into captured file
  const char* term = "xterm";     // nullptr: TERM unset
  // After the driver, a reader of the terminal (as the shell is) collects
  // whatever input is left for it; see NextReaderBytes.
  bool nextReader = false;
};

// One run of the driver on a fresh pseudo-terminal.
class TerminalRun {
 public:
  ~TerminalRun() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (vt_ != nullptr) vterm_free(vt_);
  }

  bool Start(const std::vector<std::string>& args, const RunOptions& options) {
    options_ = options;
    vt_ = vterm_new(options.rows, options.cols);
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    callbacks_.sb_pushline = [](int cols, const VTermScreenCell* cells,
                                void* user) {
      static_cast<TerminalRun*>(user)->scrollback_.push_back(
          CellsText(cols, cells));
      return 1;
    };
    vterm_screen_set_callbacks(screen_, &callbacks_, this);
    // The terminal's own colours are white on blue.
    VTermColor white, blue;
    vterm_color_indexed(&white, 15);
    vterm_color_indexed(&blue, 4);
    vterm_state_set_default_colors(vterm_obtain_state(vt_), &white, &blue);
    vterm_screen_reset(screen_, 1);

    struct winsize size = {};
    size.ws_row = static_cast<unsigned short>(options.rows);
    size.ws_col = static_cast<unsigned short>(options.cols);
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, &size) != 0) return false;
    tcgetattr(slave, &before_);
    char outPath[] = "/tmp/console_e2e_stdout_XXXXXX";
    int outFile = -1;
    if (options.stdoutToFile) {
      outFile = mkstemp(outPath);
      outPath_ = outPath;
    }
    char readerPath[] = "/tmp/console_e2e_reader_XXXXXX";
    int readerFile = -1;
    if (options.nextReader) {
      readerFile = mkstemp(readerPath);
      readerPath_ = readerPath;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      if (slave > 2) close(slave);
      if (options.stdinNull) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
      }
      if (outFile >= 0) dup2(outFile, 1);
      setenv("LANG", "C.UTF-8", 1);
      unsetenv("LC_ALL");
      if (options.term != nullptr) {
        setenv("TERM", options.term, 1);
      } else {
        unsetenv("TERM");
      }
      if (readerFile >= 0) RunWithNextReader(argv.data(), readerFile);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(slave);
    if (outFile >= 0) close(outFile);
    if (readerFile >= 0) close(readerFile);
    deadline_ = NowMs() + kRunLimitMs;
    return pid_ > 0;
  }

  // Feeds the driver's output to the screen until the text shows; false when
  // the driver ended or the time ran out first.
  bool WaitFor(const std::string& text) {
    while (!ScreenHas(text)) {
      if (!Pump()) return ScreenHas(text);
    }
    return true;
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  void Signal(int number) { kill(pid_, number); }

  // Closes the terminal under the driver, as closing its window does, and
  // returns the driver's wait status, or -1 when it had to be killed.
  int HangUp() {
    close(master_);
    master_ = -1;
    int status = -1;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (NowMs() > deadline_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status = -1;
        break;
      }
      usleep(1000);
    }
    pid_ = -1;
    return status;
  }

  // Feeds output until the driver ends; returns its wait status, or -1 when
  // it had to be killed.
  int Finish() {
    while (Pump()) {
    }
    int status = -1;
    if (exited_) {
      status = status_;
    } else {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return status;
  }

  std::string Row(int y) const {
    std::vector<VTermScreenCell> cells(options_.cols);
    for (int x = 0; x < options_.cols; ++x) {
      vterm_screen_get_cell(screen_, VTermPos{y, x}, &cells[x]);
    }
    return CellsText(options_.cols, cells.data());
  }

  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (int y = 0; y < options_.rows; ++y) rows.push_back(Row(y));
    return rows;
  }

  VTermScreenCell Cell(int x, int y) const {
    VTermScreenCell cell;
    vterm_screen_get_cell(screen_, VTermPos{y, x}, &cell);
    return cell;
  }

  VTermPos Cursor() const {
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos;
  }

  const std::vector<std::string>& Scrollback() const { return scrollback_; }
  const std::string& Output() const { return output_; }
  const std::string& StdoutPath() const { return outPath_; }

  // What the next reader found: a first byte '1' when the driver left the
  // terminal modes as it found them ('0' otherwise), then the input bytes.
  std::string NextReaderBytes() const {
    std::string bytes;
    const int file = open(readerPath_.c_str(), O_RDONLY);
    char buffer[256];
    ssize_t got;
    while (file >= 0 && (got = read(file, buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<size_t>(got));
    }
    if (file >= 0) close(file);
    unlink(readerPath_.c_str());
    return bytes;
  }

  // Stops the driver and waits until it has stopped.
  bool StopAndWait() {
    kill(pid_, SIGSTOP);
    int status;
    return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
  }

  // Output of another program on the same screen, such as the shell's.
  void ShowOther(const std::string& bytes) {
    vterm_input_write(vt_, bytes.data(), bytes.size());
  }

  // The terminal modes now, as the driver left or set them.
  struct termios Modes() const {
    struct termios now = {};
    tcgetattr(master_, &now);
    return now;
  }

  void RestoreModesAsShell() { tcsetattr(master_, TCSANOW, &before_); }

  // The terminal modes now, compared with those before the run.
  bool ModesRestored() const {
    struct termios after;
    if (tcgetattr(master_, &after) != 0) return false;
    return after.c_iflag == before_.c_iflag &&
           after.c_oflag == before_.c_oflag &&
           after.c_lflag == before_.c_lflag &&
           after.c_cflag == before_.c_cflag &&
           std::memcmp(after.c_cc, before_.c_cc, sizeof after.c_cc) == 0;
  }

 private:
  bool ScreenHas(const std::string& text) const {
    for (const std::string& row : Rows()) {
      if (row.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // One round of reading; false once the driver has ended and its output is
  // drained, or the time is up.
  bool Pump() {
    const long long left = deadline_ - NowMs();
    if (left <= 0) return false;
    long long wait = std::min(left, 100LL);
    if (!reply_.empty()) wait = std::max(0LL, std::min(wait, replyDueMs_ - NowMs()));
    struct pollfd poller = {master_, POLLIN, 0};
    const int ready = poll(&poller, 1, static_cast<int>(wait));
    if (!reply_.empty() && NowMs() >= replyDueMs_) {
      Send(reply_);
      reply_.clear();
    }
    if (ready <= 0) return true;
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got > 0) {
      output_.append(buffer, static_cast<size_t>(got));
      vterm_input_write(vt_, buffer, static_cast<size_t>(got));
      Answer();
      return true;
    }
    // Every slave descriptor is closed (EIO): the driver is ending.
    while (waitpid(pid_, &status_, WNOHANG) != pid_) {
      if (NowMs() > deadline_) return false;
      usleep(1000);
    }
    exited_ = true;
    return false;
  }

  // libvterm answers the cursor question into its output buffer; the
  // answer goes back after the delay asked for.
  void Answer() {
    char reply[256];
    const size_t length = vterm_output_read(vt_, reply, sizeof reply);
    if (length == 0 || !options_.answerCursor) return;
    std::string bytes = options_.typedBeforeAnswer;
    options_.typedBeforeAnswer.clear();
    bytes.append(reply, length);
    bytes += options_.typedAfterAnswer;
    options_.typedAfterAnswer.clear();
    if (options_.answerDelayMs == 0) {
      Send(bytes);
      return;
    }
    reply_ += bytes;
    replyDueMs_ = NowMs() + options_.answerDelayMs;
  }

  // In the forked child, which leads the terminal's session as a shell does:
  // runs the driver in its own process, then reads the terminal as the next
  // program would, and writes what it found to file. Never returns.
  static void RunWithNextReader(char** argv, int file) {
    struct termios found;
    tcgetattr(0, &found);
    const pid_t driver = fork();
    if (driver == 0) {
      execv(argv[0], argv);
      _exit(127);
    }
    int status = 0;
    waitpid(driver, &status, 0);
    struct termios left;
    tcgetattr(0, &left);
    const bool same = left.c_iflag == found.c_iflag &&
                      left.c_lflag == found.c_lflag &&
                      left.c_oflag == found.c_oflag &&
                      std::memcmp(left.c_cc, found.c_cc, sizeof left.c_cc) == 0;
    (void)!write(file, same ? "1" : "0", 1);
    struct termios raw = left;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSANOW, &raw);
    const long long until = NowMs() + kNextReaderMs;
    for (long long left_ms; (left_ms = until - NowMs()) > 0;) {
      struct pollfd poller = {0, POLLIN, 0};
      if (poll(&poller, 1, static_cast<int>(left_ms)) <= 0) continue;
      char buffer[256];
      const ssize_t got = read(0, buffer, sizeof buffer);
      if (got > 0) (void)!write(file, buffer, static_cast<size_t>(got));
    }
    tcsetattr(0, TCSANOW, &left);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
  }

  RunOptions options_;
  VTerm* vt_ = nullptr;
  VTermScreen* screen_ = nullptr;
  VTermScreenCallbacks callbacks_ = {};
  std::vector<std::string> scrollback_;
  std::string output_;
  std::string outPath_;
  std::string readerPath_;
  std::string reply_;  // an answer waiting for its delay
  long long replyDueMs_ = 0;
  struct termios before_ = {};
  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  long long deadline_ = 0;
};

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

TEST(TerminalE2eTest, NoTerminalWritesNothingAndNeverWaits) {
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
    const long long deadline = NowMs() + kRunLimitMs;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (NowMs() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the driver did not end";
      }
      usleep(10000);
    }
    EXPECT_TRUE(ExitedWith(status, 0));
    struct stat info;
    ASSERT_EQ(stat(path, &info), 0);
    EXPECT_EQ(info.st_size, 0);
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
