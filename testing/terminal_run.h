#ifndef TESTING_TERMINAL_RUN_H_
#define TESTING_TERMINAL_RUN_H_

// A program run on a fresh pseudo-terminal whose screen is libvterm's: the
// cells, colours, scrollback and cursor it leaves, the cursor question
// answered as a terminal would, keys and signals sent to it, and the
// terminal modes before and after.

#include <signal.h>
#include <sys/types.h>
#include <termios.h>
#include <vterm.h>

#include <string>
#include <vector>

/// Every run is cut off after this, so a hang fails instead of blocking CI.
constexpr int kRunLimitMs = 20000;

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

/// One run of a program (the console driver) on a fresh pseudo-terminal.
class TerminalRun {
 public:
  ~TerminalRun();

  bool Start(const std::vector<std::string>& args, const RunOptions& options);

  // Feeds the driver's output to the screen until the text shows; false when
  // the driver ended or the time ran out first.
  bool WaitFor(const std::string& text);

  void Send(const std::string& bytes);

  void Signal(int number) { kill(pid_, number); }

  // Closes the terminal under the driver, as closing its window does, and
  // returns the driver's wait status, or -1 when it had to be killed.
  int HangUp();

  // Feeds output until the driver ends; returns its wait status, or -1 when
  // it had to be killed.
  int Finish();

  std::string Row(int y) const;

  std::vector<std::string> Rows() const;

  VTermScreenCell Cell(int x, int y) const;

  VTermPos Cursor() const;

  const std::vector<std::string>& Scrollback() const { return scrollback_; }
  const std::string& Output() const { return output_; }
  const std::string& StdoutPath() const { return outPath_; }

  // What the next reader found: a first byte '1' when the driver left the
  // terminal modes as it found them ('0' otherwise), then the input bytes.
  std::string NextReaderBytes() const;

  // Stops the driver and waits until it has stopped.
  bool StopAndWait();

  // Output of another program on the same screen, such as the shell's.
  void ShowOther(const std::string& bytes);

  // The terminal modes now, as the driver left or set them.
  struct termios Modes() const;

  void RestoreModesAsShell() { tcsetattr(master_, TCSANOW, &before_); }

  // The terminal modes now, compared with those before the run.
  bool ModesRestored() const;

 private:
  bool ScreenHas(const std::string& text) const;

  // One round of reading; false once the driver has ended and its output is
  // drained, or the time is up.
  bool Pump();

  // libvterm answers the cursor question into its output buffer; the
  // answer goes back after the delay asked for.
  void Answer();

  // In the forked child, which leads the terminal's session as a shell does:
  // runs the driver in its own process, then reads the terminal as the next
  // program would, and writes what it found to file. Never returns.
  static void RunWithNextReader(char** argv, int file);

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

#endif  // TESTING_TERMINAL_RUN_H_
