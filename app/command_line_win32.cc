// The command line on Windows: the UTF-16 line the process was started with,
// and the password starred in every copy of it the process holds.
#include "app/command_line.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <corecrt_startup.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "app/command_line_platform.h"
#include "base/wipe.h"

// The command line as Windows hands it to the process: one UTF-16 text,
// narrowed into the system's ANSI code page.

static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

struct CommandLineState {
  std::u16string tail;
  wchar_t* line = nullptr;  // the process's own buffer from GetCommandLineW
  size_t tailStart = 0;     // where the tail begins in it
  int argc = 0;
  char** argv = nullptr;
};

CommandLineState& State() {
  static CommandLineState state;
  return state;
}

// Overwrites with '*' the bytes of every occurrence of secret, after
// prefix, in a narrow copy of the command line.
void StarNarrowCopy(char* copy, std::string_view prefix,
                    std::string_view secret) {
  if (copy == nullptr || secret.empty()) return;
  // Compared in place with both lengths known: no copy of the password is
  // made, and a zero byte in the prefix or the password does not shorten it.
  const std::string_view text(copy);
  size_t hit = text.find(prefix);
  while (hit != std::string_view::npos) {
    const size_t value = hit + prefix.size();
    if (text.compare(value, secret.size(), secret) == 0) {
      std::memset(copy + value, '*', secret.size());
      hit = text.find(prefix, value + secret.size());
    } else {
      hit = text.find(prefix, hit + 1);
    }
  }
}

// Stars what follows prefix in every word of text that begins with it
// (quotes before it allowed): up to the next quote when the word began
// with one, else up to the next space. Quotes can shift the parameters so
// that the word meant as the password is not the one read at its position;
// it must not stay visible either.
template <typename Char>
void StarPrefixedWords(Char* text, size_t length, std::string_view prefix) {
  if (text == nullptr || prefix.empty()) return;
  for (size_t i = 0; i < length; ++i) {
    if (i > 0 && text[i - 1] != Char(' ')) continue;
    size_t k = i;
    bool quoted = false;
    while (k < length && text[k] == Char('"')) {
      ++k;
      quoted = true;
    }
    if (length - k < prefix.size()) continue;
    bool match = true;
    for (size_t p = 0; p < prefix.size() && match; ++p) {
      match = text[k + p] == Char(static_cast<unsigned char>(prefix[p]));
    }
    if (!match) continue;
    const Char end = quoted ? Char('"') : Char(' ');
    for (k += prefix.size(); k < length && text[k] != end; ++k) {
      text[k] = Char('*');
    }
  }
}

// Both of the above on one narrow copy: the value read as the password
// (after valuePrefix) and every word beginning with wordPrefix.
void StarNarrow(char* copy, std::string_view wordPrefix,
                std::string_view valuePrefix, std::string_view secret) {
  StarNarrowCopy(copy, valuePrefix, secret);
  if (copy != nullptr) StarPrefixedWords(copy, std::strlen(copy), wordPrefix);
}

}  // namespace

// argc and argv are the C runtime's split of the same line; the tail comes
// from the line itself, as Windows gives it.
void SetCommandLine(int argc, char** argv) {
  CommandLineState& state = State();
  state.argc = argc;
  state.argv = argv;
  state.line = GetCommandLineW();
  if (state.line == nullptr) {
    state.tail.clear();
    state.tailStart = 0;
    return;
  }
  std::u16string_view line(reinterpret_cast<const char16_t*>(state.line),
                           std::wcslen(state.line));
  state.tailStart = CommandTailStart(line);
  state.tail.assign(line.substr(state.tailStart));
}

void SetCommandLineText(std::u16string_view commandLine) {
  WipeCommandLine();
  CommandLineState& state = State();
  state.tail = FindCommandTail(commandLine);
  state.line = nullptr;
  state.tailStart = 0;
  state.argc = 0;
  state.argv = nullptr;
}

const std::u16string& CommandTail() { return State().tail; }

void WipeCommandLine() {
  CommandLineState& state = State();
  Wipe(&state.tail);
}

std::u16string LowerText(std::u16string_view text) {
  std::u16string lower(text);
  if (!lower.empty()) {
    CharLowerBuffW(reinterpret_cast<wchar_t*>(lower.data()),
                   static_cast<DWORD>(lower.size()));
  }
  return lower;
}

std::string ToNarrow(std::u16string_view text) {
  if (text.empty()) return std::string();
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  int length = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0,
                                  nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, narrow.data(), bytes,
                              nullptr, nullptr);
  if (bytes <= 0) return std::string();
  narrow.resize(static_cast<size_t>(bytes));
  return narrow;
}

void ScrubParamInArgv(int n, std::string_view prefix) {
  CommandLineState& state = State();
  if (state.line == nullptr) return;
  std::string_view starredPrefix;
  std::string secret;
  const std::u16string widePrefix(prefix.begin(), prefix.end());  // ASCII
  ValueSpan value = FindValueSpan(state.tail, n, widePrefix);
  if (value.found) {
    if (value.prefixed) starredPrefix = prefix;
    secret = ToNarrow(std::u16string_view(state.tail.data() + value.begin,
                                          value.end - value.begin));
    // The buffer GetCommandLineW returns is the one in the process's
    // parameter block, which process listers read. The C runtime keeps a
    // copy of the same text.
    wchar_t* copy = _wcmdln;
    bool sameCopy = copy != nullptr && copy != state.line &&
                    std::wcscmp(copy, state.line) == 0;
    for (size_t k = value.begin; k < value.end; ++k) {
      state.line[state.tailStart + k] = L'*';
      if (sameCopy) copy[state.tailStart + k] = L'*';
    }
  }
  StarPrefixedWords(state.line + state.tailStart,
                    std::wcslen(state.line + state.tailStart), prefix);
  if (_wcmdln != nullptr && _wcmdln != state.line) {
    StarPrefixedWords(_wcmdln, std::wcslen(_wcmdln), prefix);
  }
  // GetCommandLineA and the C runtime keep narrow copies as well.
  StarNarrow(GetCommandLineA(), prefix, starredPrefix, secret);
  StarNarrow(_acmdln, prefix, starredPrefix, secret);
  for (int i = 1; i < state.argc && state.argv != nullptr; ++i) {
    StarNarrow(state.argv[i], prefix, starredPrefix, secret);
  }
  Wipe(&secret);
}
