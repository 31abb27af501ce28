#include "ssh/line_assembler.h"

#include <algorithm>

void LineAssemblerFeed(LineAssembler* assembler, const char* data, size_t size,
                       int64_t nowMs) {
  if (size == 0) return;
  assembler->pending.append(data, size);
  assembler->lastByteMs = nowMs;
}

void LineAssemblerClose(LineAssembler* assembler) { assembler->closed = true; }

namespace {

// Hands out the first length bytes as the line and drops consumed bytes.
void HandOut(LineAssembler* assembler, size_t length, size_t consumed,
             std::string* line) {
  line->assign(assembler->pending, 0, length);
  assembler->pending.erase(0, consumed);
}

}  // namespace

bool EndsLikePrompt(const std::string& text) {
  const size_t last = text.find_last_not_of(' ');
  if (last == std::string::npos) return false;
  switch (text[last]) {
    case '?':
    case ':':
    case ']':
    case ')':
    case '>':
    case '#':
      return true;
    default:
      return false;
  }
}

LineStep LineAssemblerTake(LineAssembler* assembler, int64_t nowMs,
                           int64_t deadlineMs, size_t maxBytes,
                           std::string* line, int64_t* waitMs) {
  const std::string& pending = assembler->pending;
  const size_t size = pending.size();
  const size_t lineFeed = pending.find('\n');
  if (lineFeed != std::string::npos) {
    size_t end = lineFeed;
    if (end > 0 && pending[end - 1] == '\r') --end;
    if (end <= maxBytes) {
      HandOut(assembler, end, lineFeed + 1, line);
      return LineStep::kLine;
    }
    HandOut(assembler, maxBytes, maxBytes, line);
    return LineStep::kLine;
  }
  // Too long for the caller's buffer: cut it, unless what sticks out is only
  // a carriage return whose line feed may still be on its way.
  if (size > maxBytes + 1 || (size == maxBytes + 1 && pending[maxBytes] != '\r')) {
    HandOut(assembler, maxBytes, maxBytes, line);
    return LineStep::kLine;
  }
  const bool quiet = nowMs - assembler->lastByteMs >= kLineQuietMs;
  const bool late = nowMs >= deadlineMs;
  // A prompt here fits the buffer: longer text was cut above, and text one
  // byte over ends in a carriage return, which is no prompt ending.
  const bool prompt = EndsLikePrompt(pending);
  if (size > 0 && (assembler->closed || quiet || late || prompt)) {
    size_t end = size;
    if (pending[end - 1] == '\r') --end;
    end = std::min(end, maxBytes);
    HandOut(assembler, end, size, line);
    return LineStep::kLine;
  }
  if (assembler->closed || late) return LineStep::kNone;
  int64_t wait = deadlineMs - nowMs;
  if (size > 0) wait = std::min(wait, assembler->lastByteMs + kLineQuietMs - nowMs);
  *waitMs = std::max<int64_t>(wait, 1);
  return LineStep::kWait;
}
