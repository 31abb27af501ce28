// Start-up and shutdown on the Windows console: the handles, the console
// modes, the control handler that keeps Ctrl+C, Ctrl+Break and the close
// button from ending the run, the Close command of the window menu, and the
// console given back as it was found at every end.

#include <windows.h>

#include <cstdlib>

#include "console/console.h"
#include "console/startup.h"
#include "console/terminal_win32.h"

namespace {

// Appended to the console title for a moment, so that the console's window
// can be told from every other by its title.
constexpr wchar_t kTitleMarker[] = L"       ";
constexpr DWORD kTitleMarkerLength = sizeof kTitleMarker / sizeof(wchar_t) - 1;
// Time the window gets to show the marked title before it is looked for.
constexpr DWORD kTitleSettleMs = 200;
// A longer title is left alone: it could not be set back whole.
constexpr DWORD kTitleCapacity = 1024;

// The Close item of the window menu and where it goes back.
constexpr UINT kCloseCommand = SC_CLOSE;
constexpr UINT kCloseItemPosition = 6;
constexpr wchar_t kCloseItemText[] = L"Close";

// Processed output and wrap at the end of a line: what other writers to the
// console expect while the program runs. No virtual-terminal processing: the
// program writes cells, never escape sequences.
constexpr DWORD kOutputMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
// Raw key events: no line input, no echo, and Ctrl+C a key rather than a
// control event.
constexpr DWORD kInputMode = 0;

constexpr DWORD kFallbackCursorSize = 10;

struct StartupState {
  bool started = false;
  HANDLE stdInput = INVALID_HANDLE_VALUE;
  HANDLE stdOutput = INVALID_HANDLE_VALUE;
  HANDLE output = INVALID_HANDLE_VALUE;  // the screen buffer text goes to
  HANDLE input = INVALID_HANDLE_VALUE;   // "CONIN$"
  // Modes as they were found, put back at every end.
  bool outputModeSaved = false;
  DWORD outputMode = 0;
  bool inputModeSaved = false;
  DWORD inputMode = 0;
  // The window found at start-up, for the fatal end, which must not pause.
  HWND startWindow = nullptr;
};

StartupState g_startup;

BOOL WINAPI ConsoleControlHandler(DWORD event) {
  // Ctrl+C, Ctrl+Break and the close button; log-off and shut-down keep
  // their default handling.
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ||
                 event == CTRL_CLOSE_EVENT
             ? TRUE
             : FALSE;
}

bool IsConsole(HANDLE handle) {
  DWORD mode;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetConsoleMode(handle, &mode);
}

// False when the process runs in a window station nobody can see (a task
// scheduled to run whether a user is logged on or not, a service): its
// console exists but no one can read it or press a key in it.
bool IsInteractive() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags;
  DWORD needed = 0;
  if (station == nullptr ||
      !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags,
                                 &needed)) {
    return true;  // nothing says otherwise
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void CheckPlatform() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExA(&version) &&
      version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
    MessageBoxA(nullptr, "Win98 No Support", nullptr,
                MB_OK | MB_TASKMODAL | MB_SETFOREGROUND);
    ExitProcess(255);
  }
}

HWND FindConsoleWindow() {
  wchar_t title[kTitleCapacity];
  const DWORD length = GetConsoleTitleW(title, kTitleCapacity);
  // No console, no title to mark, or one too long to set back whole.
  if (length == 0 || length >= kTitleCapacity - 1) return nullptr;
  wchar_t marked[kTitleCapacity + kTitleMarkerLength];
  CopyMemory(marked, title, length * sizeof(wchar_t));
  CopyMemory(marked + length, kTitleMarker, sizeof kTitleMarker);
  title[length] = L'\0';
  SetConsoleTitleW(marked);
  Sleep(kTitleSettleMs);
  HWND window = FindWindowW(nullptr, marked);
  SetConsoleTitleW(title);
  return window;
}

HMENU WindowMenu(HWND window) {
  return window != nullptr ? GetSystemMenu(window, FALSE) : nullptr;
}

void ProtectWindow(HWND window) {
  HMENU menu = WindowMenu(window);
  SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
  if (menu != nullptr) {
    DeleteMenu(menu, kCloseCommand, MF_BYCOMMAND);
    DrawMenuBar(window);
  }
}

void UnprotectWindow(HWND window) {
  HMENU menu = WindowMenu(window);
  SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
  // Only where it is missing: a second Close item helps nobody.
  if (menu != nullptr &&
      GetMenuState(menu, kCloseCommand, MF_BYCOMMAND) == static_cast<UINT>(-1)) {
    InsertMenuW(menu, kCloseItemPosition, MF_BYPOSITION | MF_STRING,
                kCloseCommand, kCloseItemText);
    DrawMenuBar(window);
  }
}

