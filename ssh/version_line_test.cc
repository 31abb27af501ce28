// The server's identification line as the probes and the offer reader find
// it.

#include "ssh/version_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "banner\r\n";
  return text;
}

TEST(VersionLine, FoundAfterTheLinesAServerMaySendFirstAndNoFurther) {
  const struct {
    std::string bytes;
    VersionLineScan scan;
    size_t end;
  } kCases[] = {
      {"SSH-2.0-x\r\nrest", VersionLineScan::kFound, 11},
      {Lines(2) + "SSH-2.0-x\n", VersionLineScan::kFound, 26},
      // The version line may be the fiftieth line, not the fifty-first.
      {Lines(49) + "SSH-2.0-x\n", VersionLineScan::kFound, 49 * 8 + 10},
      {Lines(50) + "SSH-2.0-x\n", VersionLineScan::kRefused, 0},
      // A line is judged whole: "SSH-" only at its start counts.
      {"not SSH-2.0\n", VersionLineScan::kWanting, 0},
      {"SSH-2.0-x", VersionLineScan::kWanting, 0},
      {"", VersionLineScan::kWanting, 0},
      {std::string(8192, 'a'), VersionLineScan::kWanting, 0},
      {std::string(8193, 'a'), VersionLineScan::kRefused, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    size_t end = 0;
    EXPECT_EQ(FindVersionLine(c.bytes, &end), c.scan);
    EXPECT_EQ(end, c.end);
  }
}

}  // namespace
