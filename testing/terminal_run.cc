#include "testing/terminal_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/utf8.h"

namespace {

// How long the next reader of the terminal listens after the driver ended:
// longer than the slowest answer a run gives takes to come.
constexpr int kNextReaderMs = 2000;

std::string CellsText(int cols, const VTermScreenCell* cells) {
  std::string text;
  for (int x = 0; x < cols; ++x) {
    if (cells[x].chars[0] != 0) {
      AppendUtf8(cells[x].chars[0], &text);
    } else {
      text += ' ';
    }
  }
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

}  // namespace

TerminalRun::~TerminalRun() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (vt_ != nullptr) vterm_free(vt_);
}

bool TerminalRun::Start(const std::vector<std::string>& args, const RunOptions& options) {
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
  deadline_ = MonotonicMs() + kRunLimitMs;
  return pid_ > 0;
}

// Feeds the driver's output to the screen until the text shows; false when
// the driver ended or the time ran out first.
bool TerminalRun::WaitFor(const std::string& text) {
  while (!ScreenHas(text)) {
    if (!Pump()) return ScreenHas(text);
  }
  return true;
}

void TerminalRun::Send(const std::string& bytes) {
  ASSERT_EQ(write(master_, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

// Closes the terminal under the driver, as closing its window does, and
// returns the driver's wait status, or -1 when it had to be killed.
int TerminalRun::HangUp() {
  close(master_);
  master_ = -1;
  int status = -1;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (MonotonicMs() > deadline_) {
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
int TerminalRun::Finish() {
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

std::string TerminalRun::Row(int y) const {
  std::vector<VTermScreenCell> cells(options_.cols);
  for (int x = 0; x < options_.cols; ++x) {
    vterm_screen_get_cell(screen_, VTermPos{y, x}, &cells[x]);
  }
  return CellsText(options_.cols, cells.data());
}

std::vector<std::string> TerminalRun::Rows() const {
  std::vector<std::string> rows;
  for (int y = 0; y < options_.rows; ++y) rows.push_back(Row(y));
  return rows;
}

VTermScreenCell TerminalRun::Cell(int x, int y) const {
  VTermScreenCell cell;
  vterm_screen_get_cell(screen_, VTermPos{y, x}, &cell);
  return cell;
}

VTermPos TerminalRun::Cursor() const {
  VTermPos pos;
  vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
  return pos;
}

// What the next reader found: a first byte '1' when the driver left the
// terminal modes as it found them ('0' otherwise), then the input bytes.
std::string TerminalRun::NextReaderBytes() const {
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
bool TerminalRun::StopAndWait() {
  kill(pid_, SIGSTOP);
  int status;
  return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
}

// Output of another program on the same screen, such as the shell's.
void TerminalRun::ShowOther(const std::string& bytes) {
  vterm_input_write(vt_, bytes.data(), bytes.size());
}

// The terminal modes now, as the driver left or set them.
struct termios TerminalRun::Modes() const {
  struct termios now = {};
  tcgetattr(master_, &now);
  return now;
}

// The terminal modes now, compared with those before the run.
bool TerminalRun::ModesRestored() const {
  struct termios after;
  if (tcgetattr(master_, &after) != 0) return false;
  return after.c_iflag == before_.c_iflag &&
         after.c_oflag == before_.c_oflag &&
         after.c_lflag == before_.c_lflag &&
         after.c_cflag == before_.c_cflag &&
         std::memcmp(after.c_cc, before_.c_cc, sizeof after.c_cc) == 0;
}

bool TerminalRun::ScreenHas(const std::string& text) const {
  for (const std::string& row : Rows()) {
    if (row.find(text) != std::string::npos) return true;
  }
  return false;
}

// One round of reading; false once the driver has ended and its output is
// drained, or the time is up.
bool TerminalRun::Pump() {
  const long long left = deadline_ - MonotonicMs();
  if (left <= 0) return false;
  long long wait = std::min(left, 100LL);
  if (!reply_.empty()) wait = std::max(0LL, std::min(wait, replyDueMs_ - MonotonicMs()));
  struct pollfd poller = {master_, POLLIN, 0};
  const int ready = poll(&poller, 1, static_cast<int>(wait));
  if (!reply_.empty() && MonotonicMs() >= replyDueMs_) {
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
    if (MonotonicMs() > deadline_) return false;
    usleep(1000);
  }
  exited_ = true;
  return false;
}

// libvterm answers the cursor question into its output buffer; the
// answer goes back after the delay asked for.
void TerminalRun::Answer() {
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
  replyDueMs_ = MonotonicMs() + options_.answerDelayMs;
}

// In the forked child, which leads the terminal's session as a shell does:
// runs the driver in its own process, then reads the terminal as the next
// program would, and writes what it found to file. Never returns.
void TerminalRun::RunWithNextReader(char** argv, int file) {
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
  const long long until = MonotonicMs() + kNextReaderMs;
  for (long long left_ms; (left_ms = until - MonotonicMs()) > 0;) {
    struct pollfd poller = {0, POLLIN, 0};
    if (poll(&poller, 1, static_cast<int>(left_ms)) <= 0) continue;
    char buffer[256];
    const ssize_t got = read(0, buffer, sizeof buffer);
    if (got > 0) (void)!write(file, buffer, static_cast<size_t>(got));
  }
  tcsetattr(0, TCSANOW, &left);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
}