// A cursor whose shape cannot be read gets a visible one.
void EnsureCursor() {
  CONSOLE_CURSOR_INFO cursor = {};
  if (GetConsoleCursorInfo(g_startup.output, &cursor) && cursor.dwSize != 0) {
    return;
  }
  cursor = {};
  if (GetConsoleCursorInfo(g_startup.stdOutput, &cursor) &&
      cursor.dwSize != 0) {
    return;
  }
  cursor.dwSize = kFallbackCursorSize;
  cursor.bVisible = TRUE;
  SetConsoleCursorInfo(g_startup.output, &cursor);
}

void RestoreModes() {
  if (g_startup.outputModeSaved) {
    SetConsoleMode(g_startup.output, g_startup.outputMode);
    g_startup.outputModeSaved = false;
  }
  if (g_startup.inputModeSaved) {
    SetConsoleMode(g_startup.stdInput, g_startup.inputMode);
    g_startup.inputModeSaved = false;
  }
}

// Gives the console back and ends. The fatal end uses the window found at
// start-up instead of marking the title again, and does not run the C
// runtime's exit handlers.
[[noreturn]] void EndProcess(int exitStatus, bool atOnce) {
  if (g_startup.started) {
    RestoreModes();
    if (g_startup.input != INVALID_HANDLE_VALUE) {
      CloseHandle(g_startup.input);
      g_startup.input = INVALID_HANDLE_VALUE;
    }
    TerminalBeginConsole(nullptr, nullptr);
    UnprotectWindow(atOnce ? g_startup.startWindow : FindConsoleWindow());
    g_startup.started = false;
  }
  if (atOnce) ExitProcess(static_cast<UINT>(exitStatus));
  std::exit(exitStatus);
}

}  // namespace

void ConsoleStartup() {
  if (g_startup.started) return;
  CheckPlatform();

  const HANDLE stdError = GetStdHandle(STD_ERROR_HANDLE);
  g_startup.stdInput = GetStdHandle(STD_INPUT_HANDLE);
  g_startup.stdOutput = GetStdHandle(STD_OUTPUT_HANDLE);

  // Text goes to a console only, never into a file or a pipe: standard
  // output when that is one, else standard error.
  const bool interactive = IsInteractive();
  int outputStream = -1;
  if (interactive && IsConsole(g_startup.stdOutput)) {
    g_startup.output = g_startup.stdOutput;
    outputStream = 1;
  } else if (interactive && IsConsole(stdError)) {
    g_startup.output = stdError;
    outputStream = 2;
  }
  // The keyboard is the console's own input, whatever standard input is.
  if (interactive) {
    g_startup.input = CreateFileA("CONIN$", GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (g_startup.input != INVALID_HANDLE_VALUE && !IsConsole(g_startup.input)) {
      CloseHandle(g_startup.input);
      g_startup.input = INVALID_HANDLE_VALUE;
    }
  }

  if (g_startup.output != INVALID_HANDLE_VALUE &&
      GetConsoleMode(g_startup.output, &g_startup.outputMode)) {
    g_startup.outputModeSaved = true;
    SetConsoleMode(g_startup.output, kOutputMode);
  }
  // Only standard input on the console is switched to raw keys; otherwise
  // Ctrl+C stays a control event, which the handler swallows.
  if (IsConsole(g_startup.stdInput) &&
      GetConsoleMode(g_startup.stdInput, &g_startup.inputMode)) {
    g_startup.inputModeSaved = true;
    SetConsoleMode(g_startup.stdInput, kInputMode);
  }

  g_startup.startWindow = FindConsoleWindow();
  ProtectWindow(g_startup.startWindow);

  if (g_startup.output != INVALID_HANDLE_VALUE) EnsureCursor();

  // NO_COLOR set to anything but the empty text: the console's own colours,
  // as found now, instead of the program's.
  int ownAttribute = -1;
  const char* noColour = std::getenv("NO_COLOR");
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (noColour != nullptr && *noColour != '\0' && g_startup.output != INVALID_HANDLE_VALUE &&
      GetConsoleScreenBufferInfo(g_startup.output, &info)) {
    ownAttribute = info.wAttributes & 0xFF;
  }
  TerminalBeginConsole(
      g_startup.output != INVALID_HANDLE_VALUE ? g_startup.output : nullptr,
      g_startup.input != INVALID_HANDLE_VALUE ? g_startup.input : nullptr, ownAttribute);
  g_startup.started = true;

  ConsoleState& console = Console();
  console.output = outputStream;
  console.input = g_startup.input != INVALID_HANDLE_VALUE ? 0 : -1;
  console.foreground = 7;
  console.background = 0;
  console.wrapPending = false;
}

void ConsoleShutdown(int exitStatus) { EndProcess(exitStatus, false); }

void ConsoleFatalExit() { EndProcess(255, true); }
