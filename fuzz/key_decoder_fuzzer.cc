// The keyboard on arbitrary byte streams: the pure decoder, the cursor
// report finder, and the real reader behind WaitKey fed through a pipe.

#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/terminal.h"
#include "console/terminal_bytes.h"
#include "console/terminal_posix.h"
#include "fuzz/fuzz_check.h"

namespace {

// No key is longer than this: the longest control sequence the decoder takes
// (32 bytes) behind an Esc for Alt.
constexpr size_t kLongestKey = 40;

bool SameKey(const TerminalKeyEvent& a, const TerminalKeyEvent& b) {
  return a.isKey == b.isKey && a.pressed == b.pressed && a.ch == b.ch &&
         a.scanCode == b.scanCode;
}

// The keys the bytes decode to when all of them have arrived. A key decoded
// from only part of them is the same key of the same length, so it never
// matters how the bytes were cut into reads.
std::vector<TerminalKeyEvent> DecodeAll(std::string_view bytes, bool utf8) {
  std::vector<TerminalKeyEvent> keys;
  size_t at = 0;
  while (at < bytes.size()) {
    const std::string_view rest = bytes.substr(at);
    TerminalKeyEvent key;
    const size_t taken = DecodeKey(rest, utf8, true, &key);
    FUZZ_CHECK(taken >= 1 && taken <= rest.size());
    FUZZ_CHECK(taken <= kLongestKey);
    for (size_t cut = 1; cut <= rest.size() && cut <= kLongestKey + 1; ++cut) {
      TerminalKeyEvent partial;
      const size_t early = DecodeKey(rest.substr(0, cut), utf8, false, &partial);
      FUZZ_CHECK(early <= cut);
      if (early != 0) {
        FUZZ_CHECK(early == taken);
        FUZZ_CHECK(SameKey(partial, key));
      }
      const size_t forced = DecodeKey(rest.substr(0, cut), utf8, true, &partial);
      FUZZ_CHECK(forced >= 1 && forced <= cut);
    }
    keys.push_back(key);
    at += taken;
  }
  TerminalKeyEvent none;
  FUZZ_CHECK(DecodeKey(std::string_view(), utf8, true, &none) == 0);
  return keys;
}

void CheckCursorReport(std::string_view bytes) {
  int row = -1, column = -1;
  size_t start = 0, length = 0;
  if (!FindCursorReport(bytes, &row, &column, &start, &length)) return;
  FUZZ_CHECK(start < bytes.size() && length >= 6 && length <= bytes.size() - start);
  FUZZ_CHECK(bytes[start] == '\x1b' && bytes[start + length - 1] == 'R');
  FUZZ_CHECK(row >= 0 && row <= 99999 && column >= 0 && column <= 99999);
}

// The keyboard as the program reads it: all bytes waiting in a pipe whose
// other end is closed. The reader must hand out exactly the decoded keys,
// then report the keyboard gone, without waiting for anything.
void CheckReader(std::string_view bytes, const std::vector<TerminalKeyEvent>& keys) {
  int fds[2];
  FUZZ_CHECK(pipe2(fds, O_CLOEXEC) == 0);
  FUZZ_CHECK(write(fds[1], bytes.data(), bytes.size()) ==
             static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  TerminalSetup setup;
  setup.input = fds[0];
  TerminalBegin(setup);
  TerminalKeyEvent event;
  for (const TerminalKeyEvent& key : keys) {
    FUZZ_CHECK(TerminalReadEvent(&event));
    FUZZ_CHECK(SameKey(event, key));
  }
  FUZZ_CHECK(!TerminalReadEvent(&event));
  close(fds[0]);
}

// WaitKey on the same stream: each wait takes at least one key, so one more
// wait than there are keys finds the keyboard gone and returns at once.
void CheckWaitKey(std::string_view bytes, size_t keyCount) {
  int fds[2];
  FUZZ_CHECK(pipe2(fds, O_CLOEXEC) == 0);
  FUZZ_CHECK(write(fds[1], bytes.data(), bytes.size()) ==
             static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  TerminalSetup setup;
  setup.input = fds[0];
  TerminalBegin(setup);
  for (size_t i = 0; i <= keyCount; ++i) WaitKey();
  TerminalKeyEvent event;
  FUZZ_CHECK(!TerminalReadEvent(&event));
  close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One pipe holds the whole input: stay well below its 64 KiB.
  if (size == 0 || size > 16384) return 0;
  // The first byte picks the locale's encoding, which the reader follows.
  const bool utf8 = (data[0] & 1) != 0;
  static int locale = -1;
  if (locale != static_cast<int>(utf8)) {
    FUZZ_CHECK(std::setlocale(LC_ALL, utf8 ? "C.UTF-8" : "C") != nullptr);
    locale = utf8;
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<TerminalKeyEvent> keys = DecodeAll(bytes, utf8);
  CheckCursorReport(bytes);
  CheckReader(bytes, keys);
  CheckWaitKey(bytes, keys.size());
  return 0;
}
