#include "ssh/version_line.h"

namespace {

// Lines a server may send before its version line, the version line
// included, and the longest line waited for.
constexpr int kMaxLinesToVersion = 50;
constexpr size_t kMaxLineBytes = 8192;

}  // namespace

VersionLineScan FindVersionLine(std::string_view bytes, size_t* end) {
  size_t lineStart = 0;
  for (int lines = 0; lines < kMaxLinesToVersion; ++lines) {
    const size_t lineEnd = bytes.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) {
      return bytes.size() - lineStart > kMaxLineBytes ? VersionLineScan::kRefused
                                                      : VersionLineScan::kWanting;
    }
    if (bytes.substr(lineStart, 4) == "SSH-") {
      *end = lineEnd + 1;
      return VersionLineScan::kFound;
    }
    lineStart = lineEnd + 1;
  }
  return VersionLineScan::kRefused;
}
