// The SSH line reader's buffer handling on arbitrary router output, cut into
// arbitrary pieces arriving at arbitrary times, read into buffers of
// arbitrary size the way SshReadLineA reads them: every line fits its
// buffer, the lines and the separators dropped between them are exactly the
// bytes that came, text ending like a prompt is never waited on, and with
// time running every read ends.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "ssh/line_assembler.h"

namespace {

struct Reader {
  LineAssembler assembler;
  std::string received;  // every byte fed, in order
  size_t handedOut = 0;  // of them, taken as lines or dropped separators
};

// One read into a caller's buffer of capacity bytes, as SshReadLineA does.
LineStep ReadOnce(Reader* reader, int64_t nowMs, int64_t deadlineMs,
                  size_t capacity, int64_t* waitMs) {
  std::string line;
  *waitMs = -1;
  const size_t pendingBefore = reader->assembler.pending.size();
  const LineStep step = LineAssemblerTake(&reader->assembler, nowMs, deadlineMs,
                                          capacity - 1, &line, waitMs);
  const std::string& pending = reader->assembler.pending;
  FUZZ_CHECK(reader->received.size() - reader->handedOut == pendingBefore);
  if (step != LineStep::kLine) {
    FUZZ_CHECK(pending.size() == pendingBefore);
    if (step == LineStep::kWait) {
      FUZZ_CHECK(!reader->assembler.closed && nowMs < deadlineMs);
      FUZZ_CHECK(*waitMs >= 1 && *waitMs <= std::max<int64_t>(deadlineMs - nowMs, 1));
      // Text that ends like a prompt is a line at once, never waited on.
      FUZZ_CHECK(!EndsLikePrompt(pending));
    } else {
      // Nothing is left behind unread when the reading stops.
      FUZZ_CHECK(pending.empty());
      FUZZ_CHECK(reader->assembler.closed || nowMs >= deadlineMs);
    }
    return step;
  }

  // The caller's buffer holds exactly capacity bytes.
  std::unique_ptr<char[]> buffer(new char[capacity]);
  FUZZ_CHECK(line.size() <= capacity - 1);
  std::memcpy(buffer.get(), line.data(), line.size());
  buffer[line.size()] = '\0';

  FUZZ_CHECK(line.find('\n') == std::string::npos);
  FUZZ_CHECK(reader->received.compare(reader->handedOut, line.size(), line) == 0);
  const size_t consumed = pendingBefore - pending.size();
  FUZZ_CHECK(consumed >= line.size() && consumed >= 1);
  const std::string dropped =
      reader->received.substr(reader->handedOut + line.size(), consumed - line.size());
  FUZZ_CHECK(dropped.empty() || dropped == "\n" || dropped == "\r\n" ||
             (dropped == "\r" && pending.empty()));
  // A line that stops short of a separator while more is waiting was cut
  // because the buffer was full.
  if (dropped.empty() && !pending.empty()) FUZZ_CHECK(line.size() == capacity - 1);
  reader->handedOut += consumed;
  FUZZ_CHECK(reader->received.compare(reader->handedOut, std::string::npos, pending) == 0);
  return step;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Reader reader;
  int64_t now = input.ConsumeIntegralInRange<int64_t>(0, 1000000);
  const int64_t timeoutMs = input.ConsumeIntegralInRange<int64_t>(0, 30000);
  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        // Bytes from the router, with carriage returns and line feeds common.
        std::string chunk = input.ConsumeRandomLengthString(300);
        for (char& c : chunk) {
          if (c == '\x01') c = '\r';
          if (c == '\x02') c = '\n';
        }
        LineAssemblerFeed(&reader.assembler, chunk.data(), chunk.size(), now);
        reader.received += chunk;
        break;
      }
      case 1:
        now += input.ConsumeIntegralInRange<int64_t>(0, 400);
        break;
      case 2: {
        int64_t waitMs;
        ReadOnce(&reader, now, now + timeoutMs,
                 input.ConsumeIntegralInRange<size_t>(2, 300), &waitMs);
        break;
      }
      case 3:
        LineAssemblerClose(&reader.assembler);
        break;
    }
  }

  // One last read as the session makes it, the clock following the waits it
  // asks for: it ends with a line or nothing, and soon.
  const int64_t deadline = now + timeoutMs;
  const size_t capacity = 2 + size % 200;
  for (int rounds = 0;; ++rounds) {
    FUZZ_CHECK(rounds <= 3);
    int64_t waitMs;
    const LineStep step = ReadOnce(&reader, now, deadline, capacity, &waitMs);
    if (step != LineStep::kWait) break;
    now += waitMs;
  }

  // Then drain it all: each read takes at least a byte.
  LineAssemblerClose(&reader.assembler);
  const size_t left = reader.assembler.pending.size();
  for (size_t rounds = 0;; ++rounds) {
    FUZZ_CHECK(rounds <= left);
    int64_t waitMs;
    if (ReadOnce(&reader, now, deadline, capacity, &waitMs) == LineStep::kNone) break;
  }
  FUZZ_CHECK(reader.handedOut == reader.received.size());
  return 0;
}
