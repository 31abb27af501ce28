#ifndef SSH_LINE_ASSEMBLER_H_
#define SSH_LINE_ASSEMBLER_H_

// Cuts the remote command's output into lines. Pure: bytes and times go in,
// lines come out, so the rules can be tested without a network.

#include <cstddef>
#include <cstdint>
#include <string>

/// A question often waits on its own line without a line feed: text followed
/// by this much silence counts as a line.
constexpr int64_t kLineQuietMs = 250;

struct LineAssembler {
  std::string pending;     // bytes received and not yet handed out
  int64_t lastByteMs = 0;  // when the newest pending byte arrived
  bool closed = false;     // the remote will send nothing more
};

enum class LineStep {
  kLine,  // a line is ready
  kWait,  // nothing yet: wait for more bytes at most *waitMs
  kNone,  // no line will come before the deadline (closed or timed out)
};

/// Adds bytes that arrived at nowMs.
void LineAssemblerFeed(LineAssembler* assembler, const char* data, size_t size,
                       int64_t nowMs);

/// Marks the end of the output; pending text still becomes a line.
void LineAssemblerClose(LineAssembler* assembler);

/// True when text ends like a prompt: in '?', ':', ']', ')', '>' or '#',
/// perhaps followed by spaces.
bool EndsLikePrompt(const std::string& text);

/// Decides at nowMs whether a line of at most maxBytes bytes can be handed
/// out. A line ends at a line feed (it and a carriage return before it are
/// not part of it); at once when the text without a line feed ends like a
/// prompt, since a router's CLI asks without one; after kLineQuietMs without
/// new bytes; at the close; at deadlineMs; or when maxBytes bytes have no line
/// feed among them; the rest of a cut line is the start of the next one. The
/// caller feeds everything that has arrived before it takes, so text that
/// came in the same read as a prompt-like piece stays in its line. On kLine,
/// *line holds the line and its bytes are gone from the assembler; on kWait,
/// *waitMs is how long to wait for more before asking again (at least 1).
LineStep LineAssemblerTake(LineAssembler* assembler, int64_t nowMs,
                           int64_t deadlineMs, size_t maxBytes,
                           std::string* line, int64_t* waitMs);

#endif  // SSH_LINE_ASSEMBLER_H_
